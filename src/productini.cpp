#include "productini.h"

#include "configuration.h"

#include <QSettings>

namespace {

const QString patchKeySuffix = QStringLiteral("_patch_");
const QString installDirPlaceholder = QStringLiteral("__QVX_DIR__");
const QString fieldSeparator = QStringLiteral("::");

} // namespace

QString ProductIni::fileName(int clientUpdate)
{
    return (clientUpdate == 1 ? QStringLiteral("qvx_") : QString())
        + Configuration::clientTypeString(clientUpdate) + QStringLiteral(".ini");
}

QString ProductIni::filePath(const Configuration &configuration)
{
    return configuration.tempDir + QLatin1Char('/') + fileName(configuration.clientUpdate);
}

ProductIni::SectionKind ProductIni::sectionKind(const QString &section)
{
    if (section == QLatin1String("delete"))
        return DeleteSection;
    if (section == QLatin1String("preinstall"))
        return PreinstallSection;
    if (section == QLatin1String("postinstall"))
        return PostinstallSection;
    return FileSection;
}

bool ProductIni::isPatchKey(const QString &key)
{
    return key.endsWith(patchKeySuffix, Qt::CaseSensitive);
}

QStringList ProductIni::splitFields(const QString &value)
{
    // Splitting keeps empty parts by default, also on Qt versions without Qt::KeepEmptyParts.
    return value.split(fieldSeparator);
}

quint64 ProductIni::sizeFromText(const QString &text)
{
    bool ok = false;
    const quint64 size = text.toULongLong(&ok, 10);
    return ok ? size : 0;
}

bool ProductIni::deleteModeRemoves(int mode)
{
    return mode < 10 || mode == 11;
}

bool ProductIni::deleteModeIsRecursive(int mode)
{
    return mode == 2;
}

ProductIni::Command ProductIni::parseCommand(const QStringList &items)
{
    Command command;
    if (items.isEmpty())
        return command;
    command.present = true;
    command.osList = splitFields(items.at(0));
    if (items.size() >= 2)
        command.arguments = splitFields(items.at(1));
    const QString flag = items.size() >= 3 ? items.at(2) : QString();
    command.required = flag != QLatin1String("optional");
    return command;
}

QStringList ProductIni::substituteInstallDir(const QStringList &arguments,
                                             const QString &installPath)
{
    QStringList result = arguments;
    for (QString &argument : result) {
        if (argument.contains(installDirPlaceholder, Qt::CaseSensitive))
            argument.replace(installDirPlaceholder, installPath, Qt::CaseSensitive);
    }
    return result;
}

int ProductIni::timesForThisPlatform(const QStringList &osList)
{
    int times = 0;
    for (const QString &name : osList) {
        if (osCodeFromName(name) == currentOsCode())
            ++times;
    }
    return times;
}

int countProductIniKeys(QSettings &settings)
{
    int count = 0;
    const QStringList groups = settings.childGroups();
    for (const QString &group : groups) {
        settings.beginGroup(group);
        count += settings.allKeys().size();
        settings.endGroup();
    }
    return count;
}

int osCodeFromName(const QString &name)
{
    const QString lower = name.toLower();
    if (lower == QLatin1String("win32"))
        return 1;
    if (lower == QLatin1String("win64"))
        return 2;
    if (lower == QLatin1String("linux32"))
        return 3;
    if (lower == QLatin1String("linux64"))
        return 4;
    if (lower == QLatin1String("mac"))
        return 5;
    return 0;
}

int currentOsCode()
{
    return 5;
}
