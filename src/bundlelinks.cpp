#include "bundlelinks.h"

#include "pathconfinement.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

const char *const kToolBundles[] = {"update", "package_inst", "error_report", "QtWebEngineProcess"};

const char *const kQtModules[] = {
    "Core",
    "Gui",
    "Widgets",
    "Network",
    "PrintSupport",
    "Sql",
    "Svg",
    "Quick",
    "QuickWidgets",
    "Qml",
    "WebChannel",
    "WebEngineCore",
    "WebEngineWidgets",
    "Positioning",
    "DBus",
    "SerialPort",
};

const char *const kWebEngineResources[]
    = {"icudtl.dat", "qtwebengine_resources.pak", "qtwebengine_resources_100p.pak",
       "qtwebengine_resources_200p.pak"};

// The link's relative target, resolved from the link's own folder.
bool targetExists(const QString &target, const QString &linkPath)
{
    return QFileInfo::exists(QFileInfo(linkPath).absolutePath() + QLatin1Char('/') + target);
}

} // namespace

bool BundleLinks::createSymlink(const QString &target, const QString &linkPath)
{
    if (QFile::link(target, linkPath))
        return true;
    const QFileInfo existing(linkPath);
    // Trading a real file for a dangling link would lose it and still leave the tool without it.
    if (!existing.isSymLink() && existing.exists() && !targetExists(target, linkPath))
        return false;
    if (!QFile::remove(linkPath))
        return false;
    if (QFile::link(target, linkPath))
        return true;
    qDebug() << "Failed to create symlink" << target << "->" << linkPath;
    return false;
}

void BundleLinks::createClientBundleLinks(const QString &installPath)
{
    // An empty path would put the links below the working directory.
    if (installPath.isEmpty())
        return;
    QString contents = installPath;
    if (!contents.endsWith(QLatin1Char('/')))
        contents += QLatin1Char('/');
    const QString sharedSupport = contents + QStringLiteral("SharedSupport/");
    const QString frameworksUp = QStringLiteral("../../../../Frameworks/");
    // A linked folder on the way would have the links made, and files replaced, elsewhere.
    const auto inside = [&contents](const QString &linkPath) {
        if (PathConfinement::staysInside(contents, linkPath, false))
            return true;
        qDebug() << "Not creating symlink outside the bundle:" << linkPath;
        return false;
    };

    for (const char *tool : kToolBundles) {
        const QString folder = sharedSupport + QString::fromLatin1(tool)
            + QStringLiteral(".app/Contents/Frameworks");
        for (const char *module : kQtModules) {
            const QString library
                = QStringLiteral("libQt5") + QString::fromLatin1(module) + QStringLiteral(".dylib");
            const QString linkPath = folder + QLatin1Char('/') + library;
            if (QFile::exists(linkPath) || !inside(linkPath))
                continue;
            QDir().mkdir(folder);
            const QString target = frameworksUp + library;
            QFile::link(target, linkPath);
            qDebug() << "Creating tools framework symlink:" << target << linkPath;
        }
    }

    const QString webEngineMacOS
        = sharedSupport + QStringLiteral("QtWebEngineProcess.app/Contents/MacOS/");
    QList<QPair<QString, QString>> links = {
        {frameworksUp + QStringLiteral("libquazip.dylib"),
         sharedSupport + QStringLiteral("error_report.app/Contents/Frameworks/libquazip.dylib")}};
    for (const char *name : kWebEngineResources)
        links.append({QStringLiteral("../../../../Data/resources/") + QString::fromLatin1(name),
                      webEngineMacOS + QString::fromLatin1(name)});
    links.append({QStringLiteral("../../../../qtwebengine_locales"),
                  webEngineMacOS + QStringLiteral("qtwebengine_locales")});
    for (const auto &link : qAsConst(links)) {
        if (inside(link.second))
            createSymlink(link.first, link.second);
    }
}
