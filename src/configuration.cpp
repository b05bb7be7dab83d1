#include "configuration.h"

#include "processtools.h"
#include "proxysetting.h"
#include "regularfile.h"
#include "sessionfolder.h"
#include "updatechecker.h"
#include "updatelog.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QNetworkProxy>
#include <QSettings>
#include <QStandardPaths>
#include <QWidget>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef QVX_IMAGE_SERVER_HOST
#define QVX_IMAGE_SERVER_HOST "update.quorvelin.example"
#endif

QString Configuration::imageServerBaseUrl;

namespace {

QString s_applicationDirOverride;

QString defaultImageServerUrl()
{
    return QStringLiteral("http://" QVX_IMAGE_SERVER_HOST "/updater-images/client/");
}

QString translated(const char *text)
{
    return QCoreApplication::translate("QObject", text);
}

const int kDefaultStreams = 6;

// It holds four short lines; anything much larger is not ours.
const qint64 kArgsFileMaxSize = 64 * 1024;

// Whether the update.ini at path is there to be read. QSettings would block for ever in open()
// on a FIFO, so anything but a readable regular file counts as absent.
bool isUsableIniFile(const QString &path)
{
    if (!QFileInfo::exists(path))
        return false;
    QString why;
    if (isReadableRegularFile(path, &why))
        return true;
    qDebug() << "Not reading" << path << why;
    return false;
}

} // namespace

Configuration::Configuration(QObject *parent)
    : QObject(parent)
{ }

bool Configuration::parseCommandLineOptions()
{
    return parseCommandLineOptions(QCoreApplication::arguments());
}

bool Configuration::parseCommandLineOptions(const QStringList &arguments)
{
    QStringList args = arguments;
    qDebug() << "parseCommandLineOptions" << args;
    // Step two is started without arguments and finds them in the file step one left behind.
    if (args.size() < 2)
        args = readArgsFile();

    const bool isClientUpdate = args.size() >= 2 && args[1] == QLatin1String("--clientupdate");
    clientUpdate = isClientUpdate ? 1 : 0;
    getUpdateChannel();
    m_versionPending = false;

    if (args.size() >= 2 && (args[1] == QLatin1String("--nouser") || isClientUpdate)) {
        qDebug() << "CLIENTUPDATE" << isClientUpdate;
        if (args.size() >= 4) {
            if (!parseClientArgs(args, 2))
                return false;
            if (args.size() >= 5 && args[4] != QLatin1String("#"))
                versionString = args[4];
        }
        getDefaultParameters();
    } else if (args.size() == 3) {
        if (!parseClientArgs(args, 1))
            return false;
    } else {
        qDebug() << "Empty cmdline params";
        getDefaultParameters();
    }

    if (!m_versionPending)
        initialised = true;
    return true;
}

QStringList Configuration::readArgsFile()
{
    const QString path = ProcessTools::argsFilePath();
    if (path.isEmpty())
        return QStringList();
    // Any local user may put something at this name in a shared temporary folder: take only a
    // plain file of our own, and one that cannot keep the read waiting.
    QByteArray content;
    QString why;
    struct stat info;
    if (!readRegularFile(path, kArgsFileMaxSize, &content, &why, O_NOFOLLOW, &info)) {
        qDebug() << "Not reading the update arguments" << path << why;
        return QStringList();
    }
    if (info.st_uid != geteuid()) {
        qDebug() << "Not reading the update arguments" << path << "it belongs to user"
                 << uint(info.st_uid);
        return QStringList();
    }
    // Step one makes a new file with one name; one with more is a file of ours linked here.
    if (info.st_nlink > 1) {
        qDebug() << "Not reading the update arguments" << path << "it has" << uint(info.st_nlink)
                 << "links";
        return QStringList();
    }
    const int nul = content.indexOf('\0');
    if (nul >= 0)
        content.truncate(nul);
    // Read as a text file: line ends written elsewhere as CR LF end a line all the same.
    content.replace('\r', QByteArray());
#if QT_VERSION >= QT_VERSION_CHECK(5, 14, 0)
    QStringList args = QString::fromUtf8(content).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
#else
    QStringList args = QString::fromUtf8(content).split(QLatin1Char('\n'), QString::SkipEmptyParts);
#endif
    // Stands for the program path, so that the file's first line is the first argument.
    args.prepend(QString());
    return args;
}

bool Configuration::parseClientArgs(const QStringList &args, int index)
{
    if (index < 0 || index >= args.size()) {
        emit fatalError(QStringLiteral("No client type specified"));
        return false;
    }
    clientType = args[index];
    if (index + 1 >= args.size()) {
        emit fatalError(QStringLiteral("No client version specified"));
        return false;
    }
    return setVersionNumber(args[index + 1], translated("Invalid version nr (%1)"));
}

bool Configuration::setVersionNumber(const QString &text, const QString &errorFormat)
{
    // A version pinned by the alpha channel's settings wins over every other source.
    if (versionNr != 0)
        return true;
    bool ok = false;
    versionNr = text.toInt(&ok, 10);
    if (!ok) {
        versionNr = 0;
        emit fatalError(QString(errorFormat).replace(QLatin1String("%1"), text));
        return false;
    }
    return true;
}

void Configuration::getUpdateChannel()
{
    qDebug() << "Searching update.ini";
    QString path = getConfigDir() + QStringLiteral("update.ini");
    const bool inConfig = isUsableIniFile(path);
    qDebug() << "Update ini check #1 in CONFIG" << path << inConfig;
    if (inConfig) {
        qDebug() << "Found CONFIG/update.ini";
    } else {
        path = getInstallDir() + QStringLiteral("/") + QStringLiteral("update.ini");
        const bool found = isUsableIniFile(path);
        qDebug() << "Update ini check #2 in INSTALL" << path << found;
        if (!found) {
            channel = 0;
            versionNr = 0;
            imageServerBaseUrl = defaultImageServerUrl();
            qDebug() << "No update.ini found, using stable channel, URL =" << imageServerBaseUrl;
            return;
        }
        qDebug() << "Found INSTALL/update.ini";
    }

    QSettings settings(path, QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("Channel"));
    const QString alpha = settings.value(QStringLiteral("alpha")).toString();
    bool beta = settings.value(QStringLiteral("beta"), false).toBool();
    if (!beta)
        beta = settings.value(QStringLiteral("Beta"), false).toBool();

    if (!alpha.isEmpty()) {
        channel = 2;
        versionNr = settings.value(QStringLiteral("alphaRevno"), 0).toInt();
        imageServerBaseUrl = alpha;
        if (!imageServerBaseUrl.endsWith(QLatin1Char('/')))
            imageServerBaseUrl += QLatin1Char('/');
        qDebug() << "Alpha channel detected, URL =" << imageServerBaseUrl;
    } else {
        channel = beta ? 1 : 0;
        versionNr = 0;
        imageServerBaseUrl = defaultImageServerUrl();
        qDebug() << (beta ? "Beta" : "Stable") << "channel detected, URL =" << imageServerBaseUrl;
    }
    settings.endGroup();
}

QString Configuration::getConfigDir()
{
    QString dir = qEnvironmentVariable("QVX_CONFIG_DIR");
    if (!dir.isEmpty()) {
        if (!dir.endsWith(QDir::separator()))
            dir += QDir::separator();
        return dir;
    }
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/Quorvelin 3/");
}

QString Configuration::getInstallDir()
{
    QDir dir(applicationDir());
    dir.cdUp();
    dir.cdUp();
    dir.cdUp();
    return QDir::cleanPath(dir.absolutePath());
}

bool Configuration::getDefaultParameters()
{
    qDebug() << "getDefaultParameters" << clientType;
    if (clientType.isEmpty())
        clientType = clientTypeString(clientUpdate);
    qDebug() << "clientType" << clientType;
    if (versionNr != 0)
        return true;

    // Until a version arrives the configuration is not ready, also when no query goes out.
    m_versionPending = true;
    QNetworkProxy queryProxy;
    if (!proxyFromSetting(proxy, &queryProxy)) {
        // Asking directly would bypass a proxy the network may require; the update engine
        // reports the setting as a fatal error.
        qDebug() << "getDefaultParameters"
                 << "no version query, invalid proxy" << proxy;
        return true;
    }
    UpdateChecker *checker = new UpdateChecker(this);
    connect(checker, &UpdateChecker::update_available, this, &Configuration::on_updateAvailable);
    checker->setProxy(queryProxy);
    checker->checkForUpdate();
    return true;
}

void Configuration::on_updateAvailable(UpdateVersions versions)
{
    qDebug() << "on_updateAvailable" << versions;
    if (versions.isEmpty()) {
        QWidget *parent = nullptr;
        const QWidgetList topLevels = QApplication::topLevelWidgets();
        for (QWidget *widget : topLevels) {
            if (widget->objectName() == QLatin1String("MainWindow")) {
                parent = widget;
                break;
            }
        }
        const QString text
            = translated("Failed to query latest client\nversion from update server.");
        logShownText(text);
        QMessageBox::critical(parent, translated("Error"), text, QMessageBox::Abort);
        QCoreApplication::quit();
        return;
    }

    const QPair<QString, QString> version = versionForChannel(versions, channel);
    qDebug() << "Received version from remote server:" << version;
    if (version.first.isEmpty()) {
        emit fatalError(translated("Update server returned no version"));
        return;
    }
    if (!setVersionNumber(version.first,
                          translated("Update server returned invalid version nr (%1)")))
        return;
    versionString = version.second;
    initialised = true;
    emit ready();
}

bool Configuration::initalizeStart(const QString &dir, const QString &clientDir)
{
    qDebug() << "initalizeStart" << dir << clientDir;
    if (!dir.isEmpty())
        tempDir = dir;
    else if (!createTempDir())
        return false;
    if (!clientDir.isEmpty())
        installPath = clientDir;
    else
        installPath = getInstallPath() + QStringLiteral("../");
    return true;
}

bool Configuration::createTempDir()
{
    const QString temp = QDir::tempPath();
    if (temp.isEmpty()) {
        qDebug() << "*Error* Unable to get temp directory";
        emit fatalError(QStringLiteral("Unable to get temp directory."));
        return false;
    }
    // mkdir, unlike mkpath, fails on a folder that is already there: a folder someone else put
    // in the temporary folder between the look and the creation is never taken for ours.
    QDir().mkpath(temp);
    for (int n = 0; n < SessionFolder::kCount; ++n) {
        const QString candidate = SessionFolder::path(temp, n);
        if (!QFileInfo::exists(candidate) && SessionFolder::makeFolder(candidate)) {
            tempDir = candidate;
            return true;
        }
    }
    qDebug() << "*Error* Unable to create temp directory";
    emit fatalError(QStringLiteral("Unable to create temp directory."));
    return false;
}

void Configuration::readUpdateIniSettings()
{
    const QString path = QDir(getInstallPath()).absoluteFilePath(QStringLiteral("update.ini"));
    if (!isUsableIniFile(path)) {
        proxy.clear();
        streams = kDefaultStreams;
        return;
    }
    QSettings settings(path, QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("update"));
    proxy = proxySettingText(settings.value(QStringLiteral("proxy")));
    streams = settings.value(QStringLiteral("streams"), kDefaultStreams).toInt();
    if (streams < 1)
        streams = kDefaultStreams;
    settings.endGroup();
}

bool Configuration::clientExecutablePath(const QString &base)
{
    return !base.isEmpty()
        && QFileInfo::exists(base + QStringLiteral("/") + QStringLiteral("../MacOS/")
                             + clientExecutableName());
}

QString Configuration::getInstallPath()
{
    return applicationDir() + QStringLiteral("/../../../");
}

QString Configuration::clientTypeString(int client)
{
    return (client ? QStringLiteral("client") : QStringLiteral("update"))
        + QStringLiteral("_macosx");
}

QString Configuration::getImageServerUrl()
{
    return imageServerBaseUrl;
}

QString Configuration::clientExecutableName()
{
    return QStringLiteral("qvxclient_mac");
}

void Configuration::setApplicationDirOverride(const QString &dir)
{
    s_applicationDirOverride = dir;
}

QString Configuration::applicationDir()
{
    if (!s_applicationDirOverride.isEmpty())
        return s_applicationDirOverride;
    return QCoreApplication::applicationDirPath();
}
