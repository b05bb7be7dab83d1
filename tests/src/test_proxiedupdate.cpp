// Both update steps, run by the updater program itself, behind a proxy that the network
// requires: the image server's name resolves nowhere, so only requests sent through the proxy
// are answered.
#include "bundlefixture.h"
#include "cryptwrapper.h"
#include "signing_test_support.h"
#include "test_maintask_support.h"
#include "testhttpserver.h"
#include "updatertestenv.h"
#include "updateserverclient.h"
#include "versionreplytestdata.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <csignal>
#include <ostream>
#include <string>
#include <sys/types.h>

using namespace qvxrun;

namespace {

const int version = 301;
const QString imageHost = QStringLiteral("images.quorvelin.invalid");
const QString versionPath = QStringLiteral("/alpha-images/%1/").arg(version);
const QString updaterRel = QStringLiteral("SharedSupport/update.app/Contents/MacOS/update");
// Each is held back a while, so that downloads running side by side overlap.
const QStringList clientFiles
    = {QStringLiteral("Resources/a.txt"), QStringLiteral("Resources/b.txt"),
       QStringLiteral("Resources/c.txt")};
const int holdMs = 300;

QString field(const QByteArray &data)
{
    return sha512(data) + QStringLiteral("::") + QString::number(data.size());
}

// Whether step one learns the version from its command line or from the version server.
enum class VersionFrom { CommandLine, VersionServer };

// The case's name, for the test names and for the parameter in the listing.
void PrintTo(VersionFrom from, std::ostream *os)
{
    *os << (from == VersionFrom::CommandLine ? "FromTheCommandLine" : "FromTheVersionServer");
}

class ProxiedUpdateTest : public ::testing::TestWithParam<VersionFrom>
{
protected:
    void SetUp() override
    {
        built = QCoreApplication::applicationDirPath() + QStringLiteral("/../src/update");
        if (!QFileInfo(built).isExecutable())
            GTEST_SKIP() << "updater program not built";
        if (!builtInKeyIsDevelopmentKey())
            GTEST_SKIP() << "the build embeds another signing key";
        ASSERT_TRUE(proxy.isListening());
        initCryptLibrary();
    }

    void TearDown() override
    {
        // Step two and the client run in the process group of step one.
        if (group > 0)
            ::kill(-group, SIGKILL);
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }

    void serve(const QString &rel, const QByteArray &bytes, int delayMs = 0)
    {
        TestHttpServer::Reply reply = TestHttpServer::Reply::ok(bytes);
        reply.delayMs = delayMs;
        proxy.setReply(versionPath + rel, reply);
    }

    void serveProductIni(const QString &name, const QByteArray &plain)
    {
        serve(name + QStringLiteral("._lzma2_"), packLzma2(plain));
        serve(name + QStringLiteral(".sig"), signWithDevelopmentKey(plain));
    }

    QString logs() const
    {
        QString all;
        const QDir folder(env.tempDir() + QStringLiteral("/quorvelin_update_log"));
        for (const QString &name : folder.entryList(QDir::Files, QDir::Name))
            all += QString::fromUtf8(get(folder.absoluteFilePath(name)));
        return all;
    }

    // Lets the event loop (and so the proxy) run until the client has been started, or a step
    // has given up.
    bool waitForClient(const QString &marker)
    {
        QDeadlineTimer deadline(240000);
        while (!deadline.hasExpired()) {
            if (get(marker).endsWith("done\n"))
                return true;
            if (logs().contains(QStringLiteral("Update cancelled")))
                return false;
            QTest::qWait(100);
        }
        return false;
    }

    UpdaterTestEnv env;
    TestHttpServer proxy;
    QString built;
    QProcess process;
    qint64 group = 0;
};

TEST_P(ProxiedUpdateTest, BothStepsGoThroughTheProxyWithTheSettingsOfStepOne)
{
    const bool askServer = GetParam() == VersionFrom::VersionServer;
    // The address built into the program; it resolves nowhere either.
    initUpdateServerClientGlobals();
    std::string address;
    getUpdateServerUrl(address);
    const QUrl versionServer(QString::fromStdString(address));
    proxy.setReply(versionServer.path(),
                   TestHttpServer::Reply::ok(versionReply({{"alpha", version, "3.0.1"}})));

    // The installed updater is the new one with another trailer, so step one fetches the new one.
    const QByteArray newUpdater = get(built);
    ASSERT_FALSE(newUpdater.isEmpty());
    const QString installedUpdater = env.applicationDir() + QStringLiteral("/update");
    ASSERT_TRUE(put(installedUpdater, newUpdater + "\nquorvelin updater 3.0.0\n"));
    ASSERT_TRUE(QFile::setPermissions(installedUpdater, QFile::permissions(built)));

    const QString marker = env.path(QStringLiteral("client-started"));
    ASSERT_TRUE(BundleFixture::writeProgram(
        env.bundle() + QStringLiteral("/Contents/MacOS/qvxclient_mac"), marker));
    ASSERT_TRUE(BundleFixture::writeInfoPlist(env.bundle(), QStringLiteral("qvxclient_mac")));

    const QByteArray packedUpdater = packLzma2(newUpdater);
    serve(QStringLiteral("updater/") + updaterRel + QStringLiteral("._lzma2_"), packedUpdater);
    serveProductIni(QStringLiteral("update_macosx.ini"),
                    "[updater]\n"
                        + (updaterRel + QStringLiteral("._lzma2_=") + field(packedUpdater)
                           + QStringLiteral("::") + field(newUpdater) + QStringLiteral("::")
                           + updaterRel)
                              .toUtf8()
                        + "\n");
    QByteArray clientIni = "[client]\n";
    for (const QString &rel : clientFiles) {
        const QByteArray content = "new " + rel.toUtf8() + "\n";
        serve(QStringLiteral("client/") + rel, content, holdMs);
        clientIni += (rel + QStringLiteral("=") + field(content)).toUtf8() + "\n";
    }
    serveProductIni(QStringLiteral("qvx_client_macosx.ini"), clientIni);

    // How many client files are being answered at once.
    int held = 0;
    int mostHeld = 0;
    QObject::connect(&proxy, &TestHttpServer::requestReceived, [&](const QString &path) {
        if (!path.startsWith(versionPath + QStringLiteral("client/")))
            return;
        mostHeld = qMax(mostHeld, ++held);
        QTimer::singleShot(holdMs, [&] { --held; });
    });

    // Only the client's shared-support update.ini, and no per-user one.
    const QString settings = env.sharedSupport() + QStringLiteral("/update.ini");
    ASSERT_TRUE(
        UpdaterTestEnv::writeFile(settings,
                                  QStringLiteral("[Channel]\nalpha=http://%1/alpha-images/\n\n"
                                                 "[update]\nproxy=http://127.0.0.1:%2\nstreams=1\n")
                                      .arg(imageHost)
                                      .arg(proxy.port())
                                      .toUtf8()));
    ASSERT_TRUE(UpdaterTestEnv::writeFile(env.tempDir() + QStringLiteral("/qvx_update_log"), ""));

    // In a process group of its own, so that step two, which outlives it, can be stopped too.
    const QString setsid = QStandardPaths::findExecutable(QStringLiteral("setsid"));
    const QStringList args = askServer
        ? QStringList {QStringLiteral("--nouser")}
        : QStringList {QStringLiteral("--nouser"), QStringLiteral("update_macosx"),
                       QString::number(version), QStringLiteral("3.0.1")};
    if (setsid.isEmpty())
        process.start(installedUpdater, args);
    else
        process.start(setsid, QStringList(installedUpdater) + args);
    ASSERT_TRUE(process.waitForStarted(10000));
    if (!setsid.isEmpty())
        group = process.processId();

    ASSERT_TRUE(waitForClient(marker)) << logs().toStdString();

    const QList<TestHttpServer::Request> requests = proxy.requests();
    ASSERT_FALSE(requests.isEmpty());
    int queries = 0;
    for (const TestHttpServer::Request &request : requests) {
        SCOPED_TRACE(request.target.constData());
        EXPECT_TRUE(request.proxyForm);
        if (request.path == versionServer.path()) {
            ++queries;
            EXPECT_EQ(request.headers.value("host"), versionServer.host().toUtf8());
            continue;
        }
        EXPECT_EQ(request.headers.value("host"), imageHost.toUtf8());
        EXPECT_TRUE(request.path.startsWith(versionPath));
    }
    EXPECT_EQ(queries, askServer ? 1 : 0);
    // Step two asked for its product ini and every client file through the proxy, on the alpha
    // channel of the shared-support update.ini, one file at a time.
    EXPECT_EQ(proxy.requestCount(versionPath + QStringLiteral("update_macosx.ini._lzma2_")), 1);
    EXPECT_EQ(proxy.requestCount(versionPath + QStringLiteral("qvx_client_macosx.ini._lzma2_")), 1);
    for (const QString &rel : clientFiles) {
        EXPECT_EQ(proxy.requestCount(versionPath + QStringLiteral("client/") + rel), 1);
        EXPECT_EQ(get(env.bundle() + QStringLiteral("/Contents/") + rel),
                  "new " + rel.toUtf8() + "\n");
    }
    EXPECT_EQ(mostHeld, 1);

    // The user's settings outlive the session.
    QSettings after(settings, QSettings::IniFormat);
    EXPECT_EQ(after.childGroups(), QStringList({"Channel", "update"}));
}

INSTANTIATE_TEST_SUITE_P(Versions, ProxiedUpdateTest,
                         ::testing::Values(VersionFrom::CommandLine, VersionFrom::VersionServer),
                         [](const ::testing::TestParamInfo<VersionFrom> &info) {
                             return ::testing::PrintToString(info.param);
                         });

// The listing shows each case's parameter by the case's name, not as raw bytes.
TEST(ProxiedUpdateListingTest, ShowsEachParameterByItsCaseName)
{
    const ::testing::UnitTest *unit = ::testing::UnitTest::GetInstance();
    int cases = 0;
    for (int i = 0; i < unit->total_test_suite_count(); ++i) {
        const ::testing::TestSuite *suite = unit->GetTestSuite(i);
        if (std::string(suite->name()) != "Versions/ProxiedUpdateTest")
            continue;
        for (int j = 0; j < suite->total_test_count(); ++j) {
            const ::testing::TestInfo *info = suite->GetTestInfo(j);
            const std::string name = info->name();
            ASSERT_NE(info->value_param(), nullptr) << name;
            EXPECT_EQ(info->value_param(), name.substr(name.rfind('/') + 1));
            ++cases;
        }
    }
    EXPECT_EQ(cases, 2);
}

} // namespace
