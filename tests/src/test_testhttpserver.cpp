#include "testhttpserver.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

namespace {

struct Fetched
{
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    int status = 0;
    QByteArray body;
    QByteArray location;
    bool finished = false;
};

Fetched fetch(QNetworkAccessManager &manager, const QUrl &url, int timeoutMs = 10000)
{
    std::unique_ptr<QNetworkReply> reply(manager.get(QNetworkRequest(url)));
    QSignalSpy done(reply.get(), &QNetworkReply::finished);
    Fetched result;
    result.finished = done.wait(timeoutMs);
    result.error = reply->error();
    result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    result.body = reply->readAll();
    result.location = reply->rawHeader("Location");
    return result;
}

class TestHttpServerSelfTest : public ::testing::Test
{
protected:
    TestHttpServer server;
    QNetworkAccessManager manager;
};

} // namespace

TEST_F(TestHttpServerSelfTest, ServesFilesCannedRepliesAndStatusCodes)
{
    QTemporaryDir root;
    ASSERT_TRUE(QDir().mkpath(root.path() + QStringLiteral("/sub")));
    QFile file(root.path() + QStringLiteral("/sub/a.bin"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("file content");
    file.close();
    server.setFileRoot(root.path());
    server.setReply(QStringLiteral("/canned"), TestHttpServer::Reply::ok("canned"));
    server.setReply(QStringLiteral("/missing"), TestHttpServer::Reply::withStatus(404, "nope"));
    server.setReply(QStringLiteral("/moved"), TestHttpServer::Reply::redirect("/sub/a.bin"));

    Fetched got = fetch(manager, server.url(QStringLiteral("/sub/a.bin?x=1")));
    EXPECT_EQ(got.error, QNetworkReply::NoError);
    EXPECT_EQ(got.status, 200);
    EXPECT_EQ(got.body, QByteArray("file content"));

    got = fetch(manager, server.url(QStringLiteral("/canned")));
    EXPECT_EQ(got.body, QByteArray("canned"));

    got = fetch(manager, server.url(QStringLiteral("/missing")));
    EXPECT_EQ(got.error, QNetworkReply::ContentNotFoundError);
    EXPECT_EQ(got.status, 404);
    EXPECT_EQ(got.body, QByteArray("nope"));

    got = fetch(manager, server.url(QStringLiteral("/sub/none")));
    EXPECT_EQ(got.status, 404);

    QNetworkRequest manual(server.url(QStringLiteral("/moved")));
    manual.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                        QNetworkRequest::ManualRedirectPolicy);
    std::unique_ptr<QNetworkReply> reply(manager.get(manual));
    QSignalSpy done(reply.get(), &QNetworkReply::finished);
    ASSERT_TRUE(done.wait(10000));
    EXPECT_EQ(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 302);
    EXPECT_EQ(reply->rawHeader("Location"), QByteArray("/sub/a.bin"));

    EXPECT_EQ(server.requestCount(QStringLiteral("/sub/a.bin")), 1);
    EXPECT_EQ(server.requestCount(QStringLiteral("/moved")), 1);
    EXPECT_EQ(server.totalRequestCount(), 5);
    EXPECT_EQ(server.requests().at(0).target, QByteArray("/sub/a.bin?x=1"));
}

TEST_F(TestHttpServerSelfTest, ReplySequencesFailuresDelaysAndChunks)
{
    const QByteArray body(5000, 'z');
    TestHttpServer::Reply closed = TestHttpServer::Reply::ok(body);
    closed.behaviour = TestHttpServer::CloseAfter;
    closed.cutAfter = 100;
    TestHttpServer::Reply slow = TestHttpServer::Reply::ok(body);
    slow.delayMs = 20;
    slow.chunkSize = 1000;
    slow.chunkIntervalMs = 5;
    server.setReplies(QStringLiteral("/f"), {closed, slow});

    Fetched got = fetch(manager, server.url(QStringLiteral("/f")));
    EXPECT_NE(got.error, QNetworkReply::NoError);
    EXPECT_LT(got.body.size(), body.size());
    for (int i = 0; i < 2; ++i) {
        got = fetch(manager, server.url(QStringLiteral("/f")));
        EXPECT_EQ(got.error, QNetworkReply::NoError);
        EXPECT_EQ(got.body, body);
    }
    EXPECT_EQ(server.requestCount(QStringLiteral("/f")), 3);
}

TEST_F(TestHttpServerSelfTest, StalledRepliesHoldUntilAborted)
{
    TestHttpServer::Reply stall = TestHttpServer::Reply::ok(QByteArray(1000, 'q'));
    stall.behaviour = TestHttpServer::StallAfter;
    stall.cutAfter = 10;
    server.setReply(QStringLiteral("/s"), stall);
    std::unique_ptr<QNetworkReply> reply(
        manager.get(QNetworkRequest(server.url(QStringLiteral("/s")))));
    QSignalSpy progress(reply.get(), &QNetworkReply::readyRead);
    QSignalSpy done(reply.get(), &QNetworkReply::finished);
    ASSERT_TRUE(progress.wait(10000));
    EXPECT_FALSE(done.wait(200));
    EXPECT_EQ(reply->bytesAvailable(), 10);
    server.abortConnections();
    ASSERT_TRUE(done.wait(10000));
    // Qt does not always flag a reset connection as an error; the short body tells.
    EXPECT_EQ(reply->readAll().size(), 10);
}

TEST_F(TestHttpServerSelfTest, ActsAsAnHttpProxy)
{
    server.setReply(QStringLiteral("/via/proxy"), TestHttpServer::Reply::ok("proxied"));
    manager.setProxy(
        QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), server.port()));
    const Fetched got
        = fetch(manager, QUrl(QStringLiteral("http://images.example.invalid/via/proxy")));
    EXPECT_EQ(got.body, QByteArray("proxied"));
    ASSERT_EQ(server.totalRequestCount(), 1);
    EXPECT_TRUE(server.requests().at(0).proxyForm);
    EXPECT_EQ(server.requests().at(0).headers.value("host"), QByteArray("images.example.invalid"));
}

TEST(TestHttpServerSelfTestTeardown, DestroyingTheServerEndsOpenConnections)
{
    QNetworkAccessManager manager;
    auto server = std::make_unique<TestHttpServer>();
    TestHttpServer::Reply silent;
    silent.behaviour = TestHttpServer::NeverAnswer;
    server->setDefaultReply(silent);
    std::unique_ptr<QNetworkReply> reply(
        manager.get(QNetworkRequest(server->url(QStringLiteral("/x")))));
    QSignalSpy received(server.get(), &TestHttpServer::requestReceived);
    ASSERT_TRUE(received.wait(10000));
    server.reset();
    QSignalSpy done(reply.get(), &QNetworkReply::finished);
    ASSERT_TRUE(done.wait(10000));
    EXPECT_NE(reply->error(), QNetworkReply::NoError);
}

TEST_F(TestHttpServerSelfTest, EndlessBodiesAndAnnouncedLengths)
{
    TestHttpServer::Reply flood = TestHttpServer::Reply::endless("abc", 200000);
    flood.chunkSize = 7000;
    server.setReply(QStringLiteral("/flood"), flood);
    std::unique_ptr<QNetworkReply> reply(
        manager.get(QNetworkRequest(server.url(QStringLiteral("/flood")))));
    QSignalSpy done(reply.get(), &QNetworkReply::finished);
    ASSERT_TRUE(done.wait(10000));
    EXPECT_FALSE(reply->header(QNetworkRequest::ContentLengthHeader).isValid());
    const QByteArray body = reply->readAll();
    ASSERT_EQ(body.size(), 200000);
    EXPECT_TRUE(body.startsWith("abcabc"));
    EXPECT_EQ(body.mid(199998), QByteArray("ab"));

    TestHttpServer::Reply huge = TestHttpServer::Reply::ok("short");
    huge.announcedLength = 1000000000000000LL;
    huge.behaviour = TestHttpServer::CloseAfter;
    huge.cutAfter = 5;
    server.setReply(QStringLiteral("/huge"), huge);
    reply.reset(manager.get(QNetworkRequest(server.url(QStringLiteral("/huge")))));
    QSignalSpy hugeDone(reply.get(), &QNetworkReply::finished);
    ASSERT_TRUE(hugeDone.wait(10000));
    EXPECT_EQ(reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(), 1000000000000000LL);
}
