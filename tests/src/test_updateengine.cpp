#include "configuration.h"
#include "test_updateengine_support.h"
#include "testhttpserver.h"
#include "updateengine.h"
#include "updateinidata.h"
#include "updatertestenv.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

class UpdateEngineTest : public ::testing::Test
{
protected:
    UpdateEngineTest()
    {
        clearPendingQuit();
        config.clientType = QStringLiteral("client_macosx");
        config.versionNr = 42;
        config.initialised = true;
    }

    // Engine events in the order they arrive: "message <text>", "error <text>",
    // "progress <done>/<total>/<speed>/<downloading>", "finished", "canceled".
    void record(UpdateEngine &engine)
    {
        QObject::connect(&engine, &UpdateEngine::message, [this](const QString &text) {
            events << QStringLiteral("message ") + text;
        });
        QObject::connect(&engine, &UpdateEngine::error, [this](const QString &text) {
            events << QStringLiteral("error ") + text;
        });
        QObject::connect(&engine, &UpdateEngine::downloadProgress,
                         [this](qulonglong done, qulonglong total, qulonglong speed, bool active) {
                             events << QStringLiteral("progress %1/%2/%3/%4")
                                           .arg(done)
                                           .arg(total)
                                           .arg(speed)
                                           .arg(active ? 1 : 0);
                         });
        QObject::connect(&engine, &UpdateEngine::updateFinished,
                         [this]() { events << QStringLiteral("finished"); });
        QObject::connect(&engine, &UpdateEngine::updateCanceled,
                         [this]() { events << QStringLiteral("canceled"); });
    }

    bool hasEvent(const QString &event) const { return events.contains(event); }

    QString recordDir() const
    {
        QSettings settings(UpdateIniData::iniPath(), QSettings::IniFormat);
        return settings.value(QStringLiteral("current/dir")).toString();
    }

    static void makeFile(const QString &path)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        ASSERT_TRUE(UpdaterTestEnv::writeFile(path, "data"));
    }

    UpdaterTestEnv env;
    Configuration config;
    FakeRootFactory factory;
    QStringList events;
};

struct ProxyCase
{
    const char *name;
    const char *setting;
    QNetworkProxy::ProxyType type;
    const char *host;
    quint16 port;
};

void PrintTo(const ProxyCase &c, std::ostream *os)
{
    *os << c.name;
}

class UpdateEngineProxyTest : public UpdateEngineTest,
                              public ::testing::WithParamInterface<ProxyCase>
{ };

TEST_P(UpdateEngineProxyTest, ProxyFromUpdateIni)
{
    const ProxyCase &c = GetParam();
    {
        QSettings settings(UpdateIniData::iniPath(), QSettings::IniFormat);
        settings.setValue(QStringLiteral("update/proxy"), QString::fromLatin1(c.setting));
    }
    UpdateEngine engine(&config, nullptr);
    QSignalSpy fatal(&engine, &UpdateEngine::fatalError);
    const QNetworkProxy proxy = engine.findChild<QNetworkAccessManager *>()->proxy();
    EXPECT_EQ(proxy.type(), c.type);
    EXPECT_EQ(proxy.hostName(), QString::fromLatin1(c.host));
    EXPECT_EQ(proxy.port(), c.port);
    QCoreApplication::processEvents();
    EXPECT_EQ(fatal.count(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, UpdateEngineProxyTest,
    ::testing::Values(ProxyCase {"Empty", "", QNetworkProxy::NoProxy, "", 0},
                      // No scheme, as most people write it: read as an http:// address.
                      ProxyCase {"HostAndPort", "proxy.example:8080", QNetworkProxy::HttpProxy,
                                 "proxy.example", 8080},
                      ProxyCase {"AddressAndPort", "127.0.0.1:3128", QNetworkProxy::HttpProxy,
                                 "127.0.0.1", 3128},
                      ProxyCase {"SchemeHostPort", "http://proxy.example:8080",
                                 QNetworkProxy::HttpProxy, "proxy.example", 8080},
                      ProxyCase {"SchemeHost", "http://proxy.example", QNetworkProxy::HttpProxy,
                                 "proxy.example", 3128},
                      ProxyCase {"UpperCaseScheme", "HTTP://proxy.example:8080",
                                 QNetworkProxy::HttpProxy, "proxy.example", 8080}));

TEST_F(UpdateEngineTest, InvalidProxyIsFatalOnceReceiversAreConnected)
{
    // No valid URL, one that names no host, another kind of proxy, or port 0.
    for (const char *text :
         {"http://[proxy", "http://:3128", ":3128", "socks5://proxy.example:1080",
          "https://proxy.example:8443", "proxy.example:0", "http://proxy.example:0"}) {
        SCOPED_TRACE(text);
        {
            QSettings settings(UpdateIniData::iniPath(), QSettings::IniFormat);
            settings.setValue(QStringLiteral("update/proxy"), QString::fromUtf8(text));
        }
        UpdateEngine engine(&config, nullptr);
        QSignalSpy fatal(&engine, &UpdateEngine::fatalError);
        ASSERT_TRUE(fatal.wait(5000));
        EXPECT_EQ(fatal.count(), 1);
        EXPECT_EQ(fatal.at(0).at(0).toString(),
                  QStringLiteral("'%1' is an invalid proxy specification").arg(text));
    }
}

TEST_F(UpdateEngineTest, NewSessionCreatesTempDirAndRecordsIt)
{
    UpdateEngine engine(&config, nullptr);
    ASSERT_TRUE(engine.initialize());
    EXPECT_EQ(engine.state(), UpdateEngine::POST_INIT);
    EXPECT_TRUE(engine.isActive());
    EXPECT_TRUE(QFileInfo(config.tempDir).isDir());
    EXPECT_TRUE(config.tempDir.startsWith(env.tempDir()));
    EXPECT_EQ(QDir(config.installPath).canonicalPath(),
              QDir(env.bundle() + QStringLiteral("/Contents")).canonicalPath());

    int version = 0;
    QString type, dir, qvxdir;
    ASSERT_TRUE(UpdateIniData::get(&version, &type, &dir, &qvxdir));
    EXPECT_EQ(version, 42);
    EXPECT_EQ(dir, config.tempDir);
    EXPECT_EQ(qvxdir, config.installPath);
    EXPECT_EQ(type, QStringLiteral("client_macosx"));
}

TEST_F(UpdateEngineTest, SameVersionContinuesPreviousSession)
{
    const QString session = env.path(QStringLiteral("tmp/quorvelin_temp_3"));
    const QString client = env.path(QStringLiteral("otherclient/"));
    makeFile(session + QStringLiteral("/downloaded.bin"));
    QDir().mkpath(client);
    writeSessionRecord(42, session, client);

    UpdateEngine engine(&config, nullptr);
    record(engine);
    ASSERT_TRUE(engine.initialize());
    EXPECT_TRUE(hasEvent(QStringLiteral("message Previous update session for v. 42 found")));
    EXPECT_EQ(config.tempDir, session);
    EXPECT_EQ(config.installPath, client);
    EXPECT_TRUE(QFile::exists(session + QStringLiteral("/downloaded.bin")));
}

TEST_F(UpdateEngineTest, OtherVersionRemovesPreviousSessionButKeepsSettings)
{
    const QString session = env.path(QStringLiteral("tmp/quorvelin_temp_2"));
    makeFile(session + QStringLiteral("/a.bin"));
    makeFile(session + QStringLiteral("/.hidden"));
    makeFile(session + QStringLiteral("/sub/deeper/b.bin"));
    writeSessionRecord(41, session, QString());
    {
        QSettings settings(UpdateIniData::iniPath(), QSettings::IniFormat);
        settings.setValue(QStringLiteral("update/streams"), 3);
    }

    UpdateEngine engine(&config, nullptr);
    record(engine);
    ASSERT_TRUE(engine.initialize());
    EXPECT_TRUE(hasEvent(
        QStringLiteral("message Cleanup previous session (v. 41, %1) files...").arg(session)));
    EXPECT_TRUE(hasEvent(QStringLiteral("message Ok")));
    EXPECT_FALSE(QFileInfo::exists(session));
    EXPECT_NE(config.tempDir, session);
    EXPECT_TRUE(QFileInfo(config.tempDir).isDir());
    EXPECT_EQ(recordDir(), config.tempDir);
    QSettings settings(UpdateIniData::iniPath(), QSettings::IniFormat);
    EXPECT_EQ(settings.value(QStringLiteral("update/streams")).toInt(), 3);
}

TEST_F(UpdateEngineTest, SymbolicLinksSurviveTheCleanupWithTheirFolders)
{
    const QString session = env.path(QStringLiteral("tmp/quorvelin_temp_2"));
    const QString outside = env.path(QStringLiteral("keep/target.bin"));
    makeFile(outside);
    makeFile(session + QStringLiteral("/links/plain.bin"));
    makeFile(session + QStringLiteral("/gone/c.bin"));
    ASSERT_TRUE(QFile::link(outside, session + QStringLiteral("/links/to_file")));
    ASSERT_TRUE(
        QFile::link(env.path(QStringLiteral("keep")), session + QStringLiteral("/dirlink")));
    writeSessionRecord(41, session, QString());

    UpdateEngine engine(&config, nullptr);
    record(engine);
    ASSERT_TRUE(engine.initialize());
    EXPECT_TRUE(hasEvent(QStringLiteral("message Failed to remove directory")));
    EXPECT_TRUE(QFileInfo(session + QStringLiteral("/links/to_file")).isSymLink());
    EXPECT_TRUE(QFileInfo(session + QStringLiteral("/dirlink")).isSymLink());
    EXPECT_FALSE(QFileInfo::exists(session + QStringLiteral("/links/plain.bin")));
    EXPECT_FALSE(QFileInfo::exists(session + QStringLiteral("/gone")));
    // Links are never followed.
    EXPECT_TRUE(QFile::exists(outside));
}

TEST_F(UpdateEngineTest, RecordNamingALinkedFolderRemovesNothingBehindIt)
{
    // Anyone may put a link where a session folder of the shared temporary folder used to be.
    const QString docs = env.path(QStringLiteral("docs"));
    makeFile(docs + QStringLiteral("/letter.txt"));
    const QString session = env.path(QStringLiteral("tmp/quorvelin_temp_7"));
    ASSERT_TRUE(QFile::link(docs, session));
    writeSessionRecord(41, session, QString());

    UpdateEngine engine(&config, nullptr);
    record(engine);
    ASSERT_TRUE(engine.initialize());
    EXPECT_TRUE(hasEvent(QStringLiteral("message Failed to remove directory")));
    EXPECT_TRUE(QFile::exists(docs + QStringLiteral("/letter.txt")));
    EXPECT_NE(config.tempDir, session);
}

TEST_F(UpdateEngineTest, RecordOfMissingFolderCountsAsNone)
{
    writeSessionRecord(41, env.path(QStringLiteral("tmp/vanished")), QString());
    UpdateEngine engine(&config, nullptr);
    record(engine);
    ASSERT_TRUE(engine.initialize());
    EXPECT_TRUE(events.filter(QStringLiteral("Cleanup previous session")).isEmpty());
    EXPECT_EQ(recordDir(), config.tempDir);
}

TEST_F(UpdateEngineTest, RecordNamingAFolderAroundTheClientRemovesNothing)
{
    // A damaged record must not turn the session clean-up against the user's own files.
    const QString precious = env.path(QStringLiteral("precious.txt"));
    makeFile(precious);
    writeSessionRecord(41, env.root(), QString());

    UpdateEngine engine(&config, nullptr);
    ASSERT_TRUE(engine.initialize());
    EXPECT_TRUE(QFile::exists(precious));
    EXPECT_TRUE(QFileInfo::exists(env.applicationDir()));
    EXPECT_NE(config.tempDir, env.root());
}

TEST_F(UpdateEngineTest, RecordNamingAFolderAroundTheRunningUpdaterRemovesNothing)
{
    // The record's client folder may be another one (a moved client): the bundle that runs
    // now is still not the record's to remove.
    QTemporaryDir otherClient(env.root() + QStringLiteral("_client_XXXXXX"));
    const QString precious = env.path(QStringLiteral("precious.txt"));
    makeFile(precious);
    writeSessionRecord(41, env.root(), otherClient.path() + QStringLiteral("/"));

    UpdateEngine engine(&config, nullptr);
    ASSERT_TRUE(engine.initialize());
    EXPECT_TRUE(QFile::exists(precious));
    EXPECT_TRUE(QFileInfo::exists(env.applicationDir()));
}

TEST_F(UpdateEngineTest, UnwritableRecordIsAnErrorAndStaysBeforeInit)
{
    ASSERT_TRUE(QDir().mkpath(UpdateIniData::iniPath()));
    UpdateEngine engine(&config, nullptr);
    record(engine);
    EXPECT_FALSE(engine.initialize());
    EXPECT_EQ(engine.state(), UpdateEngine::PRE_INIT);
    EXPECT_FALSE(engine.isActive());
    EXPECT_TRUE(
        hasEvent(QStringLiteral("error Failed to write update.ini. The updater does not "
                                "seem to have the required write permissions. (Is a directory)")));
}

TEST_F(UpdateEngineTest, PollForwardsTheRootTaskFigures)
{
    UpdateEngine engine(&config, nullptr);
    QSignalSpy progress(&engine, &UpdateEngine::downloadProgress);
    ASSERT_TRUE(engine.initialize());
    ASSERT_TRUE(engine.startUpdate());
    ASSERT_TRUE(factory.root);
    EXPECT_EQ(factory.root->executeCount, 1);
    factory.root->dlDone = 10;
    factory.root->dlTotal = 100;
    factory.root->dlSpeed = 5;
    factory.root->dlActive = true;
    ASSERT_TRUE(progress.wait(5000));
    EXPECT_EQ(progress.at(0).at(0).toULongLong(), 10u);
    EXPECT_EQ(progress.at(0).at(1).toULongLong(), 100u);
    EXPECT_EQ(progress.at(0).at(2).toULongLong(), 5u);
    EXPECT_TRUE(progress.at(0).at(3).toBool());
    factory.root->finish();
}

TEST_F(UpdateEngineTest, RelaysTaskAndConfigurationSignals)
{
    UpdateEngine engine(&config, nullptr);
    record(engine);
    QSignalSpy fractions(&engine, &UpdateEngine::updateProgress);
    ASSERT_TRUE(engine.initialize());
    ASSERT_TRUE(engine.startUpdate());
    emit factory.root->message(QStringLiteral("step"));
    emit factory.root->error(QStringLiteral("hard"));
    emit factory.root->updateProgress(0.25);
    emit config.message(QStringLiteral("from config"));
    EXPECT_TRUE(hasEvent(QStringLiteral("message step")));
    EXPECT_TRUE(hasEvent(QStringLiteral("error hard")));
    EXPECT_TRUE(hasEvent(QStringLiteral("message from config")));
    ASSERT_EQ(fractions.count(), 1);
    EXPECT_DOUBLE_EQ(fractions.at(0).at(0).toDouble(), 0.25);
    factory.root->finish();
}

TEST_F(UpdateEngineTest, StepOneSuccessDropsTheRecord)
{
    UpdateEngine engine(&config, nullptr);
    record(engine);
    ASSERT_TRUE(engine.initialize());
    ASSERT_TRUE(engine.startUpdate());
    const QString session = config.tempDir;
    factory.root->finish();

    EXPECT_EQ(engine.state(), UpdateEngine::FINISHED);
    EXPECT_FALSE(engine.isActive());
    const QStringList expectedTail {QStringLiteral("message Removed temporary update.ini"),
                                    QStringLiteral("message Update successfully finished"),
                                    QStringLiteral("progress 0/0/0/0"), QStringLiteral("finished")};
    EXPECT_EQ(events.mid(events.size() - expectedTail.size()), expectedTail);
    EXPECT_FALSE(UpdateIniData::get(nullptr, nullptr, nullptr, nullptr));
    EXPECT_FALSE(QFile::exists(UpdateIniData::iniPath()));
    // Step one hands its downloads on to step two.
    EXPECT_TRUE(QFileInfo(session).isDir());
    QTRY_VERIFY(factory.root.isNull());
}

// Step one's hand-over files go too; what else is in the temporary folder stays.
TEST_F(UpdateEngineTest, StepTwoSuccessRemovesSessionFolderArgumentsFileAndStarterScript)
{
    config.clientUpdate = 1;
    const QString args = QDir::tempPath() + QStringLiteral("/qvxclientupdateargs");
    makeFile(args);
    const QString script = QDir::tempPath() + QStringLiteral("/update.sh");
    makeFile(script);
    const QString marker = QDir::tempPath() + QStringLiteral("/qvx_force_update");
    makeFile(marker);
    UpdateEngine engine(&config, nullptr);
    record(engine);
    ASSERT_TRUE(engine.initialize());
    ASSERT_TRUE(engine.startUpdate());
    const QString session = config.tempDir;
    makeFile(session + QStringLiteral("/SharedSupport/update.app/Contents/MacOS/update"));
    factory.root->finish();

    const QStringList expectedTail {QStringLiteral("message Remove temporary files..."),
                                    QStringLiteral("message Temporary files removed."),
                                    QStringLiteral("message Update successfully finished"),
                                    QStringLiteral("progress 0/0/0/0"), QStringLiteral("finished")};
    EXPECT_EQ(events.mid(events.size() - expectedTail.size()), expectedTail);
    EXPECT_FALSE(QFileInfo::exists(session));
    EXPECT_FALSE(QFile::exists(args));
    EXPECT_FALSE(QFile::exists(script));
    EXPECT_FALSE(QFile::exists(UpdateIniData::iniPath()));
    EXPECT_TRUE(QFile::exists(marker));
}

struct CancelCase
{
    FakeTask::End end;
    bool userAbortText;
};

void PrintTo(const CancelCase &c, std::ostream *os)
{
    *os << (c.end == FakeTask::End::Abort ? "aborted" : "failed");
}

class UpdateEngineCancelTest : public UpdateEngineTest,
                               public ::testing::WithParamInterface<CancelCase>
{ };

TEST_P(UpdateEngineCancelTest, CanceledRunKeepsSessionForTheNextStart)
{
    UpdateEngine engine(&config, nullptr);
    record(engine);
    ASSERT_TRUE(engine.initialize());
    ASSERT_TRUE(engine.startUpdate());
    const QString session = config.tempDir;
    if (GetParam().end == FakeTask::End::Abort)
        engine.cancelUpdate();
    else
        factory.root->fail();

    EXPECT_EQ(engine.state(), UpdateEngine::CANCELED);
    EXPECT_FALSE(engine.isActive());
    EXPECT_EQ(hasEvent(QStringLiteral("message User aborted update")), GetParam().userAbortText);
    const QStringList expectedTail {QStringLiteral("progress 0/0/0/0"), QStringLiteral("canceled")};
    EXPECT_EQ(events.mid(events.size() - 2), expectedTail);
    EXPECT_EQ(recordDir(), session);

    engine.resetAfterCancel();
    EXPECT_EQ(engine.state(), UpdateEngine::PRE_INIT);
    ASSERT_TRUE(engine.initialize());
    EXPECT_EQ(config.tempDir, session);
    EXPECT_TRUE(hasEvent(QStringLiteral("message Previous update session for v. 42 found")));
}

INSTANTIATE_TEST_SUITE_P(Ends, UpdateEngineCancelTest,
                         ::testing::Values(CancelCase {FakeTask::End::Abort, true},
                                           CancelCase {FakeTask::End::Fail, false}),
                         [](const ::testing::TestParamInfo<CancelCase> &info) {
                             return std::string(info.param.end == FakeTask::End::Abort ? "Aborted"
                                                                                       : "Failed");
                         });

TEST_F(UpdateEngineTest, CancelOutsideARunDoesNothing)
{
    UpdateEngine engine(&config, nullptr);
    record(engine);
    engine.cancelUpdate();
    ASSERT_TRUE(engine.initialize());
    engine.cancelUpdate();
    EXPECT_EQ(engine.state(), UpdateEngine::POST_INIT);
    ASSERT_TRUE(engine.startUpdate());
    factory.root->finish();
    engine.cancelUpdate();
    EXPECT_EQ(engine.state(), UpdateEngine::FINISHED);
    EXPECT_EQ(events.count(QStringLiteral("canceled")), 0);
}

TEST_F(UpdateEngineTest, LateSecondEndOfTheRootIsIgnored)
{
    UpdateEngine engine(&config, nullptr);
    record(engine);
    ASSERT_TRUE(engine.initialize());
    ASSERT_TRUE(engine.startUpdate());
    FakeTask *root = factory.root;
    root->finish();
    root->fail();
    EXPECT_EQ(engine.state(), UpdateEngine::FINISHED);
    EXPECT_EQ(events.count(QStringLiteral("finished")), 1);
    EXPECT_EQ(events.count(QStringLiteral("canceled")), 0);
}

TEST_F(UpdateEngineTest, RunWithoutARootTaskIsFatalAndLeavesNoSessionOpen)
{
    UpdateEngine::setMainTaskFactory([](QNetworkAccessManager *, Configuration *,
                                        QObject *) -> TaskSpecification * { return nullptr; });
    UpdateEngine engine(&config, nullptr);
    QSignalSpy fatal(&engine, &UpdateEngine::fatalError);
    ASSERT_TRUE(engine.initialize());
    EXPECT_TRUE(engine.startUpdate());
    ASSERT_EQ(fatal.count(), 1);
    EXPECT_EQ(fatal.at(0).at(0).toString(), QStringLiteral("No update task available"));
    EXPECT_FALSE(engine.isActive());
}

// The engine with the real update pipeline against a local image server.
class UpdateEngineRunTest : public ::testing::Test
{
protected:
    UpdateEngineRunTest()
    {
        clearPendingQuit();
        config.clientType = QStringLiteral("update_macosx");
        config.versionNr = 42;
        config.streams = 2;
        config.initialised = true;
        Configuration::imageServerBaseUrl = server.baseUrl() + QStringLiteral("images/");
    }

    UpdaterTestEnv env;
    TestHttpServer server;
    Configuration config;
};

TEST_F(UpdateEngineRunTest, MissingProductIniEndsTheRunAsCanceledAndKeepsTheSession)
{
    UpdateEngine engine(&config, nullptr);
    QStringList messages;
    QObject::connect(&engine, &UpdateEngine::message,
                     [&messages](const QString &text) { messages << text; });
    QSignalSpy canceled(&engine, &UpdateEngine::updateCanceled);
    QSignalSpy finished(&engine, &UpdateEngine::updateFinished);
    ASSERT_TRUE(engine.initialize());
    const QString session = config.tempDir;
    ASSERT_TRUE(engine.startUpdate());
    ASSERT_TRUE(canceled.wait(60000));
    EXPECT_EQ(finished.count(), 0);
    EXPECT_EQ(engine.state(), UpdateEngine::CANCELED);
    ASSERT_FALSE(messages.isEmpty());
    EXPECT_EQ(messages.first(), QStringLiteral("Starting update process for updater"));
    EXPECT_FALSE(messages.contains(QStringLiteral("User aborted update")));
    EXPECT_GT(server.totalRequestCount(), 0);
    QString dir;
    ASSERT_TRUE(UpdateIniData::get(nullptr, nullptr, &dir, nullptr));
    EXPECT_EQ(dir, session);
}

TEST_F(UpdateEngineRunTest, UserAbortOfTheRealPipeline)
{
    // Cancelled at once, before the product ini can have arrived.
    UpdateEngine engine(&config, nullptr);
    QStringList messages;
    QObject::connect(&engine, &UpdateEngine::message,
                     [&messages](const QString &text) { messages << text; });
    QSignalSpy canceled(&engine, &UpdateEngine::updateCanceled);
    ASSERT_TRUE(engine.initialize());
    ASSERT_TRUE(engine.startUpdate());
    engine.cancelUpdate();
    ASSERT_TRUE(canceled.count() == 1 || canceled.wait(60000));
    EXPECT_TRUE(messages.contains(QStringLiteral("User aborted update")));
}

} // namespace
