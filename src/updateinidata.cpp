#include "updateinidata.h"

#include "configuration.h"
#include "scratchfile.h"
#include "systemreason.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QMetaEnum>
#include <QSettings>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariant>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Every key of one settings file ("group/key") with its value.
using Entries = QMap<QString, QVariant>;

const char *statusName(QSettings::Status status)
{
    const char *name = QMetaEnum::fromType<QSettings::Status>().valueToKey(status);
    return name ? name : "UnknownStatus";
}

QString incompleteText()
{
    return QStringLiteral("the file was not written completely");
}

void setRecord(Entries *entries, int version, const QString &dir, const QString &qvxdir,
               const QString &type)
{
    entries->insert(QStringLiteral("current/version"), version);
    entries->insert(QStringLiteral("current/dir"), dir);
    entries->insert(QStringLiteral("current/qvxdir"), qvxdir);
    entries->insert(QStringLiteral("current/type"), type);
}

// False only for a file that exists but cannot be read: rewriting it would drop its content.
// Anything else in its place is left to the write, which names the system's reason.
bool readEntries(const QString &path, Entries *entries, QString *reason)
{
    QSettings settings(path, QSettings::IniFormat);
    if (settings.status() == QSettings::AccessError && QFileInfo(path).isFile()) {
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            *reason = systemErrorText(errno);
        else
            ::close(fd);
        return false;
    }
    const QStringList keys = settings.allKeys();
    for (const QString &key : keys)
        entries->insert(key, settings.value(key));
    return true;
}

bool sameValue(const QVariant &a, const QVariant &b)
{
    // The INI file gives every plain value back as text.
    if (a.type() == QVariant::StringList || b.type() == QVariant::StringList)
        return a.toStringList() == b.toStringList();
    return a == b || a.toString() == b.toString();
}

bool sameEntries(const Entries &expected, const Entries &found)
{
    if (expected.keys() != found.keys())
        return false;
    for (auto it = expected.constBegin(); it != expected.constEnd(); ++it)
        if (!sameValue(it.value(), found.value(it.key())))
            return false;
    return true;
}

// The INI text QSettings makes of entries. QSettings does not report every failed write (with
// the disk full it has left an empty file and said NoError), so its output is read back from a
// name it has never seen; under the same name it would answer from its cache.
bool serialize(const Entries &entries, const QString &nearTarget, QByteArray *bytes)
{
    for (const QString &base : {QDir::tempPath(), nearTarget}) {
        QTemporaryDir dir(base + QStringLiteral("/qvx_ini_XXXXXX"));
        if (!dir.isValid())
            continue;
        const QString written = dir.filePath(QStringLiteral("written.ini"));
        const QString reread = dir.filePath(QStringLiteral("reread.ini"));
        {
            QSettings settings(written, QSettings::IniFormat);
            for (auto it = entries.constBegin(); it != entries.constEnd(); ++it)
                settings.setValue(it.key(), it.value());
            settings.sync();
            if (settings.status() != QSettings::NoError)
                continue;
        }
        if (!QFile::rename(written, reread))
            continue;
        Entries found;
        QString ignored;
        if (!readEntries(reread, &found, &ignored) || !sameEntries(entries, found))
            continue;
        QFile file(reread);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        *bytes = file.readAll();
        return true;
    }
    return false;
}

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The folder's entry for the renamed file is on disk too once this returns; best effort.
void syncFolder(const QString &folder)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

// bytes in place of target: written beside it under a scratch name, read back, synced, and only
// then moved over target in one step. On failure target is as it was.
bool replaceWhole(const QString &target, const QByteArray &bytes, QString *reason)
{
    // As QSettings did, a missing folder is made.
    QDir().mkpath(QFileInfo(target).absolutePath());
    const auto write = [&bytes](const QString &scratch, QString *why) {
        const int fd
            = ::open(QFile::encodeName(scratch).constData(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (fd < 0) {
            *why = systemErrorText(errno);
            return false;
        }
        bool ok = writeAll(fd, bytes.constData(), bytes.size());
        if (!ok)
            *why = systemErrorText(errno);
        if (::close(fd) != 0 && ok) {
            *why = systemErrorText(errno);
            ok = false;
        }
        return ok && contentOf(scratch) == bytes;
    };
    QString why;
    if (!writeFileThroughScratch(target, write, &why)) {
        *reason = why.isEmpty() ? incompleteText() : why;
        return false;
    }
    syncFolder(QFileInfo(target).absolutePath());
    return true;
}

bool writeEntries(const QString &path, const Entries &entries, QString *reason)
{
    QByteArray bytes;
    if (!serialize(entries, QFileInfo(path).absolutePath(), &bytes)) {
        *reason = incompleteText();
        return false;
    }
    return replaceWhole(path, bytes, reason);
}

// Step two reads these groups from its own update.ini, the staged one.
bool isSettingsKey(const QString &key)
{
    return key.startsWith(QLatin1String("update/")) || key.startsWith(QLatin1String("Channel/"));
}

bool reportWrite(const char *label, bool ok, const QString &why, QString *reason)
{
    if (ok) {
        qDebug() << label << statusName(QSettings::NoError);
        return true;
    }
    qDebug() << label << statusName(QSettings::AccessError) << why;
    if (reason)
        *reason = why;
    return false;
}

} // namespace

QString UpdateIniData::iniPath()
{
    return QDir(Configuration::getInstallPath()).absoluteFilePath(QStringLiteral("update.ini"));
}

bool UpdateIniData::get(int *version, QString *type, QString *dir, QString *qvxdir)
{
    const QString path = iniPath();
    QSettings settings(path, QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("current"));
    bool versionOk = false;
    const int readVersion = settings.value(QStringLiteral("version")).toInt(&versionOk);
    const QString readDir = settings.value(QStringLiteral("dir")).toString();
    const QString readQvxdir = settings.value(QStringLiteral("qvxdir")).toString();
    const QString readType = settings.value(QStringLiteral("type")).toString();
    settings.endGroup();
    qDebug() << "get" << path << readVersion << readDir << readQvxdir << readType;

    const bool usable
        = versionOk && !readType.isEmpty() && !readDir.isEmpty() && QFileInfo::exists(readDir);
    if (!usable)
        return false;
    if (version)
        *version = readVersion;
    if (type)
        *type = readType;
    if (dir)
        *dir = readDir;
    if (qvxdir)
        *qvxdir = readQvxdir;
    return true;
}

bool UpdateIniData::modify(int version, const QString &dir, const QString &qvxdir,
                           const QString &type)
{
    return modify(version, dir, qvxdir, type, nullptr);
}

bool UpdateIniData::modify(int version, const QString &dir, const QString &qvxdir,
                           const QString &type, QString *reason)
{
    const QString path = iniPath();
    qDebug() << "modify" << path << version << dir << qvxdir << type;
    Entries entries;
    QString why;
    bool ok = readEntries(path, &entries, &why);
    if (ok) {
        setRecord(&entries, version, dir, qvxdir, type);
        ok = writeEntries(path, entries, &why);
    }
    return reportWrite("UpdateiniData::modify write result", ok, why, reason);
}

bool UpdateIniData::modifyTempIni(const QString &dir)
{
    return modifyTempIni(dir, nullptr);
}

bool UpdateIniData::modifyTempIni(const QString &dir, QString *reason)
{
    const QString target = dir + QStringLiteral("/") + QStringLiteral("update.ini");
    qDebug() << "modifyTempIni" << target;
    int version = 0;
    QString type, sessionDir, qvxdir;
    if (!get(&version, &type, &sessionDir, &qvxdir)) {
        qDebug() << "Failed to read existing update.ini";
        return false;
    }
    Entries entries;
    Entries source;
    QString why;
    bool ok = readEntries(target, &entries, &why) && readEntries(iniPath(), &source, &why);
    if (ok) {
        // The copy mirrors the groups as they are now, keys that were dropped included.
        for (auto it = entries.begin(); it != entries.end();) {
            if (isSettingsKey(it.key()))
                it = entries.erase(it);
            else
                ++it;
        }
        for (auto it = source.constBegin(); it != source.constEnd(); ++it)
            if (isSettingsKey(it.key()))
                entries.insert(it.key(), it.value());
        setRecord(&entries, version, sessionDir, qvxdir, Configuration::clientTypeString(1));
        ok = writeEntries(target, entries, &why);
    }
    return reportWrite("UpdateiniData::modifyTempIni write result", ok, why, reason);
}
