#include "cryptwrapper.h"
#include "downloadfilelisttaskspecification.h"
#include "downloadfiletaskspecification.h"
#include "downloadtaskspecification.h"
#include "signing_test_support.h"
#include "test_download_support.h"

#include <QCryptographicHash>
#include <QDir>

#include <memory>

namespace {

const int version = 12;

QString sha512Hex(const QByteArray &content)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(content, QCryptographicHash::Sha512).toHex());
}

class DownloadListTest : public ImageServerTest
{
protected:
    void SetUp() override
    {
        ImageServerTest::SetUp();
        initCryptLibrary();
        config.tempDir = dir.path();
        config.versionNr = version;
        config.streams = 6;
    }

    // Serves body for the entry and lists it; a non-empty hash replaces the body's own.
    void addFile(const QString &section, const QString &name, const QByteArray &body,
                 int delayMs = 0, const QString &hash = QString())
    {
        TestHttpServer::Reply reply = TestHttpServer::Reply::ok(body);
        reply.delayMs = delayMs;
        server.setReply(imagePath(version, section + "/" + name), reply);
        downloads << DownloadEntry(section, name, hash.isEmpty() ? sha512Hex(body) : hash,
                                   quint64(body.size()));
    }

    DownloadFileListTaskSpecification *makeList()
    {
        list.reset(
            new DownloadFileListTaskSpecification(&downloads, &manager, &config, nullptr, 0.4));
        events.watch(list.get(), "list");
        return list.get();
    }

    bool runToEnd()
    {
        list->execute();
        return waitUntil([this] { return taskEnded(*list); });
    }

    QStringList messages() const { return events.filtered("list message "); }

    Configuration config;
    QList<DownloadEntry> downloads;
    std::unique_ptr<DownloadFileListTaskSpecification> list;
    TaskEventLog events;
};

TEST_F(DownloadListTest, NeverMoreRequestsInFlightThanStreams)
{
    const struct
    {
        int streams;
        int limit;
    } cases[] = {{1, 1}, {3, 3}, {0, 6}, {9, 6}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.streams);
        server.clearReplies();
        downloads.clear();
        events.lines.clear();
        for (int i = 0; i < 8; ++i)
            addFile("common_client", QString("f%1.bin").arg(i), patternBytes(3000 + i, i), 300);
        config.streams = c.streams;
        makeList();
        EXPECT_EQ(list->maxParallel, c.limit);

        int received = 0;
        int maxInFlight = 0;
        QMetaObject::Connection counting
            = QObject::connect(&server, &TestHttpServer::requestReceived, [&] {
                  ++received;
                  int done = 0;
                  for (const QString &text : messages())
                      done += text.startsWith("list message Downloading common_client/")
                          && text.endsWith(" finished");
                  maxInFlight = qMax(maxInFlight, received - done);
              });
        ASSERT_TRUE(runToEnd());
        QObject::disconnect(counting);
        EXPECT_EQ(list->state, int(TaskSpecification::Finished));
        EXPECT_EQ(received, 8);
        EXPECT_EQ(maxInFlight, c.limit);
        for (int i = 0; i < 8; ++i)
            EXPECT_EQ(readFileBytes(local(QString("f%1.bin").arg(i))), patternBytes(3000 + i, i));
    }
}

TEST_F(DownloadListTest, ADownloadThatFailsItsCheckFailsTheListAndIsRemoved)
{
    // A file without a hash is checked against its signature once both have arrived, whichever
    // comes first.
    const struct
    {
        const char *label;
        QByteArray served;
        QString hash;
        // Served as the file's signature when the hash is empty.
        QByteArray signedContent;
        bool passes;
    } cases[] = {
        {"bytes other than hashed", "served content", sha512Hex("expected content"), {}, false},
        {"bytes of the hash", "expected content", sha512Hex("expected content"), {}, true},
        {"signature of other bytes", "served content", QString(), "expected content", false},
        {"signature of the bytes", "served content", QString(), "served content", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        const bool signature = c.hash.isEmpty();
        if (signature && !builtInKeyIsDevelopmentKey())
            continue;
        server.clearReplies();
        downloads.clear();
        events.lines.clear();
        QFile::remove(local("checked.bin"));
        QFile::remove(local("checked.bin.sig"));
        addFile("common_client", "good.bin", "good content");
        if (signature) {
            TestHttpServer::Reply sig
                = TestHttpServer::Reply::ok(signWithDevelopmentKey(c.signedContent));
            sig.delayMs = 300;
            server.setReply(imagePath(version, "common_client/checked.bin.sig"), sig);
            downloads << DownloadEntry("common_client", "checked.bin.sig", QString(), 0);
            server.setReply(imagePath(version, "common_client/checked.bin"),
                            TestHttpServer::Reply::ok(c.served));
            downloads << DownloadEntry("common_client", "checked.bin", QString(),
                                       quint64(c.served.size()));
        } else {
            addFile("common_client", "checked.bin", c.served, 0, c.hash);
        }
        makeList();
        ASSERT_TRUE(runToEnd());

        const QStringList m = messages();
        EXPECT_EQ(m.value(0), "list message Downloading files");
        EXPECT_FALSE(m.contains("list message Signature check failed for " + local("good.bin")));
        EXPECT_EQ(m.contains("list message Signature check failed for " + local("checked.bin")),
                  !c.passes)
            << m.join('\n').toStdString();
        if (c.passes) {
            EXPECT_EQ(list->state, int(TaskSpecification::Finished));
            EXPECT_EQ(readFileBytes(local("checked.bin")), c.served);
            EXPECT_DOUBLE_EQ(list->progress, 0.4);
        } else {
            EXPECT_EQ(list->state, int(TaskSpecification::Failed));
            EXPECT_FALSE(QFile::exists(local("checked.bin")));
        }
    }
}

TEST_F(DownloadListTest, PolledTotalCoversFilesNotYetStarted)
{
    for (int i = 1; i <= 4; ++i)
        addFile("s", QString("part%1").arg(i), patternBytes(1000 * i, i), 100);
    config.streams = 1;
    makeList();
    list->execute();
    ASSERT_EQ(list->allTasks.size(), 4);
    for (const TaskSpecification *child : qAsConst(list->allTasks))
        EXPECT_DOUBLE_EQ(child->weight, 0.25);

    qulonglong done = 0, total = 0, speed = 0;
    bool downloading = false;
    list->getDownloadProgress(&done, &total, &speed, &downloading);
    EXPECT_EQ(total, 10000u);
    EXPECT_EQ(done, 0u);

    ASSERT_TRUE(waitUntil([this] { return taskEnded(*list); }));
    EXPECT_EQ(list->state, int(TaskSpecification::Finished));
    done = total = speed = 0;
    downloading = false;
    list->getDownloadProgress(&done, &total, &speed, &downloading);
    EXPECT_EQ(done, 10000u);
    EXPECT_EQ(total, 10000u);
    EXPECT_FALSE(downloading);
}

TEST_F(DownloadListTest, FoldersComeFromNamesAndSectionsOnlyFromTheServer)
{
    addFile("sec1", "a/b/x", "x");
    addFile("sec1", "a/b/y", "y");
    addFile("sec2", "a/c/z", "z");
    addFile("sec2", "top", "top");
    // Same name in two sections: one local file, the later entry's.
    addFile("sec1", "same", "first");
    addFile("sec2", "same", "second");
    config.streams = 1;
    makeList();
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(list->state, int(TaskSpecification::Finished));
    EXPECT_EQ(readFileBytes(local("a/b/x")), QByteArray("x"));
    EXPECT_EQ(readFileBytes(local("a/b/y")), QByteArray("y"));
    EXPECT_EQ(readFileBytes(local("a/c/z")), QByteArray("z"));
    EXPECT_EQ(readFileBytes(local("top")), QByteArray("top"));
    EXPECT_EQ(readFileBytes(local("same")), QByteArray("second"));
    EXPECT_FALSE(QDir(local("sec1")).exists());
    EXPECT_EQ(server.requestCount(imagePath(version, "sec2/a/c/z")), 1);
    EXPECT_EQ(server.requestCount(imagePath(version, "sec1/same")), 1);
    EXPECT_EQ(server.requestCount(imagePath(version, "sec2/same")), 1);
}

TEST_F(DownloadListTest, NothingIsRequestedForAnEmptyListOrAFolderThatCannotBeMade)
{
    makeList();
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(list->state, int(TaskSpecification::Finished));
    EXPECT_EQ(messages(), QStringList("list message No downloads needed"));

    ASSERT_TRUE(QFile(local("blocker")).open(QIODevice::WriteOnly));
    addFile("s", "ok.bin", "ok");
    addFile("s", "blocker/inside.bin", "never");
    events.lines.clear();
    makeList();
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(list->state, int(TaskSpecification::Failed));
    EXPECT_EQ(messages(),
              QStringList("list message Could not create dir " + QDir(dir.path()).canonicalPath()
                          + "/blocker"));
    EXPECT_EQ(server.totalRequestCount(), 0);
}

TEST_F(DownloadListTest, FailedTransferStopsTheRunningSiblings)
{
    server.setReply(imagePath(version, "s/missing.bin"), TestHttpServer::Reply::withStatus(404));
    downloads << DownloadEntry("s", "missing.bin", sha512Hex("x"), 1);
    TestHttpServer::Reply stall = TestHttpServer::Reply::ok(patternBytes(5000));
    stall.behaviour = TestHttpServer::StallAfter;
    stall.cutAfter = 1000;
    server.setReply(imagePath(version, "s/slow.bin"), stall);
    downloads << DownloadEntry("s", "slow.bin", sha512Hex(patternBytes(5000)), 5000);
    addFile("s", "later.bin", "later");
    config.streams = 2;
    makeList();
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(list->state, int(TaskSpecification::Failed));
    const QStringList m = messages();
    EXPECT_TRUE(m.contains("list message Unable to download s/missing.bin"));
    EXPECT_TRUE(m.contains("list message Abort downloading s/slow.bin"));
    EXPECT_EQ(server.requestCount(imagePath(version, "s/later.bin")), 0);
    EXPECT_FALSE(QFile::exists(local("slow.bin")));
    EXPECT_FALSE(QFile::exists(DownloadTaskSpecification::partialPath(local("slow.bin"))));
}

TEST_F(DownloadListTest, ResetAfterFailureRunsTheListAgain)
{
    QList<TestHttpServer::Reply> replies;
    for (int i = 0; i < 5; ++i)
        replies << TestHttpServer::Reply::withStatus(500);
    replies << TestHttpServer::Reply::ok("now");
    server.setReplies(imagePath(version, "s/f"), replies);
    downloads << DownloadEntry("s", "f", sha512Hex("now"), 3);
    makeList();
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(list->state, int(TaskSpecification::Failed));

    list->reset();
    EXPECT_EQ(list->state, int(TaskSpecification::Idle));
    EXPECT_TRUE(list->allTasks.isEmpty());
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(list->state, int(TaskSpecification::Finished));
    EXPECT_EQ(readFileBytes(local("f")), QByteArray("now"));
    qulonglong done = 0, total = 0, speed = 0;
    bool downloading = false;
    list->getDownloadProgress(&done, &total, &speed, &downloading);
    EXPECT_EQ(total, 3u);
}

} // namespace
