// Whole update runs in which a download has no hash in the product ini, so that only its
// detached signature vouches for it, and step-one runs with a tampered download.
#include "configuration.h"
#include "cryptwrapper.h"
#include "faketasks.h"
#include "filemodes.h"
#include "maintaskspecification.h"
#include "signing_test_support.h"
#include "test_maintask_support.h"
#include "testhttpserver.h"
#include "updateinidata.h"
#include "updatertestenv.h"

#include <QNetworkAccessManager>
#include <QSettings>

#include <gtest/gtest.h>

using namespace qvxrun;

namespace {

const int version = 813;

class VerifiedDownloadRunTest : public ::testing::Test
{
public:
    void SetUp() override
    {
        ASSERT_TRUE(server.isListening());
        if (!builtInKeyIsDevelopmentKey())
            GTEST_SKIP() << "the build embeds another signing key";
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
    }

    QString installed(const QString &rel) const { return config.installPath + rel; }
    QString session(const QString &name) const { return config.tempDir + "/" + name; }

    void serve(const QString &remote, const QByteArray &bytes)
    {
        server.setReply(QString("/images/%1/%2").arg(version).arg(remote),
                        TestHttpServer::Reply::ok(bytes));
    }

    // The product ini of the step, packed and signed on the server; values maps "section/key"
    // to the line.
    void serveProductIni(const QMap<QString, QString> &values)
    {
        const QString name = config.clientUpdate == 1 ? QStringLiteral("qvx_client_macosx.ini")
                                                      : QStringLiteral("update_macosx.ini");
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

    int runUpdate()
    {
        MainTaskSpecification task(&manager, &config, nullptr, 1.0);
        log.watch(&task, QStringLiteral("main"));
        task.execute();
        EXPECT_TRUE(waitUntil([&] { return taskEnded(task); }, 60000));
        return task.state;
    }

    QStringList signatureFailures() const
    {
        return log.filtered("main message Signature check failed");
    }

    UpdaterTestEnv env;
    TestHttpServer server;
    QNetworkAccessManager manager;
    Configuration config;
    TaskEventLog log;
};

QString size(const QByteArray &data)
{
    return QString::number(data.size());
}

TEST_F(VerifiedDownloadRunTest, StepTwoInstallsAnUnhashedFileOnlyWithItsSignature)
{
    config.clientUpdate = 1;
    const QByteArray oldTool = lines("tool v1");
    const QByteArray newTool = lines("tool v2");
    const QByteArray packed = packLzma2(newTool);
    ASSERT_TRUE(put(installed("MacOS/tool"), oldTool));
    ASSERT_TRUE(QFile::setPermissions(installed("MacOS/tool"), FileModes::executable));
    const QByteArray newReadme = "read me, signed\n";
    serveProductIni({
        {"mac/MacOS/tool._lzma2_",
         QStringList({QString(), size(packed), sha512(newTool), size(newTool), "MacOS/tool"})
             .join("::")},
        {"common_client/readme.txt", "::" + size(newReadme)},
    });
    serve("mac/MacOS/tool._lzma2_", packed);
    serve("common_client/readme.txt", newReadme);

    for (const bool signedRightly : {false, true}) {
        SCOPED_TRACE(signedRightly ? "signatures of the downloads" : "a forged signature");
        log.lines.clear();
        serve("mac/MacOS/tool._lzma2_.sig", signWithDevelopmentKey(packed));
        serve("common_client/readme.txt.sig",
              signWithDevelopmentKey(signedRightly ? newReadme : QByteArray("forged")));
        const auto before = snapshot(env.bundle(), WithModes);
        if (signedRightly) {
            ASSERT_EQ(runUpdate(), TaskSpecification::Finished);
            EXPECT_EQ(get(installed("MacOS/tool")), newTool);
            EXPECT_EQ(QFileInfo(installed("MacOS/tool")).permissions(), FileModes::executable);
            EXPECT_EQ(get(installed("SharedSupport/readme.txt")), newReadme);
            // A signature and a file without a hash are not checked against one.
            EXPECT_TRUE(signatureFailures().isEmpty())
                << signatureFailures().join('\n').toStdString();
        } else {
            ASSERT_EQ(runUpdate(), TaskSpecification::Failed);
            EXPECT_EQ(snapshot(env.bundle(), WithModes), before);
            EXPECT_EQ(
                signatureFailures(),
                QStringList("main message Signature check failed for " + session("readme.txt")));
        }
    }
}

TEST_F(VerifiedDownloadRunTest, StepOneStagesAnUnhashedSharedSupportFileAndRefusesATamperedOne)
{
    config.clientUpdate = 0;
    const QString key = QStringLiteral("update.app/Contents/Resources/extra.txt");
    const QByteArray extra = lines("extra");
    serveProductIni({{"common_client/" + key, "::" + size(extra)}});
    serve("common_client/" + key, extra);

    for (const bool signedRightly : {false, true}) {
        SCOPED_TRACE(signedRightly ? "signature of the download" : "signature of other bytes");
        log.lines.clear();
        serve("common_client/" + key + ".sig",
              signWithDevelopmentKey(signedRightly ? extra : QByteArray("other")));
        const auto before = snapshot(env.bundle(), WithModes);
        ASSERT_EQ(runUpdate(),
                  signedRightly ? TaskSpecification::Finished : TaskSpecification::Failed);
        EXPECT_EQ(snapshot(env.bundle(), WithModes), before);
        if (signedRightly) {
            EXPECT_EQ(get(session("SharedSupport/" + key)), extra);
        } else {
            EXPECT_FALSE(QFileInfo::exists(session("SharedSupport/" + key)));
            EXPECT_EQ(signatureFailures(),
                      QStringList("main message Signature check failed for " + session(key)));
        }
    }
}

} // namespace
