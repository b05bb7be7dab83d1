// A server (or anyone on the plain-HTTP path) can answer with a small encoded body that unpacks
// to far more than any bound allows. Every request asks for the body as it is, and a reply that
// is encoded anyway fails without ever being unpacked.

#include "downloadtaskspecification.h"
#include "fileops_test_support.h"
#include "test_download_support.h"
#include "updatechecker.h"
#include "updateserverclient.h"
#include "updateversions.h"
#include "versionreplytestdata.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QPointer>
#include <QSignalSpy>
#include <QTimer>

#include <memory>

#include <unistd.h>
#include <zlib.h>

namespace {

const int version = 7;
const QString versionPath = QStringLiteral("/qvx-client-2");
#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer holds freed blocks back (up to 256 MiB) to catch late uses, so what the test
// sends piles up; an unpacked body still passes this by far.
const qint64 residentGrowthLimit = 400 * 1000 * 1000;
#else
const qint64 residentGrowthLimit = 100 * 1000 * 1000;
#endif

enum class Framing { Gzip, Zlib };

// About 1 MiB that unpacks to 1 GiB of zeros; built once per framing.
const QByteArray &unpacksToOneGiB(Framing framing)
{
    static QByteArray bodies[2];
    QByteArray &body = bodies[framing == Framing::Gzip ? 0 : 1];
    if (!body.isEmpty())
        return body;
    z_stream stream {};
    // Run-length matching makes the 1 GiB pass take well under a second.
    if (deflateInit2(&stream, 9, Z_DEFLATED, framing == Framing::Gzip ? 15 + 16 : 15, 9, Z_RLE)
        != Z_OK)
        return body;
    const QByteArray zeros(1 << 20, '\0');
    QByteArray out(1 << 16, '\0');
    for (int block = 0; block < 1024; ++block) {
        stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(zeros.constData()));
        stream.avail_in = uInt(zeros.size());
        const int flush = block == 1023 ? Z_FINISH : Z_NO_FLUSH;
        do {
            stream.next_out = reinterpret_cast<Bytef *>(out.data());
            stream.avail_out = uInt(out.size());
            deflate(&stream, flush);
            body.append(out.constData(), out.size() - int(stream.avail_out));
        } while (stream.avail_out == 0);
    }
    deflateEnd(&stream);
    return body;
}

// The growth of this process's resident size over the value at construction, sampled whenever
// the event loop runs (the network threads unpack while the GUI thread waits).
class ResidentGrowth : public QObject
{
public:
    ResidentGrowth()
        : m_Base(resident())
        , m_Peak(m_Base)
    {
        connect(&m_Timer, &QTimer::timeout, this, &ResidentGrowth::sample);
        m_Timer.start(0);
    }

    static bool measurable() { return resident() >= 0; }

    qint64 peak()
    {
        sample();
        return m_Peak - m_Base;
    }

private:
    static qint64 resident()
    {
#ifdef Q_OS_LINUX
        QFile statm(QStringLiteral("/proc/self/statm"));
        if (!statm.open(QIODevice::ReadOnly))
            return -1;
        const QList<QByteArray> fields = statm.readAll().split(' ');
        bool ok = false;
        const qint64 pages = fields.value(1).toLongLong(&ok);
        return ok ? pages * qint64(sysconf(_SC_PAGESIZE)) : -1;
#else
        return -1;
#endif
    }

    void sample()
    {
        m_Peak = qMax(m_Peak, resident());
    }

    qint64 m_Base;
    qint64 m_Peak;
    QTimer m_Timer;
};

class EncodedReplyTest : public ImageServerTest
{
protected:
    void SetUp() override
    {
        ImageServerTest::SetUp();
        registerUpdateVersionsMetaType();
        m_SavedVersionUrl = g_updateServerUrl;
        g_updateServerUrl = server.url(versionPath).toString().toStdString();
    }

    void TearDown() override
    {
        g_updateServerUrl = m_SavedVersionUrl;
        ImageServerTest::TearDown();
    }

    // Runs one download to its end; returns its state, with the texts it showed in texts.
    int runDownload(const QString &remoteName, qint64 expectedSize, QStringList *texts)
    {
        TaskEventLog events;
        DownloadTaskSpecification task(&manager, remoteName, version, localPath(remoteName),
                                       expectedSize, nullptr, 1.0);
        events.watch(&task, "dl");
        task.execute();
        EXPECT_TRUE(waitUntil([&] { return taskEnded(task); }));
        *texts = events.filtered("dl message ") + events.filtered("dl error ");
        return task.state;
    }

    UpdateVersions runVersionQuery(bool *answered)
    {
        QObject owner;
        QPointer<UpdateChecker> checker = new UpdateChecker(&owner);
        QSignalSpy spy(checker.data(), &UpdateChecker::update_available);
        checker->checkForUpdate();
        *answered = spy.wait(20000) && spy.count() == 1;
        return spy.isEmpty() ? UpdateVersions() : spy.at(0).at(0).value<UpdateVersions>();
    }

    QString localPath(const QString &remoteName) const
    {
        return local(QFileInfo(remoteName).fileName());
    }

    QString serverPath(const QString &remoteName) const
    {
        return remoteName.isEmpty() ? versionPath : imagePath(version, remoteName);
    }

    // What each request to path asked for as Accept-Encoding ("(none)" when it sent none).
    QStringList acceptEncodings(const QString &path) const
    {
        QStringList out;
        for (const TestHttpServer::Request &request : server.requests()) {
            if (request.path == path)
                out << QString::fromLatin1(request.headers.value("accept-encoding", "(none)"));
        }
        return out;
    }

private:
    std::string m_SavedVersionUrl;
};

struct Kind
{
    const char *label;
    // Empty for the version query.
    QString remote;
    qint64 expectedSize;
};

const Kind clientFile {"a [client] file", QStringLiteral("client/readme.txt"), 20};
const Kind packedIni {"the packed product ini", QStringLiteral("qvx_client_macosx.ini._lzma2_"),
                      -1};
const Kind iniSignature {"the product ini signature", QStringLiteral("qvx_client_macosx.ini.sig"),
                         -1};
const Kind versionQuery {"the version query", QString(), 0};

} // namespace

TEST_F(EncodedReplyTest, AnEncodedBodyFailsTheRequestWithoutBeingUnpacked)
{
    const struct
    {
        Kind kind;
        QByteArray encoding;
        Framing framing;
    } cases[] = {
        {clientFile, "gzip", Framing::Gzip},      {clientFile, "deflate", Framing::Zlib},
        {packedIni, "gzip", Framing::Gzip},       {iniSignature, "gzip", Framing::Gzip},
        {iniSignature, "x-gzip", Framing::Gzip},  {versionQuery, "gzip", Framing::Gzip},
        {versionQuery, "DEFLATE", Framing::Zlib},
    };
    for (Framing framing : {Framing::Gzip, Framing::Zlib})
        ASSERT_LT(unpacksToOneGiB(framing).size(), 2 * 1024 * 1024);
    // Measured from the start for every case: memory that one case left behind cannot hide the
    // next case's growth.
    ResidentGrowth growth;
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.kind.label) + ", " + c.encoding.toStdString());
        const QByteArray &body = unpacksToOneGiB(c.framing);
        server.clearReplies();
        TestHttpServer::Reply reply = TestHttpServer::Reply::ok(body);
        reply.headers.append({"Content-Encoding", c.encoding});
        const QString path = serverPath(c.kind.remote);
        server.setReply(path, reply);
        const int before = server.requestCount(path);
        LogCapture log;

        if (c.kind.remote.isEmpty()) {
            bool answered = false;
            EXPECT_TRUE(runVersionQuery(&answered).isEmpty());
            EXPECT_TRUE(answered);
            EXPECT_EQ(acceptEncodings(path).mid(before), QStringList({"identity"}));
            EXPECT_TRUE(
                log.contains("sent with the encoding \"" + QString::fromLatin1(c.encoding) + '"'))
                << log.lines().join('\n').toStdString();
        } else {
            const QString remoteName = c.kind.remote;
            QStringList texts;
            EXPECT_EQ(runDownload(remoteName, c.kind.expectedSize, &texts),
                      int(TaskSpecification::Failed));
            QStringList expected {"dl message Downloading " + remoteName};
            for (int i = 0; i < 5; ++i)
                expected << QString("dl message Download of %1 was sent with the encoding '%2'")
                                .arg(remoteName, QString::fromLatin1(c.encoding));
            expected << "dl message Unable to download " + remoteName;
            EXPECT_EQ(texts, expected);
            EXPECT_EQ(acceptEncodings(path).mid(before),
                      QStringList({"identity", "identity", "identity", "identity", "identity"}));
            EXPECT_FALSE(QFile::exists(localPath(remoteName)));
            EXPECT_FALSE(
                QFile::exists(DownloadTaskSpecification::partialPath(localPath(remoteName))));
        }
        if (ResidentGrowth::measurable()) {
            EXPECT_LT(growth.peak(), residentGrowthLimit);
        }
    }
    if (!ResidentGrowth::measurable())
        GTEST_SKIP() << "no resident size to measure on this system; the rest was checked";
}

// "identity" in any case, or an empty header, names no encoding: the body is the file.
TEST_F(EncodedReplyTest, AnIdentityOrEmptyEncodingIsThePlainBody)
{
    const QByteArray fileBody = patternBytes(20);
    const QByteArray versionBody = versionReply({{"stable", 12, "1.2"}});
    for (const QByteArray &encoding :
         {QByteArray("identity"), QByteArray(" Identity "), QByteArray()}) {
        for (const Kind &kind : {clientFile, packedIni, iniSignature, versionQuery}) {
            SCOPED_TRACE(std::string(kind.label) + ", '" + encoding.toStdString() + "'");
            server.clearReplies();
            const bool isQuery = kind.remote.isEmpty();
            TestHttpServer::Reply reply
                = TestHttpServer::Reply::ok(isQuery ? versionBody : fileBody);
            reply.headers.append({"Content-Encoding", encoding});
            server.setReply(serverPath(kind.remote), reply);
            if (isQuery) {
                bool answered = false;
                const UpdateVersions versions = runVersionQuery(&answered);
                EXPECT_TRUE(answered);
                EXPECT_EQ(versionForChannel(versions, 0), qMakePair(QString("12"), QString("1.2")));
            } else {
                QStringList texts;
                EXPECT_EQ(runDownload(kind.remote, kind.expectedSize, &texts),
                          int(TaskSpecification::Finished));
                EXPECT_EQ(texts,
                          QStringList({"dl message Downloading " + kind.remote,
                                       "dl message Downloading " + kind.remote + " finished"}));
                EXPECT_EQ(readFileBytes(localPath(kind.remote)), fileBody);
            }
        }
    }
}
