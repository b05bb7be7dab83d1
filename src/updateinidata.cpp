#include "updateinidata.h"

#include "configuration.h"
#include "regularfile.h"
#include "updateinifile.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QMetaEnum>
#include <QSettings>

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

namespace {

// The record get reads, when it is usable; else why says what is missing.
bool usableRecord(const QString &path, UpdateIniFile::Record *record, QString *why)
{
    // QSettings would wait in open() for a writer of a FIFO.
    if (QFileInfo::exists(path) && !isReadableRegularFile(path, why)) {
        qDebug() << "get" << path << "not read:" << *why;
        return false;
    }
    const bool versionRead = UpdateIniFile::readRecord(path, record);
    qDebug() << "get" << path << record->version << record->dir << record->qvxdir << record->type;
    if (!QFileInfo::exists(path))
        *why = QStringLiteral("there is no session record: '%1' does not exist").arg(path);
    else if (!versionRead)
        *why = QStringLiteral("the session record in '%1' has no version").arg(path);
    else if (record->type.isEmpty())
        *why = QStringLiteral("the session record in '%1' names no client type").arg(path);
    else if (record->dir.isEmpty())
        *why = QStringLiteral("the session record in '%1' names no session folder").arg(path);
    else if (!QFileInfo::exists(record->dir))
        *why = QStringLiteral("the session folder '%1' does not exist").arg(record->dir);
    else
        return true;
    return false;
}

} // namespace

bool UpdateIniData::get(int *version, QString *type, QString *dir, QString *qvxdir)
{
    UpdateIniFile::Record record;
    QString why;
    if (!usableRecord(iniPath(), &record, &why))
        return false;
    if (version)
        *version = record.version;
    if (type)
        *type = record.type;
    if (dir)
        *dir = record.dir;
    if (qvxdir)
        *qvxdir = record.qvxdir;
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
        [&record](const QByteArray &before, const QByteArray &after,
                  const UpdateIniFile::Reader &read, QString *whyNot) {
            return UpdateIniFile::readsAsRecordWritten(before, after, record, read, whyNot);
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
        [](const QByteArray &, const QByteArray &after, const UpdateIniFile::Reader &read,
           QString *whyNot) { return UpdateIniFile::readsWithoutRecord(after, read, whyNot); },
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
    QString why;
    if (!usableRecord(iniPath(), &record, &why)) {
        qDebug() << "Failed to read existing update.ini" << why;
        if (reason)
            *reason = why;
        return false;
    }
    record.type = Configuration::clientTypeString(1);
    QByteArray source;
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
            [&source, &record](const QByteArray &, const QByteArray &after,
                               const UpdateIniFile::Reader &read, QString *whyNot) {
                return UpdateIniFile::readsAsStagedCopy(source, after, record, read, whyNot);
            },
            false, &why);
    }
    return reportWrite("UpdateiniData::modifyTempIni write result", ok, why, reason);
}

void UpdateIniData::removeLeftoverScratch()
{
    UpdateIniFile::removeLeftoverScratch(iniPath());
}
