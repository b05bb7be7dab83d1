#ifndef TEST_MAINTASK_FIXTURE_H
#define TEST_MAINTASK_FIXTURE_H

// A whole update run against an image server on loopback and a client bundle in a temporary
// folder, for the tests of runs that succeed and of runs that must change nothing.

#include "configuration.h"
#include "cryptwrapper.h"
#include "faketasks.h"
#include "maintaskspecification.h"
#include "signing_test_support.h"
#include "test_maintask_support.h"
#include "testhttpserver.h"
#include "updateinidata.h"
#include "updatertestenv.h"

#include <QMap>
#include <QNetworkAccessManager>
#include <QSettings>
#include <QVariant>

#include <gtest/gtest.h>

namespace qvxrun {

const int version = 812;

// One update run against an image server on loopback and a client bundle in a temporary folder.
class MainTaskRunTest : public ::testing::Test
{
public:
    void SetUp() override
    {
        ASSERT_TRUE(server.isListening());
        initCryptLibrary();
        Configuration::imageServerBaseUrl = server.baseUrl() + QStringLiteral("images/");
        config.initialised = true;
        config.versionNr = version;
        config.tempDir = env.path(QStringLiteral("session"));
        config.installPath = env.bundle() + QStringLiteral("/Contents/");
        config.streams = 2;
        ASSERT_TRUE(QDir().mkpath(config.tempDir));
        ASSERT_TRUE(UpdateIniData::modify(version, config.tempDir, config.installPath,
                                          QStringLiteral("update_macosx")));
        ASSERT_TRUE(put(env.sharedSupport() + "/translations/update_de.qm", "de"));
    }

    QString installed(const QString &rel) const { return config.installPath + rel; }
    QString session(const QString &name) const { return config.tempDir + "/" + name; }

    // A file of the version folder on the image server.
    void serve(const QString &remote, const QByteArray &bytes)
    {
        server.setReply(QString("/images/%1/%2").arg(version).arg(remote),
                        TestHttpServer::Reply::ok(bytes));
    }

    // The product ini, written through QSettings, packed and signed on the server. values maps
    // "section/key" to a text or a string list.
    void serveProductIni(const QString &name, const QMap<QString, QVariant> &values)
    {
        const QString plain = env.path("product.ini");
        QFile::remove(plain);
        {
            QSettings ini(plain, QSettings::IniFormat);
            for (auto it = values.begin(); it != values.end(); ++it)
                ini.setValue(it.key(), it.value());
        }
        const QByteArray content = get(plain);
        ASSERT_FALSE(content.isEmpty());
        serve(name + "._lzma2_", packLzma2(content));
        serve(name + ".sig", signWithDevelopmentKey(content));
    }

    // A program in the download folder that saves the file named by its argument beside itself.
    void writeRecorder(const QString &name)
    {
        const QString path = session(name);
        ASSERT_TRUE(put(path, "#!/bin/sh\ncat \"${1#--}\" > \"$0.seen\"\n"));
        ASSERT_TRUE(QFile::setPermissions(path, QFileDevice::Permissions(0x7755)));
    }

    int runUpdate()
    {
        MainTaskSpecification task(&manager, &config, nullptr, 1.0);
        log.watch(&task, QStringLiteral("main"));
        task.execute();
        EXPECT_TRUE(waitUntil([&] { return taskEnded(task); }, 60000));
        progress = task.progress;
        return task.state;
    }

    UpdaterTestEnv env;
    TestHttpServer server;
    QNetworkAccessManager manager;
    Configuration config;
    TaskEventLog log;
    double progress = -1.0;
};

} // namespace qvxrun

#endif // TEST_MAINTASK_FIXTURE_H
