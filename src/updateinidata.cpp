#include "updateinidata.h"

#include "configuration.h"
#include "regularfile.h"
#include "updateinifile.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QMetaEnum>
#include <QSettings>
#include <QVariant>

namespace {

const char *statusName(QSettings::Status status)
{
    const char *name = QMetaEnum::fromType<QSettings::Status>().valueToKey(status);
    return name ? name : "UnknownStatus";
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

QString unplacedText()
{
    return QStringLiteral("the record cannot be placed where it would be read");
}

} // namespace

QString UpdateIniData::iniPath()
{
    return QDir(Configuration::getInstallPath()).absoluteFilePath(QStringLiteral("update.ini"));
}

bool UpdateIniData::get(int *version, QString *type, QString *dir, QString *qvxdir)
{
    const QString path = iniPath();
    QString why;
    // QSettings would wait in open() for a writer of a FIFO.
    if (QFileInfo::exists(path) && !isReadableRegularFile(path, &why)) {
        qDebug() << "get" << path << "not read:" << why;
        return false;
    }
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
    const UpdateIniFile::Record record {version, dir, qvxdir, type};
    QString why;
    const bool ok = UpdateIniFile::change(
        path,
        [&record](const QByteArray &before, QByteArray *after, QString *whyNot) {
            if (UpdateIniFile::withRecord(before, record, after))
                return true;
            *whyNot = unplacedText();
            return false;
        },
        false, &why);
    return reportWrite("UpdateiniData::modify write result", ok, why, reason);
}

bool UpdateIniData::remove(QString *reason)
{
    const QString path = iniPath();
    qDebug() << "remove" << path;
    QString why;
    const bool ok = UpdateIniFile::change(
        path,
        [](const QByteArray &before, QByteArray *after, QString *) {
            bool changed = false;
            *after = UpdateIniFile::withoutRecord(before, &changed);
            return true;
        },
        true, &why);
    return reportWrite("UpdateiniData::remove write result", ok, why, reason);
}

bool UpdateIniData::modifyTempIni(const QString &dir)
{
    return modifyTempIni(dir, nullptr);
}

bool UpdateIniData::modifyTempIni(const QString &dir, QString *reason)
{
    const QString target = dir + QStringLiteral("/") + QStringLiteral("update.ini");
    qDebug() << "modifyTempIni" << target;
    UpdateIniFile::Record record;
    if (!get(&record.version, &record.type, &record.dir, &record.qvxdir)) {
        qDebug() << "Failed to read existing update.ini";
        return false;
    }
    record.type = Configuration::clientTypeString(1);
    QByteArray source;
    QString why;
    bool ok = UpdateIniFile::read(iniPath(), &source, &why);
    if (ok) {
        // The copy is made anew: settings dropped since an earlier staging do not come back.
        ok = UpdateIniFile::change(
            target,
            [&source, &record](const QByteArray &, QByteArray *after, QString *whyNot) {
                if (UpdateIniFile::stagedCopy(source, record, after))
                    return true;
                *whyNot = unplacedText();
                return false;
            },
            false, &why);
    }
    return reportWrite("UpdateiniData::modifyTempIni write result", ok, why, reason);
}

void UpdateIniData::removeLeftoverScratch()
{
    UpdateIniFile::removeLeftoverScratch(iniPath());
}
