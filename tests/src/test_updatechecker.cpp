#include "fileops_test_support.h"
#include "httpdownloader.h"
#include "protobufhelper.h"
#include "testhttpserver.h"
#include "updatechecker.h"
#include "updateserverclient.h"
#include "updateversions.h"
#include "versionreplytestdata.h"

#include <QDeadlineTimer>
#include <QNetworkProxy>
#include <QNetworkRequest>
#include <QPointer>
#include <QSignalSpy>
#include <QTest>

#include <memory>

#include <gtest/gtest.h>

namespace {

// Lets the event loop run until pred holds or timeoutMs pass.
template<typename Pred> bool waitFor(Pred pred, int timeoutMs = 5000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!pred() && !deadline.hasExpired())
        QTest::qWait(10);
    return pred();
}

class VersionQueryTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        registerUpdateVersionsMetaType();
        ASSERT_TRUE(server.isListening());
        m_savedUrl = g_updateServerUrl;
        g_updateServerUrl = server.url(QStringLiteral("/qvx-client-2")).toString().toStdString();
        m_savedLimit = UpdateChecker::timeLimit();
    }

    void TearDown() override
    {
        g_updateServerUrl = m_savedUrl;
        UpdateChecker::setTimeLimit(m_savedLimit);
    }

    // Runs one query and returns what it reported.
    UpdateVersions query()
    {
        QObject owner;
        QPointer<UpdateChecker> checker = new UpdateChecker(&owner);
        QSignalSpy spy(checker.data(), &UpdateChecker::update_available);
        checker->checkForUpdate();
        EXPECT_TRUE(spy.wait(10000));
        EXPECT_EQ(spy.count(), 1);
        // The checker removes itself after its one answer.
        EXPECT_TRUE(waitFor([&] { return checker.isNull(); }));
        return spy.isEmpty() ? UpdateVersions() : spy.at(0).at(0).value<UpdateVersions>();
    }

    TestHttpServer server;

private:
    std::string m_savedUrl;
    int m_savedLimit = 0;
};

using Versions = UpdateVersions;
using Pair = QPair<QString, QString>;

} // namespace

TEST_F(VersionQueryTest, RepliesBecomeChannelHashes)
{
    struct Case
    {
        const char *label;
        QByteArray body;
        Versions expected;
    } cases[] = {
        {"two channels",
         versionReply({{"stable", 123, "3.5.0"}, {"beta", 130, "3.6.0"}}),
         {{"stable", Pair("123", "3.5.0")}, {"beta", Pair("130", "3.6.0")}}},
        {"repeated channel keeps the first",
         versionReply({{"stable", 5, "one"}, {"alpha", 9, "a"}, {"stable", 6, "two"}}),
         {{"stable", Pair("5", "one")}, {"alpha", Pair("9", "a")}}},
        {"negative number as unsigned text",
         versionReply({{"stable", -1, "neg"}}),
         {{"stable", Pair("4294967295", "neg")}}},
        {"utf-8 text",
         versionReply({{"beta", 7, "3.6 \xc3\x9f"}}),
         {{"beta", Pair("7", QString::fromUtf8("3.6 \xc3\x9f"))}}},
        {"no channels", versionReply({}), {}},
        {"malformed body", QByteArray("\xff\xff\xff\xff", 4), {}},
        {"empty body", QByteArray(), {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        server.setReply(QStringLiteral("/qvx-client-2"), TestHttpServer::Reply::ok(c.body));
        EXPECT_EQ(query(), c.expected);
    }
    EXPECT_EQ(server.requestCount(QStringLiteral("/qvx-client-2")), int(std::size(cases)));
}

TEST_F(VersionQueryTest, HttpAndNetworkFailuresGiveEmptyResult)
{
    const QByteArray good = versionReply({{"stable", 1, "1"}});
    TestHttpServer::Reply notFound = TestHttpServer::Reply::withStatus(404, good);
    TestHttpServer::Reply closedEarly = TestHttpServer::Reply::ok(good);
    closedEarly.behaviour = TestHttpServer::CloseAfter;
    closedEarly.cutAfter = 2;
    const TestHttpServer::Reply serverError = TestHttpServer::Reply::withStatus(500, good);
    // The whole body, but sent as a part: only a 200 is the answer.
    const TestHttpServer::Reply partial = TestHttpServer::Reply::withStatus(206, good);
    for (const TestHttpServer::Reply &reply : {notFound, closedEarly, serverError, partial}) {
        SCOPED_TRACE(reply.status);
        server.setReply(QStringLiteral("/qvx-client-2"), reply);
        EXPECT_TRUE(query().isEmpty());
    }
}

// The box the user sees says only that the query failed; the log says where and why.
TEST_F(VersionQueryTest, FailedQueryLogsTheUrlAndTheReason)
{
    UpdateChecker::setTimeLimit(300);
    const QByteArray good = versionReply({{"stable", 1, "1"}});
    TestHttpServer::Reply silent;
    silent.behaviour = TestHttpServer::NeverAnswer;
    TestHttpServer::Reply cut = TestHttpServer::Reply::ok(good);
    cut.behaviour = TestHttpServer::CloseAfter;
    cut.cutAfter = 3;
    quint16 closedPort = 0;
    {
        TestHttpServer closed;
        closedPort = closed.port();
    }
    const std::string closedUrl
        = "http://127.0.0.1:" + std::to_string(closedPort) + "/qvx-client-2";
    struct Case
    {
        const char *label;
        TestHttpServer::Reply reply;
        std::string url; // empty: the test server's
        const char *downloaderReason; // null: the download itself succeeded
        const char *checkerDetail;
    } cases[] = {
        {"partial content", TestHttpServer::Reply::withStatus(206, good), "",
         "HTTP status 206 Partial Content", "no reply body"},
        {"not found", TestHttpServer::Reply::withStatus(404, good), "", "HTTP status 404 Not Found",
         "no reply body"},
        {"refused connection", TestHttpServer::Reply::ok(good), closedUrl,
         "network error ConnectionRefusedError (1): Connection refused", "no reply body"},
        {"no answer", silent, "", "no answer within 300 ms", "no reply body"},
        {"cut body", cut, "", "RemoteHostClosedError", "no reply body"},
        {"too large", TestHttpServer::Reply::ok(QByteArray(UpdateChecker::maxReplySize + 1, 'z')),
         "", "announced 1048577 bytes, more than 1048576", "no reply body"},
        {"no version list", TestHttpServer::Reply::ok("not a version list"), "", nullptr,
         "the reply of 18 bytes is no version list"},
        {"no channel", TestHttpServer::Reply::ok(versionReply({})), "", nullptr,
         "the reply names no channel"},
    };
    const std::string serverUrl = g_updateServerUrl;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        g_updateServerUrl = c.url.empty() ? serverUrl : c.url;
        const QString url = QString::fromStdString(g_updateServerUrl);
        server.setReply(QStringLiteral("/qvx-client-2"), c.reply);
        LogCapture log;
        EXPECT_TRUE(query().isEmpty());
        const QStringList lines = log.lines();
        const auto logged = [&lines, &url](const char *label, const QString &reason) {
            for (const QString &line : lines)
                if (line.contains(QLatin1String(label)) && line.contains(url)
                    && line.contains(reason))
                    return true;
            return false;
        };
        const QString all = lines.join(QLatin1Char('\n'));
        if (c.downloaderReason) {
            EXPECT_TRUE(logged("HTTPDownloader", QString::fromUtf8(c.downloaderReason)))
                << all.toStdString();
            EXPECT_TRUE(logged("HTTPDownloader", QStringLiteral("without a proxy")));
        } else {
            EXPECT_FALSE(logged("HTTPDownloader", QString())) << all.toStdString();
        }
        EXPECT_TRUE(logged("UpdateChecker", QString::fromUtf8(c.checkerDetail)))
            << all.toStdString();
    }
}

TEST_F(VersionQueryTest, UnreachableServerGivesEmptyResult)
{
    quint16 freePort = 0;
    {
        TestHttpServer closed;
        freePort = closed.port();
    }
    g_updateServerUrl = "http://127.0.0.1:" + std::to_string(freePort) + "/qvx-client-2";
    EXPECT_TRUE(query().isEmpty());
}

TEST_F(VersionQueryTest, SilentServerEndsAsFailedQueryAfterTimeLimit)
{
    UpdateChecker::setTimeLimit(300);
    TestHttpServer::Reply silent;
    silent.behaviour = TestHttpServer::NeverAnswer;
    TestHttpServer::Reply stalled = TestHttpServer::Reply::ok(versionReply({{"stable", 1, "1"}}));
    stalled.behaviour = TestHttpServer::StallAfter;
    stalled.cutAfter = 3;
    for (const TestHttpServer::Reply &reply : {silent, stalled}) {
        server.setReply(QStringLiteral("/qvx-client-2"), reply);
        EXPECT_TRUE(query().isEmpty());
    }
}

// A reply is read up to 1 MiB; one byte more fails the query like any failed one, however the
// server sends it.
TEST_F(VersionQueryTest, ReplyAboveOneMebibyteFailsTheQuery)
{
    const qint64 limit = 1024 * 1024;
    EXPECT_EQ(UpdateChecker::maxReplySize, limit);
    // A reply of exactly n bytes: one channel whose version text fills it up.
    std::string filler;
    const auto replyOfSize = [&filler](qint64 n) {
        // Near 1 MiB the lengths of the text and of its channel take three bytes each, not one.
        const qint64 base = versionReply({{"stable", 7, ""}}).size();
        filler.assign(std::size_t(n - base - 4), 'x');
        return versionReply({{"stable", 7, filler.c_str()}});
    };
    const QByteArray atLimit = replyOfSize(limit);
    const QString atLimitText = QString::fromStdString(filler);
    const QByteArray oneMore = replyOfSize(limit + 1);
    ASSERT_EQ(atLimit.size(), limit);
    ASSERT_EQ(oneMore.size(), limit + 1);

    TestHttpServer::Reply chunked = TestHttpServer::Reply::ok(oneMore);
    chunked.chunkSize = 64 * 1024;
    TestHttpServer::Reply huge = TestHttpServer::Reply::ok(QByteArray(64 * limit, 'z'));
    struct Case
    {
        const char *label;
        TestHttpServer::Reply reply;
        Versions expected;
    } cases[] = {
        {"at the limit", TestHttpServer::Reply::ok(atLimit), {{"stable", Pair("7", atLimitText)}}},
        {"one byte above", TestHttpServer::Reply::ok(oneMore), {}},
        {"one byte above, sent in pieces", chunked, {}},
        {"64 MiB", huge, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        server.setReply(QStringLiteral("/qvx-client-2"), c.reply);
        EXPECT_EQ(query(), c.expected);
    }
}

// The program may end while the query still waits for its answer: the request and its thread
// must end with the checker's owner, and nothing may arrive afterwards.
TEST_F(VersionQueryTest, OwnerGoingBeforeTheAnswerEndsTheQueryThread)
{
    TestHttpServer::Reply silent;
    silent.behaviour = TestHttpServer::NeverAnswer;
    TestHttpServer::Reply late = TestHttpServer::Reply::ok(versionReply({{"stable", 1, "1"}}));
    late.delayMs = 300;
    for (const TestHttpServer::Reply &reply : {silent, late}) {
        SCOPED_TRACE(reply.delayMs);
        server.setReply(QStringLiteral("/qvx-client-2"), reply);
        const int before = server.requestCount(QStringLiteral("/qvx-client-2"));
        auto owner = std::make_unique<QObject>();
        QPointer<UpdateChecker> checker = new UpdateChecker(owner.get());
        QSignalSpy answers(checker.data(), &UpdateChecker::update_available);
        checker->checkForUpdate();
        QPointer<HTTPDownloader> downloader = checker->findChild<HTTPDownloader *>();
        ASSERT_TRUE(downloader);
        QSignalSpy threadEnded(downloader.data(), &QThread::finished);
        ASSERT_TRUE(waitFor(
            [&] { return server.requestCount(QStringLiteral("/qvx-client-2")) == before + 1; }));

        owner.reset();
        EXPECT_TRUE(checker.isNull());
        EXPECT_TRUE(downloader.isNull());
        EXPECT_EQ(threadEnded.count(), 1);
        QTest::qWait(500);
        EXPECT_EQ(answers.count(), 0);
    }
}

TEST_F(VersionQueryTest, DefaultTimeLimitIsAMinute)
{
    EXPECT_EQ(UpdateChecker::timeLimit(), 60000);
}

TEST_F(VersionQueryTest, QueryGoesThroughTheGivenProxy)
{
    // A name that cannot be resolved: only the proxy can answer.
    g_updateServerUrl = "http://versions.example.invalid/qvx-client-2";
    server.setReply(QStringLiteral("/qvx-client-2"),
                    TestHttpServer::Reply::ok(versionReply({{"stable", 123, "3.5.0"}})));
    QObject owner;
    UpdateChecker *checker = new UpdateChecker(&owner);
    checker->setProxy(
        QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), server.port()));
    QSignalSpy spy(checker, &UpdateChecker::update_available);
    checker->checkForUpdate();
    ASSERT_TRUE(spy.wait(10000));
    EXPECT_EQ(spy.at(0).at(0).value<UpdateVersions>(),
              UpdateVersions({{"stable", Pair("123", "3.5.0")}}));
    ASSERT_EQ(server.totalRequestCount(), 1);
    EXPECT_TRUE(server.requests().at(0).proxyForm);
    EXPECT_EQ(server.requests().at(0).target,
              QByteArray("http://versions.example.invalid/qvx-client-2"));
}

TEST_F(VersionQueryTest, DownloaderDeliversOnceAndRemovesItself)
{
    server.setReply(QStringLiteral("/file"), TestHttpServer::Reply::ok("payload"));
    QPointer<HTTPDownloader> downloader
        = new HTTPDownloader(QNetworkRequest(server.url(QStringLiteral("/file"))));
    QSignalSpy finished(downloader.data(), &QThread::finished);
    QSignalSpy spy(downloader.data(), &HTTPDownloader::download_available);
    downloader->start();
    ASSERT_TRUE(spy.wait(10000));
    EXPECT_EQ(spy.at(0).at(0).toByteArray(), QByteArray("payload"));
    EXPECT_TRUE(waitFor([&] { return downloader.isNull(); }));
    EXPECT_EQ(finished.count(), 1);
    EXPECT_EQ(spy.count(), 1);
    // No proxy: the request reaches the server as given, asking for the body as it is.
    ASSERT_EQ(server.totalRequestCount(), 1);
    EXPECT_FALSE(server.requests().at(0).proxyForm);
    EXPECT_EQ(server.requests().at(0).method, QByteArray("GET"));
    EXPECT_EQ(server.requests().at(0).headers.value("accept-encoding"), QByteArray("identity"));
}

TEST(UpdateVersionsHelpers, VersionForChannelLooksUpByChannelNumber)
{
    const UpdateVersions versions {
        {"stable", Pair("1", "s")}, {"beta", Pair("2", "b")}, {"alpha", Pair("3", "a")}};
    const UpdateVersions onlyStable {{"stable", Pair("1", "s")}};
    struct Case
    {
        const UpdateVersions *versions;
        int channel;
        Pair expected;
    } cases[] = {
        {&versions, 0, Pair("1", "s")}, {&versions, 1, Pair("2", "b")},
        {&versions, 2, Pair("3", "a")}, {&versions, 3, Pair()},
        {&versions, -1, Pair()},        {&onlyStable, 1, Pair()},
        {&onlyStable, 2, Pair()},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.channel);
        EXPECT_EQ(versionForChannel(*c.versions, c.channel), c.expected);
    }
}

TEST(UpdateVersionsHelpers, ClientLookupsFallBackToZeroAndEmptyText)
{
    VersionsInfo info;
    info.versions["beta"] = ChannelVersion {42, "4.2"};
    EXPECT_EQ(versionNumberForChannel(info, "beta"), 42);
    EXPECT_EQ(versionStringForChannel(info, "beta"), "4.2");
    EXPECT_EQ(versionNumberForChannel(info, "stable"), 0);
    EXPECT_EQ(&versionStringForChannel(info, "stable"), &g_updateServerEmptyString);
}

namespace {
class UpdateVersionsReceiver : public QObject
{
    Q_OBJECT
signals:
    void carry(UpdateVersions versions);
};
} // namespace

TEST(UpdateVersionsHelpers, RegisteredTypeTravelsThroughQueuedConnections)
{
    registerUpdateVersionsMetaType();
    EXPECT_NE(QMetaType::type("UpdateVersions"), int(QMetaType::UnknownType));
    UpdateVersionsReceiver sender;
    UpdateVersions received;
    QObject::connect(
        &sender, &UpdateVersionsReceiver::carry, &sender,
        [&](const UpdateVersions &versions) { received = versions; }, Qt::QueuedConnection);
    const UpdateVersions sent {{"beta", Pair("2", "b")}};
    emit sender.carry(sent);
    EXPECT_TRUE(received.isEmpty());
    EXPECT_TRUE(waitFor([&] { return !received.isEmpty(); }));
    EXPECT_EQ(received, sent);
}

#include "test_updatechecker.moc"

TEST(ProtobufHelper, RuntimeMatchesTheHeaders)
{
    // Ends the process on a mismatch.
    protobufLibraryInit();
    SUCCEED();
}
