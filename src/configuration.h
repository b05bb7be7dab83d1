// Everything one run of the updater needs before the update session starts: the update step,
// channel, client type, target version, folders, proxy and download parallelism.
#ifndef CONFIGURATION_H
#define CONFIGURATION_H

#include "updateversions.h"

#include <QObject>
#include <QString>
#include <QStringList>

class Configuration : public QObject
{
    Q_OBJECT

public:
    explicit Configuration(QObject *parent = nullptr);

    // True once the target version is known and the update may start.
    bool initialised = false;
    // 0: step one (update the updater itself), 1: step two (update the client).
    int clientUpdate = 0;
    // 0 stable, 1 beta, 2 alpha.
    int channel = 0;
    QString clientType;
    // Target version; 0 while unknown.
    int versionNr = 0;
    QString versionString;
    // The session's download folder.
    QString tempDir;
    // The client bundle's folder, ending with "/".
    QString installPath;
    // Empty: no proxy.
    QString proxy;
    // Parallel downloads, at least 1.
    int streams = 0;

    // Base URL of the image server, always ending with "/"; set while the command line is read.
    static QString imageServerBaseUrl;

    bool parseCommandLineOptions();
    // Same with an explicit argument list (entry 0 is the program path).
    bool parseCommandLineOptions(const QStringList &arguments);
    QStringList readArgsFile();
    bool parseClientArgs(const QStringList &args, int index);
    void getUpdateChannel();
    QString getConfigDir();
    QString getInstallDir();
    bool getDefaultParameters();
    bool setVersionNumber(const QString &text, const QString &errorFormat);
    bool initalizeStart(const QString &dir, const QString &clientDir);
    bool createTempDir();
    void readUpdateIniSettings();
    bool clientExecutablePath(const QString &base);

    static QString getInstallPath();
    static QString clientTypeString(int client);
    static QString getImageServerUrl();
    static QString clientExecutableName();

    // Makes the path functions act as if the updater ran from dir (empty: the real application
    // folder). Lets tests run against a bundle laid out in a temporary folder.
    static void setApplicationDirOverride(const QString &dir);

signals:
    void ready();
    void fatalError(QString errorMessage);
    void message(QString message);

private slots:
    void on_updateAvailable(UpdateVersions versions);

private:
    static QString applicationDir();

    // The version is to come from the version server (set by getDefaultParameters).
    bool m_versionPending = false;
};

#endif // CONFIGURATION_H
