// Runs a test against a client bundle laid out in a temporary folder instead of the real
// application folder, with the per-user configuration folder, the system temporary folder and
// the generic data folder redirected into the same temporary tree. Everything is restored when
// the object goes away.
//
//   UpdaterTestEnv env;
//   env.sharedSupport()   // ".../Quorvelin 3 Client.app/Contents/SharedSupport"
//   env.configDir()       // what QVX_CONFIG_DIR points at
//   env.tempDir()         // what QDir::tempPath() returns
#ifndef UPDATERTESTENV_H
#define UPDATERTESTENV_H

#include "configuration.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QString>
#include <QTemporaryDir>

#include <utility>
#include <vector>

class UpdaterTestEnv
{
public:
    UpdaterTestEnv()
    {
        QDir root(m_root.path());
        root.mkpath(QStringLiteral("Quorvelin 3 Client.app/Contents/SharedSupport/update.app/"
                                   "Contents/MacOS"));
        root.mkpath(QStringLiteral("config"));
        root.mkpath(QStringLiteral("tmp"));
        root.mkpath(QStringLiteral("xdg"));
        setEnv("QVX_CONFIG_DIR", configDir());
        setEnv("TMPDIR", tempDir());
        setEnv("XDG_DATA_HOME", path(QStringLiteral("xdg")));
        Configuration::setApplicationDirOverride(applicationDir());
        m_savedImageUrl = Configuration::imageServerBaseUrl;
    }

    ~UpdaterTestEnv()
    {
        Configuration::setApplicationDirOverride(QString());
        Configuration::imageServerBaseUrl = m_savedImageUrl;
        for (auto it = m_savedEnv.rbegin(); it != m_savedEnv.rend(); ++it) {
            if (it->second.first)
                qputenv(it->first.constData(), it->second.second);
            else
                qunsetenv(it->first.constData());
        }
    }

    UpdaterTestEnv(const UpdaterTestEnv &) = delete;
    UpdaterTestEnv &operator=(const UpdaterTestEnv &) = delete;

    QString root() const { return m_root.path(); }
    QString path(const QString &relative) const
    {
        return m_root.path() + QLatin1Char('/') + relative;
    }
    QString bundle() const { return path(QStringLiteral("Quorvelin 3 Client.app")); }
    QString sharedSupport() const { return bundle() + QStringLiteral("/Contents/SharedSupport"); }
    QString applicationDir() const
    {
        return sharedSupport() + QStringLiteral("/update.app/Contents/MacOS");
    }
    QString configDir() const { return path(QStringLiteral("config")); }
    QString tempDir() const { return path(QStringLiteral("tmp")); }

    // Writes raw INI text to a file (the folder must exist).
    static bool writeFile(const QString &file, const QByteArray &content)
    {
        QFile out(file);
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        return out.write(content) == content.size();
    }

    void setEnv(const char *name, const QString &value)
    {
        m_savedEnv.emplace_back(QByteArray(name),
                                std::make_pair(qEnvironmentVariableIsSet(name), qgetenv(name)));
        qputenv(name, value.toUtf8());
    }

    void unsetEnv(const char *name)
    {
        m_savedEnv.emplace_back(QByteArray(name),
                                std::make_pair(qEnvironmentVariableIsSet(name), qgetenv(name)));
        qunsetenv(name);
    }

private:
    QTemporaryDir m_root;
    QString m_savedImageUrl;
    std::vector<std::pair<QByteArray, std::pair<bool, QByteArray>>> m_savedEnv;
};

#endif // UPDATERTESTENV_H
