#include "updateinidata.h"

#include "configuration.h"

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

void writeRecord(QSettings &settings, int version, const QString &dir, const QString &qvxdir,
                 const QString &type)
{
    settings.beginGroup(QStringLiteral("current"));
    settings.setValue(QStringLiteral("version"), version);
    settings.setValue(QStringLiteral("dir"), dir);
    settings.setValue(QStringLiteral("qvxdir"), qvxdir);
    settings.setValue(QStringLiteral("type"), type);
    settings.endGroup();
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
    const QString path = iniPath();
    qDebug() << "modify" << path << version << dir << qvxdir << type;
    QSettings settings(path, QSettings::IniFormat);
    writeRecord(settings, version, dir, qvxdir, type);
    settings.sync();
    const QSettings::Status status = settings.status();
    qDebug() << "UpdateiniData::modify write result" << statusName(status);
    return status == QSettings::NoError;
}

bool UpdateIniData::modifyTempIni(const QString &dir)
{
    const QString target = dir + QStringLiteral("/") + QStringLiteral("update.ini");
    qDebug() << "modifyTempIni" << target;
    int version = 0;
    QString type, sessionDir, qvxdir;
    if (!get(&version, &type, &sessionDir, &qvxdir)) {
        qDebug() << "Failed to read existing update.ini";
        return false;
    }
    QSettings settings(target, QSettings::IniFormat);
    writeRecord(settings, version, sessionDir, qvxdir, Configuration::clientTypeString(1));
    settings.sync();
    const QSettings::Status status = settings.status();
    qDebug() << "UpdateiniData::modifyTempIni write result" << statusName(status);
    return status == QSettings::NoError;
}
