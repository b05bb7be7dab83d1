#include "downloadtaskspecification.h"
#include "test_download_support.h"
#include "test_peaksize.h"

#include <QFileInfo>
#include <QNetworkProxy>

#include <unistd.h>

#include <memory>

namespace {

const int version = 7;
const QString remote = QStringLiteral("common_client/lib/libfoo.dylib");

class DownloadTaskTest : public ImageServerTest
{
protected:
    DownloadTaskSpecification *makeTask(qint64 expectedSize, const QString &name = "libfoo.dylib",
                                        const QString &remoteName = remote)
    {
        localPath = local(name);
        task.reset(new DownloadTaskSpecification(&manager, remoteName, version, localPath,
                                                 expectedSize, nullptr, 0.8));
        events.watch(task.get(), "dl");
        return task.get();
    }

    bool runToEnd()
    {
        task->execute();
        return waitUntil([this] { return taskEnded(*task); });
    }

    QStringList texts() const
    {
        QStringList out = events.filtered("dl message ");
        out += events.filtered("dl error ");
        return out;
    }

    struct Poll
    {
        qulonglong done = 0;
        qulonglong total = 0;
        qulonglong speed = 0;
        bool downloading = false;
    };

    Poll poll()
    {
        Poll p;
        task->getDownloadProgress(&p.done, &p.total, &p.speed, &p.downloading);
        return p;
    }

    bool noPartialFile() const
    {
        return !QFile::exists(DownloadTaskSpecification::partialPath(localPath));
    }

    QString path(const QString &remoteName = remote) const
    {
        return imagePath(version, remoteName);
    }

    // Bytes written so far in this attempt, as the progress tells them.
    qint64 received(qint64 total) const { return qRound64(task->progress / 0.8 * double(total)); }

    std::unique_ptr<DownloadTaskSpecification> task;
    TaskEventLog events;
    QString localPath;
};

TEST_F(DownloadTaskTest, WholeFileArrivesUnderItsLocalName)
{
    const QByteArray body = patternBytes(20000);
    const struct
    {
        const char *name;
        qint64 expected;
        qulonglong polledTotal;
    } cases[] = {
        {"size known", body.size(), qulonglong(body.size())},
        {"size announced by the server", -1, qulonglong(body.size())},
        {"size 0 given", 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        server.clearReplies();
        server.setReply(path(), TestHttpServer::Reply::ok(body));
        events.lines.clear();
        makeTask(c.expected);
        EXPECT_EQ(poll().total, c.expected < 0 ? 0u : qulonglong(c.expected));

        ASSERT_TRUE(runToEnd());
        EXPECT_EQ(task->state, int(TaskSpecification::Finished));
        EXPECT_EQ(readFileBytes(localPath), body);
        EXPECT_TRUE(noPartialFile());
        EXPECT_EQ(texts(),
                  QStringList({"dl message Downloading " + remote,
                               "dl message Downloading " + remote + " finished"}));
        EXPECT_DOUBLE_EQ(task->progress, 0.8);
        const Poll p = poll();
        EXPECT_EQ(p.done, qulonglong(body.size()));
        EXPECT_EQ(p.total, c.polledTotal);
        EXPECT_FALSE(p.downloading);
        ASSERT_FALSE(server.requests().isEmpty());
        EXPECT_EQ(server.requests().last().path, path());
    }
}

// Redirects are not followed: what the image server does not deliver itself counts as missing.
TEST_F(DownloadTaskTest, EveryStatusOtherThan200FailsAllFiveAttempts)
{
    for (int status : {404, 302, 401, 500, 206}) {
        SCOPED_TRACE(status);
        server.clearReplies();
        server.setReply(path(),
                        status == 302 ? TestHttpServer::Reply::redirect("/elsewhere")
                                      : TestHttpServer::Reply::withStatus(status, "not the file"));
        server.setReply("/elsewhere", TestHttpServer::Reply::ok("redirected"));
        events.lines.clear();
        makeTask(-1);
        // What an earlier run left at the local name must not look like a download of this one.
        ASSERT_TRUE(QFile(localPath).open(QIODevice::WriteOnly));
        const int before = server.requestCount(path());

        ASSERT_TRUE(runToEnd());
        EXPECT_EQ(task->state, int(TaskSpecification::Failed));
        EXPECT_EQ(server.requestCount(path()) - before, 5);
        EXPECT_EQ(server.requestCount("/elsewhere"), 0);
        QStringList expected {"dl message Downloading " + remote};
        for (int i = 0; i < 5; ++i)
            expected << QString("dl message %1 returned %2").arg(remote).arg(status);
        expected << "dl message Unable to download " + remote;
        EXPECT_EQ(texts(), expected);
        EXPECT_FALSE(QFile::exists(localPath));
        EXPECT_TRUE(noPartialFile());
    }
}

TEST_F(DownloadTaskTest, ConnectionClosedEarlyIsRetriedUpToFiveAttempts)
{
    const QByteArray body = patternBytes(50000, 3);
    TestHttpServer::Reply cut = TestHttpServer::Reply::ok(body);
    cut.behaviour = TestHttpServer::CloseAfter;
    cut.cutAfter = 10000;
    const struct
    {
        const char *name;
        qint64 expected;
        int cutReplies;
        int endState;
    } cases[] = {
        {"two cuts, size known", body.size(), 2, TaskSpecification::Finished},
        {"four cuts, size unknown", -1, 4, TaskSpecification::Finished},
        {"five cuts", body.size(), 5, TaskSpecification::Failed},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        server.clearReplies();
        QList<TestHttpServer::Reply> replies;
        for (int i = 0; i < c.cutReplies; ++i)
            replies << cut;
        replies << TestHttpServer::Reply::ok(body);
        server.setReplies(path(), replies);
        events.lines.clear();
        makeTask(c.expected);
        const int before = server.requestCount(path());

        ASSERT_TRUE(runToEnd());
        EXPECT_EQ(task->state, c.endState);
        EXPECT_EQ(server.requestCount(path()) - before, qMin(5, c.cutReplies + 1));
        // One reason per failed attempt between the first and the last text.
        const QStringList t = texts();
        ASSERT_EQ(t.size(), qMin(5, c.cutReplies) + 2) << t.join('\n').toStdString();
        EXPECT_TRUE(noPartialFile());
        if (c.endState == TaskSpecification::Finished) {
            EXPECT_EQ(t.last(), "dl message Downloading " + remote + " finished");
            EXPECT_EQ(readFileBytes(localPath), body);
            EXPECT_EQ(poll().done, qulonglong(body.size()));
        } else {
            EXPECT_EQ(t.last(), "dl message Unable to download " + remote);
            EXPECT_FALSE(QFile::exists(localPath));
        }
    }
}

TEST_F(DownloadTaskTest, SixteenthPollWithoutDataRestartsTheTransfer)
{
    const QByteArray body = patternBytes(10000, 5);
    TestHttpServer::Reply stall = TestHttpServer::Reply::ok(body);
    stall.behaviour = TestHttpServer::StallAfter;
    stall.cutAfter = 100;
    server.setReplies(path(), {stall, TestHttpServer::Reply::ok(body)});
    makeTask(body.size());

    // Polls before a transfer runs do not count.
    for (int i = 0; i < 20; ++i)
        EXPECT_FALSE(poll().downloading);
    task->execute();
    ASSERT_TRUE(waitUntil([this] { return task->progress >= 0.8 * 0.01 - 1e-9; }));
    // Only whole files ever carry the local name.
    EXPECT_FALSE(QFile::exists(localPath));

    Poll first = poll();
    EXPECT_EQ(first.done, 100u);
    EXPECT_EQ(first.total, qulonglong(body.size()));
    EXPECT_EQ(first.speed, 100u);
    EXPECT_TRUE(first.downloading);
    for (int i = 2; i <= 15; ++i) {
        const Poll p = poll();
        EXPECT_TRUE(p.downloading) << i;
        EXPECT_EQ(p.speed, 0u) << i;
    }
    EXPECT_EQ(texts().size(), 1);
    const Poll timedOut = poll();
    EXPECT_FALSE(timedOut.downloading);
    EXPECT_EQ(texts().value(1), "dl message file " + remote + " timed out");

    ASSERT_TRUE(waitUntil([this] { return taskEnded(*task); }));
    EXPECT_EQ(task->state, int(TaskSpecification::Finished));
    EXPECT_EQ(server.requestCount(path()), 2);
    EXPECT_EQ(readFileBytes(localPath), body);
}

TEST_F(DownloadTaskTest, CancelRemovesThePartialFileOnlyWhileRunning)
{
    const QByteArray body = patternBytes(10000);
    TestHttpServer::Reply stall = TestHttpServer::Reply::ok(body);
    stall.behaviour = TestHttpServer::StallAfter;
    stall.cutAfter = 500;
    server.setReply(path(), stall);
    makeTask(body.size());

    task->cancel();
    EXPECT_TRUE(task->cancelRequested);
    EXPECT_EQ(task->state, int(TaskSpecification::Idle));
    EXPECT_TRUE(events.filtered("dl canceled").isEmpty());

    task->cancelRequested = false;
    task->execute();
    ASSERT_TRUE(waitUntil([this] { return task->progress > 0.0; }));
    task->cancel();
    EXPECT_EQ(task->state, int(TaskSpecification::Aborted));
    EXPECT_EQ(events.filtered("dl canceled").size(), 1);
    EXPECT_FALSE(QFile::exists(localPath));
    EXPECT_TRUE(noPartialFile());
    EXPECT_FALSE(poll().downloading);
}

TEST_F(DownloadTaskTest, ResetAfterFailureGivesFiveFreshAttempts)
{
    QList<TestHttpServer::Reply> replies;
    for (int i = 0; i < 9; ++i)
        replies << TestHttpServer::Reply::withStatus(503);
    replies << TestHttpServer::Reply::ok("finally");
    server.setReplies(path(), replies);
    makeTask(-1);

    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(task->state, int(TaskSpecification::Failed));
    task->reset();
    EXPECT_EQ(task->state, int(TaskSpecification::Idle));
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(task->state, int(TaskSpecification::Finished));
    EXPECT_EQ(server.requestCount(path()), 10);
    EXPECT_EQ(readFileBytes(localPath), QByteArray("finally"));
}

TEST_F(DownloadTaskTest, LocalFileThatCannotBeMadeFailsAtOnce)
{
    server.setReply(path(), TestHttpServer::Reply::ok("x"));
    makeTask(1, "no/such/folder/file");
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(task->state, int(TaskSpecification::Failed));
    EXPECT_EQ(texts(),
              QStringList({"dl message Downloading " + remote,
                           "dl error Unable to create file " + localPath + " for saving"}));
    EXPECT_EQ(server.totalRequestCount(), 0);
}

TEST_F(DownloadTaskTest, GoesThroughTheManagersProxy)
{
    Configuration::imageServerBaseUrl = QStringLiteral("http://images.example.invalid/base/");
    manager.setProxy(
        QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), server.port()));
    server.setReply(QString("/base/%1/%2").arg(version).arg(remote),
                    TestHttpServer::Reply::ok("via proxy"));
    makeTask(-1);
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(task->state, int(TaskSpecification::Finished));
    ASSERT_EQ(server.requests().size(), 1);
    EXPECT_TRUE(server.requests().at(0).proxyForm);
    EXPECT_TRUE(server.requests().at(0).target.startsWith("http://images.example.invalid/"));
    EXPECT_EQ(readFileBytes(localPath), QByteArray("via proxy"));
}

// A hostile or broken server can neither fill the disk nor make us take more than the line
// states; without a stated size the fixed bounds hold.
TEST_F(DownloadTaskTest, ABodyPastTheSizeLimitFailsEveryAttemptUnwritten)
{
    const qint64 sigLimit = 64 * 1024;
    const QString sig = QStringLiteral("common_client/lib/libfoo.dylib.sig");
    TestHttpServer::Reply lengthTooLarge = TestHttpServer::Reply::ok(patternBytes(5000));
    TestHttpServer::Reply hugeLength = TestHttpServer::Reply::ok(patternBytes(20));
    hugeLength.announcedLength = 1000000000000000LL;
    // Kept open: a close racing the headers would end the attempt for another reason.
    hugeLength.behaviour = TestHttpServer::StallAfter;
    hugeLength.cutAfter = 20;
    TestHttpServer::Reply unannounced = TestHttpServer::Reply::ok(patternBytes(5000));
    unannounced.sendLength = false;
    const struct
    {
        const char *name;
        QString remote;
        qint64 expected;
        TestHttpServer::Reply reply;
        qint64 limit;
    } cases[] = {
        {"endless body, 20 bytes stated", remote, 20,
         TestHttpServer::Reply::endless(patternBytes(1000), 8 << 20), 20},
        {"Content-Length above the stated size", remote, 20, lengthTooLarge, 20},
        {"Content-Length of 10^15", remote, 20, hugeLength, 20},
        {"longer body without Content-Length", remote, 20, unannounced, 20},
        {"signature padded past its bound", sig, 0,
         TestHttpServer::Reply::ok(patternBytes(int(sigLimit) + 1)), sigLimit},
        {"endless signature, no size given", sig, -1,
         TestHttpServer::Reply::endless(patternBytes(128), 8 << 20), sigLimit},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        server.clearReplies();
        server.setReply(path(c.remote), c.reply);
        events.lines.clear();
        makeTask(c.expected, QFileInfo(c.remote).fileName(), c.remote);
        EXPECT_EQ(task->sizeLimit(), c.limit);
        const int before = server.requestCount(path(c.remote));
        PeakSize written({localPath, DownloadTaskSpecification::partialPath(localPath)});

        ASSERT_TRUE(runToEnd());
        EXPECT_EQ(task->state, int(TaskSpecification::Failed));
        EXPECT_EQ(server.requestCount(path(c.remote)) - before, 5);
        QStringList expected {"dl message Downloading " + c.remote};
        for (int i = 0; i < 5; ++i)
            expected
                << QString("dl message Download of %1 exceeds %2 bytes").arg(c.remote).arg(c.limit);
        expected << "dl message Unable to download " + c.remote;
        EXPECT_EQ(texts(), expected);
        EXPECT_LE(written.peak(), c.limit);
        EXPECT_FALSE(QFile::exists(localPath));
        EXPECT_TRUE(noPartialFile());
    }
}

TEST_F(DownloadTaskTest, BodiesUpToTheLimitArrive)
{
    const QByteArray sigBody = patternBytes(64 * 1024, 2);
    TestHttpServer::Reply unannounced = TestHttpServer::Reply::ok(patternBytes(20, 4));
    unannounced.sendLength = false;
    const struct
    {
        const char *name;
        QString remote;
        qint64 expected;
        TestHttpServer::Reply reply;
    } cases[] = {
        {"stated size, no Content-Length", remote, 20, unannounced},
        {"signature of exactly the bound", remote + ".sig", 0, TestHttpServer::Reply::ok(sigBody)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        server.clearReplies();
        server.setReply(path(c.remote), c.reply);
        makeTask(c.expected, QFileInfo(c.remote).fileName(), c.remote);
        ASSERT_TRUE(runToEnd());
        EXPECT_EQ(task->state, int(TaskSpecification::Finished));
        EXPECT_EQ(readFileBytes(localPath), c.reply.body);
    }
}

// The stall clock is the poll: the test polls by hand, each time once new bytes have arrived.
TEST_F(DownloadTaskTest, ATrickleBelowOneKiBPerPollRestartsLikeSilence)
{
    const struct
    {
        const char *name;
        int piece;
        bool timesOut;
    } cases[] = {
        {"one byte per poll", 1, true},
        {"1023 bytes per poll", 1023, true},
        {"1 KiB per poll", 1024, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QByteArray body = patternBytes(c.piece * 40, 6);
        TestHttpServer::Reply trickle = TestHttpServer::Reply::ok(body);
        trickle.chunkSize = c.piece;
        trickle.pacedByTest = true;
        server.clearReplies();
        server.setReplies(path(), {trickle, TestHttpServer::Reply::ok(body)});
        events.lines.clear();
        makeTask(body.size());
        const int before = server.requestCount(path());
        task->execute();

        for (int i = 1; i <= 16; ++i) {
            const qint64 target = qint64(i) * c.piece;
            ASSERT_TRUE(waitUntil([&] { return received(body.size()) >= target; })) << i;
            // Exactly one piece since the last poll, however the pieces were delivered.
            const Poll p = poll();
            ASSERT_EQ(p.done, qulonglong(target)) << i;
            EXPECT_EQ(p.downloading, !(c.timesOut && i == 16)) << i;
            server.sendNextPieces();
        }
        EXPECT_EQ(texts().contains("dl message file " + remote + " timed out"), c.timesOut);

        ASSERT_TRUE(waitUntil([this] {
            server.sendNextPieces();
            return taskEnded(*task);
        }));
        EXPECT_EQ(task->state, int(TaskSpecification::Finished));
        EXPECT_EQ(server.requestCount(path()) - before, c.timesOut ? 2 : 1);
        EXPECT_EQ(readFileBytes(localPath), body);
    }
}

// Another local user may put a link or a second name of a file of theirs at the part name
// between two runs: the download replaces it and never writes into what it points at.
TEST_F(DownloadTaskTest, ALinkPlantedAtThePartNameIsNotFollowed)
{
    const QByteArray body = patternBytes(3000, 8);
    const QByteArray theirs = "someone else's file\n";
    const QString outside = local("outside.txt");
    const QString missing = local("created-outside.txt");
    enum Plant { SymLink, DanglingLink, HardLink, PlainFile };
    for (const Plant plant : {SymLink, DanglingLink, HardLink, PlainFile}) {
        SCOPED_TRACE(int(plant));
        server.clearReplies();
        server.setReply(path(), TestHttpServer::Reply::ok(body));
        makeTask(body.size());
        const QString part = DownloadTaskSpecification::partialPath(localPath);
        QFile::remove(outside);
        QFile::remove(missing);
        QFile::remove(part);
        {
            QFile file(plant == PlainFile ? part : outside);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(theirs);
        }
        const QByteArray partName = QFile::encodeName(part);
        int planted = 0;
        if (plant == SymLink)
            planted = ::symlink(QFile::encodeName(outside).constData(), partName.constData());
        if (plant == DanglingLink)
            planted = ::symlink(QFile::encodeName(missing).constData(), partName.constData());
        if (plant == HardLink)
            planted = ::link(QFile::encodeName(outside).constData(), partName.constData());
        ASSERT_EQ(planted, 0);

        ASSERT_TRUE(runToEnd());
        EXPECT_EQ(task->state, int(TaskSpecification::Finished));
        EXPECT_EQ(readFileBytes(localPath), body);
        EXPECT_FALSE(QFileInfo(localPath).isSymLink());
        if (plant != PlainFile) {
            EXPECT_EQ(readFileBytes(outside), theirs);
        }
        EXPECT_FALSE(QFile::exists(missing));
        EXPECT_TRUE(noPartialFile());
        QFile::remove(localPath);
    }
}

// The local name taken by something that cannot be replaced while the bytes arrive: the
// message says why the finished download could not be put in place.
TEST_F(DownloadTaskTest, AFinishedDownloadThatCannotBePutInPlaceSaysWhy)
{
    const QByteArray body = patternBytes(4096, 9);
    TestHttpServer::Reply paced = TestHttpServer::Reply::ok(body);
    paced.chunkSize = 1024;
    paced.pacedByTest = true;
    server.setReply(path(), paced);
    makeTask(body.size());
    task->execute();
    ASSERT_TRUE(waitUntil([&] { return received(body.size()) >= 1024; }));
    ASSERT_TRUE(QDir().mkpath(localPath + "/inside"));

    ASSERT_TRUE(waitUntil([this] {
        server.sendNextPieces();
        return taskEnded(*task);
    }));
    EXPECT_EQ(task->state, int(TaskSpecification::Failed));
    const QString moveText = QStringLiteral("dl message Could not move '%1' to '%2': ")
                                 .arg(DownloadTaskSpecification::partialPath(localPath), localPath);
    const QStringList moves = texts().filter(moveText);
    ASSERT_EQ(moves.size(), 1) << texts().join('\n').toStdString();
    EXPECT_GT(moves.first().size(), moveText.size());
    EXPECT_TRUE(noPartialFile());
}

} // namespace
