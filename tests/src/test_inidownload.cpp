#include "containerheader.h"
#include "cryptwrapper.h"
#include "inidownloadtaskspecification.h"
#include "signing_test_support.h"
#include "test_download_support.h"
#include "test_peaksize.h"

#include <QDir>

#include <lzma.h>
#include <lzma2container.h>
#include <streams.h>

#include <memory>

namespace {

const int version = 31;
const QByteArray iniContent("[common_client]\nContents/MacOS/qvxclient_mac="
                            "00ff::1234\n[delete]\nold.txt=\n");

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(bytes) == bytes.size();
}

// The product ini as the server stores it: in the engine's container.
QByteArray packed(const QByteArray &content, const QString &scratchDir)
{
    const QString in = scratchDir + "/plain";
    const QString out = scratchDir + "/packed";
    if (!writeBytes(in, content)
        || !quorpatch::CompressFile(in.toUtf8().constData(), out.toUtf8().constData(), false))
        return QByteArray();
    return readFileBytes(out);
}

QByteArray varint(quint32 value)
{
    QByteArray bytes;
    while (value >= 0x80) {
        bytes += char((value & 0x7F) | 0x80);
        value >>= 7;
    }
    return bytes + char(value);
}

// The header of a container up to the unpacked size of its block.
QByteArray containerHead(quint32 magic, quint32 directive, quint32 unpackedSize)
{
    return varint(magic) + varint(0x12345678) + varint(directive) + char(0x1C)
        + varint(unpackedSize);
}

// A plain container of size zero bytes, packed with a small dictionary so that a large file
// costs little to make and to serve.
QByteArray packedZeros(quint32 size)
{
    const QByteArray zeros(int(size), '\0');
    lzma_options_lzma options;
    lzma_lzma_preset(&options, 0);
    options.dict_size = 1u << 20;
    lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream stream = LZMA_STREAM_INIT;
    if (lzma_raw_encoder(&stream, filters) != LZMA_OK)
        return QByteArray();
    QByteArray data(int(size / 64 + 65536), '\0');
    stream.next_in = reinterpret_cast<const uint8_t *>(zeros.constData());
    stream.avail_in = zeros.size();
    stream.next_out = reinterpret_cast<uint8_t *>(data.data());
    stream.avail_out = data.size();
    const lzma_ret result = lzma_code(&stream, LZMA_FINISH);
    data.resize(data.size() - int(stream.avail_out));
    lzma_end(&stream);
    uint8_t property = 0;
    if (result != LZMA_STREAM_END || lzma_properties_encode(filters, &property) != LZMA_OK)
        return QByteArray();
    const quint32 checksum = quorpatch::CalculateCrc(
        reinterpret_cast<const quorpatch::u8 *>(zeros.constData()), zeros.size());
    return varint(quorpatch::kContainerMagic) + varint(checksum) + varint(1) + char(property)
        + varint(size) + data;
}

const quint32 kIniBound = 64u * 1024 * 1024;

TEST(ContainerHeaderTest, StatedSizeOfPlainContainersOnly)
{
    const quint32 magic = quorpatch::kContainerMagic;
    const struct
    {
        const char *name;
        QByteArray head;
        bool ok;
        quint64 size;
    } cases[] = {
        {"empty file", containerHead(magic, 1, 0), true, 0},
        {"at the bound", containerHead(magic, 1, kIniBound), true, kIniBound},
        {"largest stated size", containerHead(magic, 1, 0xFFFFFFFFu) + "\x5D\0\0", true,
         0xFFFFFFFFu},
        {"other magic", containerHead(magic + 1, 1, 10), false, 0},
        {"rebuilt from programs", containerHead(magic, 2, 10), false, 0},
        {"unknown directive", containerHead(magic, 3, 10), false, 0},
        {"cut before the size", containerHead(magic, 1, 300).left(9), false, 0},
        {"size cut short", containerHead(magic, 1, 0xFFFFFFFFu).chopped(1), false, 0},
        {"nothing", QByteArray(), false, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        quint64 size = 7;
        EXPECT_EQ(ContainerHeader::plainUnpackedSize(c.head, &size), c.ok);
        EXPECT_EQ(size, c.ok ? c.size : 7u);
    }
    QTemporaryDir scratch;
    const QByteArray packedIni = packed(iniContent, scratch.path());
    ASSERT_FALSE(packedIni.isEmpty());
    quint64 size = 0;
    ASSERT_TRUE(writeBytes(scratch.path() + "/ini", packedIni));
    EXPECT_TRUE(ContainerHeader::plainUnpackedSize(scratch.path() + "/ini", &size));
    EXPECT_EQ(size, quint64(iniContent.size()));
    EXPECT_FALSE(ContainerHeader::plainUnpackedSize(scratch.path() + "/missing", &size));
}

class IniDownloadTest : public ImageServerTest
{
protected:
    void SetUp() override
    {
        ImageServerTest::SetUp();
        initCryptLibrary();
        ASSERT_TRUE(scratch.isValid());
        ASSERT_TRUE(QDir().mkpath(dir.path() + "/session"));
        config.tempDir = dir.path() + "/session";
        config.versionNr = version;
        config.clientUpdate = 1;
    }

    QString ini() const { return IniDownloadTaskSpecification::iniName(config.clientUpdate); }
    QString sig() const { return IniDownloadTaskSpecification::signatureName(config.clientUpdate); }
    QString pack() const { return IniDownloadTaskSpecification::packedName(config.clientUpdate); }
    QString inSession(const QString &name) const { return config.tempDir + "/" + name; }

    // The image server holds the packed ini and its signature.
    void serve(const QByteArray &packedIni, const QByteArray &signature)
    {
        server.setReply(imagePath(version, pack()), TestHttpServer::Reply::ok(packedIni));
        server.setReply(imagePath(version, sig()), TestHttpServer::Reply::ok(signature));
    }

    bool run()
    {
        task.reset(new IniDownloadTaskSpecification(&manager, &config, nullptr, 0.1));
        events.watch(task.get(), "ini");
        task->execute();
        return waitUntil([this] { return taskEnded(*task); });
    }

    QList<double> childWeights() const
    {
        QList<double> weights;
        for (const TaskSpecification *child : qAsConst(task->allTasks))
            weights << child->weight;
        return weights;
    }

    QStringList messages() const { return events.filtered("ini message "); }

    Configuration config;
    QTemporaryDir scratch;
    std::unique_ptr<IniDownloadTaskSpecification> task;
    TaskEventLog events;
};

TEST_F(IniDownloadTest, NamesFollowTheUpdateStep)
{
    EXPECT_EQ(IniDownloadTaskSpecification::iniName(1), "qvx_client_macosx.ini");
    EXPECT_EQ(IniDownloadTaskSpecification::packedName(1), "qvx_client_macosx.ini._lzma2_");
    EXPECT_EQ(IniDownloadTaskSpecification::signatureName(0), "update_macosx.ini.sig");
    EXPECT_EQ(IniDownloadTaskSpecification::packedName(0), "update_macosx.ini._lzma2_");
}

TEST_F(IniDownloadTest, FetchesOnlyWhatIsMissingAndVerifiesTheIni)
{
    if (!builtInKeyIsDevelopmentKey())
        GTEST_SKIP() << "the build embeds another signing key";
    const QByteArray packedIni = packed(iniContent, scratch.path());
    ASSERT_FALSE(packedIni.isEmpty());
    const QByteArray signature = signWithDevelopmentKey(iniContent);
    const struct
    {
        const char *name;
        int step;
        bool iniPresent;
        bool sigPresent;
        QList<double> weights;
    } cases[] = {
        {"nothing present, client", 1, false, false, {0.3333, 1.0, 0.3333, 0.3334}},
        {"nothing present, updater", 0, false, false, {0.3333, 1.0, 0.3333, 0.3334}},
        {"signature present", 1, false, true, {0.3333, 1.0, 0.6667}},
        {"ini present", 1, true, false, {0.3333, 0.6667}},
        {"both present", 1, true, true, {1.0}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        config.clientUpdate = c.step;
        QDir(config.tempDir).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(config.tempDir));
        if (c.iniPresent) {
            ASSERT_TRUE(writeBytes(inSession(ini()), iniContent));
        }
        if (c.sigPresent) {
            ASSERT_TRUE(writeBytes(inSession(sig()), signature));
        }
        server.clearReplies();
        serve(packedIni, signature);
        const int before = server.totalRequestCount();
        const int packedBefore = server.requestCount(imagePath(version, pack()));
        const int sigBefore = server.requestCount(imagePath(version, sig()));
        events.lines.clear();

        ASSERT_TRUE(run());
        EXPECT_EQ(task->state, int(TaskSpecification::Finished))
            << messages().join('\n').toStdString();
        EXPECT_EQ(messages().value(0), "ini message Download / check product ini");
        EXPECT_EQ(server.requestCount(imagePath(version, pack())) - packedBefore,
                  c.iniPresent ? 0 : 1);
        EXPECT_EQ(server.requestCount(imagePath(version, sig())) - sigBefore, c.sigPresent ? 0 : 1);
        EXPECT_EQ(server.totalRequestCount() - before, int(!c.iniPresent) + int(!c.sigPresent));
        EXPECT_EQ(readFileBytes(inSession(ini())), iniContent);
        EXPECT_EQ(readFileBytes(inSession(sig())), signature);
        const QList<double> weights = childWeights();
        ASSERT_EQ(weights.size(), c.weights.size());
        double sum = 0.0;
        for (int i = 0; i < weights.size(); ++i) {
            EXPECT_DOUBLE_EQ(weights.at(i), c.weights.at(i)) << i;
            sum += weights.at(i);
        }
        // The children's weights add up to more than 1 when the ini is fetched; the step ends at
        // its own weight.
        double highest = 0.0;
        for (const QString &line : events.filtered("ini progress "))
            highest = qMax(highest, line.mid(13).toDouble());
        EXPECT_NEAR(highest, 0.1 * sum, 1e-6);
        EXPECT_DOUBLE_EQ(task->progress, 0.1);
    }
}

// A product ini that does not verify is not kept: the next run fetches both files again.
TEST_F(IniDownloadTest, IniThatDoesNotVerifyFailsOnceAndIsDropped)
{
    if (!builtInKeyIsDevelopmentKey())
        GTEST_SKIP() << "the build embeds another signing key";
    const QByteArray goodSignature = signWithDevelopmentKey(iniContent);
    const struct
    {
        const char *name;
        bool iniPresent;
        QByteArray signature;
    } cases[] = {
        {"present ini, signature of other content", true, signWithDevelopmentKey("other")},
        {"downloaded ini, damaged signature", false, goodSignature.left(100)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QDir(config.tempDir).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(config.tempDir));
        if (c.iniPresent) {
            ASSERT_TRUE(writeBytes(inSession(ini()), iniContent));
            ASSERT_TRUE(writeBytes(inSession(sig()), c.signature));
        }
        server.clearReplies();
        serve(packed(iniContent, scratch.path()), c.signature);
        const int before = server.totalRequestCount();
        events.lines.clear();

        ASSERT_TRUE(run());
        EXPECT_EQ(task->state, int(TaskSpecification::Failed));
        EXPECT_EQ(events.filtered("ini canceled").size(), 1);
        const QStringList m = messages();
        ASSERT_GE(m.size(), 2);
        EXPECT_EQ(m.at(m.size() - 2), "ini message Signature check failed for " + inSession(ini()));
        EXPECT_EQ(m.last(), "ini message Could not verify the product ini file. Aborting");
        EXPECT_EQ(server.totalRequestCount() - before, c.iniPresent ? 0 : 2);
        EXPECT_FALSE(QFile::exists(inSession(ini())));
        EXPECT_FALSE(QFile::exists(inSession(sig())));
    }
}

TEST_F(IniDownloadTest, MissingSignatureOnTheServerFailsAfterFiveAttempts)
{
    serve(packed(iniContent, scratch.path()), QByteArray());
    server.setReply(imagePath(version, sig()), TestHttpServer::Reply::withStatus(404));
    ASSERT_TRUE(run());
    EXPECT_EQ(task->state, int(TaskSpecification::Failed));
    EXPECT_EQ(server.requestCount(imagePath(version, sig())), 5);
    EXPECT_TRUE(messages().contains("ini message Unable to download " + sig()));
    EXPECT_FALSE(
        messages().contains("ini message Could not verify the product ini file. Aborting"));
    EXPECT_FALSE(QFile::exists(inSession(sig())));
    EXPECT_EQ(events.filtered("ini canceled").size(), 1);
}

TEST_F(IniDownloadTest, CorruptContainerLeavesNoIni)
{
    const QByteArray good = packed(iniContent, scratch.path());
    ASSERT_GT(good.size(), 12);
    QByteArray flipped = good;
    flipped[good.size() - 3] = char(flipped[good.size() - 3] ^ 0x55);
    const QString damaged = ": the packed file is damaged or incomplete";
    const struct
    {
        const char *name;
        QByteArray bytes;
        QString reason; // after the failure text
    } cases[] = {
        {"not a container", QByteArray("[common_client]\nplain=text\n"), damaged},
        {"cut short", good.left(good.size() / 2), damaged},
        {"damaged payload", flipped, damaged},
        {"empty", QByteArray(), damaged},
        // Refused for its size, which is no damage.
        {"states 4 GiB",
         containerHead(quorpatch::kContainerMagic, 1, 0xFFFFFFFFu) + QByteArray(16, '\0'),
         QString()},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QDir(config.tempDir).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(config.tempDir));
        server.clearReplies();
        serve(c.bytes, signWithDevelopmentKey(iniContent));
        const int sigBefore = server.requestCount(imagePath(version, sig()));
        events.lines.clear();

        ASSERT_TRUE(run());
        EXPECT_EQ(task->state, int(TaskSpecification::Failed));
        // Refused before unpacking or by the unpacker, with the unpacker's reason either way.
        const QString failure = QString("ini message Could not unpack '%1' to '%2'")
                                    .arg(inSession(pack()), inSession(ini()));
        EXPECT_TRUE(messages().contains(failure + c.reason)) << messages().join('\n').toStdString();
        EXPECT_FALSE(QFile::exists(inSession(ini())));
        EXPECT_EQ(QDir(config.tempDir).entryList(QDir::Files), QStringList(pack()));
        // Nothing after the unpack ran.
        EXPECT_EQ(server.requestCount(imagePath(version, sig())), sigBefore);
    }
}

// The ini can only be checked once unpacked: one that states more than the bound is never
// unpacked, and its signature is not even fetched.
TEST_F(IniDownloadTest, PackedIniAboveTheBoundIsRefusedUnread)
{
    if (!builtInKeyIsDevelopmentKey())
        GTEST_SKIP() << "the build embeds another signing key";
    const struct
    {
        const char *name;
        quint32 size;
        bool accepted;
    } cases[] = {
        {"at the bound", kIniBound, true},
        {"one byte above", kIniBound + 1, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QDir(config.tempDir).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(config.tempDir));
        const QByteArray container = packedZeros(c.size);
        ASSERT_FALSE(container.isEmpty());
        ASSERT_LT(container.size(), 1024 * 1024);
        server.clearReplies();
        serve(container, signWithDevelopmentKey(QByteArray(int(c.size), '\0')));
        const int sigBefore = server.requestCount(imagePath(version, sig()));
        events.lines.clear();

        ASSERT_TRUE(run());
        const QString refused = QString("ini message Could not unpack '%1' to '%2'")
                                    .arg(inSession(pack()), inSession(ini()));
        if (c.accepted) {
            EXPECT_EQ(task->state, int(TaskSpecification::Finished))
                << messages().join('\n').toStdString();
            EXPECT_EQ(QFileInfo(inSession(ini())).size(), qint64(c.size));
        } else {
            EXPECT_EQ(task->state, int(TaskSpecification::Failed));
            EXPECT_TRUE(messages().contains(refused)) << messages().join('\n').toStdString();
            EXPECT_FALSE(QFile::exists(inSession(ini())));
            EXPECT_EQ(server.requestCount(imagePath(version, sig())), sigBefore);
        }
    }
}

// Neither the packed ini nor its signature states a size: each has a fixed bound, and what a
// server sends past it never reaches the session folder.
TEST_F(IniDownloadTest, DownloadsPastTheirFixedBoundsFail)
{
    if (!builtInKeyIsDevelopmentKey())
        GTEST_SKIP() << "the build embeds another signing key";
    const qint64 sigBound = 64 * 1024;
    const qint64 iniBound = 64 * 1024 * 1024;
    const QByteArray signature = signWithDevelopmentKey(iniContent);
    TestHttpServer::Reply hugeIni = TestHttpServer::Reply::ok(packed(iniContent, scratch.path()));
    hugeIni.announcedLength = iniBound + 1;
    // Kept open: a close racing the headers would end the attempt for another reason.
    hugeIni.behaviour = TestHttpServer::StallAfter;
    hugeIni.cutAfter = hugeIni.body.size();
    const struct
    {
        const char *name;
        bool packedIni;
        TestHttpServer::Reply reply;
        qint64 bound;
    } cases[] = {
        {"packed ini announced past 64 MiB", true, hugeIni, iniBound},
        {"signature padded past 64 KiB", false,
         TestHttpServer::Reply::ok(signature + QByteArray(int(sigBound), '\0')), sigBound},
        {"endless signature", false, TestHttpServer::Reply::endless(signature, 8 << 20), sigBound},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QDir(config.tempDir).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(config.tempDir));
        server.clearReplies();
        serve(packed(iniContent, scratch.path()), signature);
        const QString name = c.packedIni ? pack() : sig();
        server.setReply(imagePath(version, name), c.reply);
        events.lines.clear();
        const int before = server.requestCount(imagePath(version, name));
        PeakSize written({config.tempDir});

        ASSERT_TRUE(run());
        EXPECT_EQ(task->state, int(TaskSpecification::Failed));
        EXPECT_EQ(server.requestCount(imagePath(version, name)) - before, 5);
        EXPECT_EQ(messages().filter(QString("exceeds %1 bytes").arg(c.bound)).size(), 5)
            << messages().join('\n').toStdString();
        EXPECT_TRUE(messages().contains("ini message Unable to download " + name));
        EXPECT_LE(written.peak(), c.packedIni ? qint64(hugeIni.body.size()) : c.bound);
        EXPECT_FALSE(QFile::exists(inSession(name)));
    }
}

// A signature file already in the session folder (left there, or put there) is not read whole
// when it is far too large: the ini fails its check as for any bad signature.
TEST_F(IniDownloadTest, PresentSignaturePastItsBoundFailsTheCheck)
{
    ASSERT_TRUE(writeBytes(inSession(ini()), iniContent));
    ASSERT_TRUE(writeBytes(inSession(sig()), QByteArray()));
    ASSERT_TRUE(QFile::resize(inSession(sig()), qint64(1) << 30));
    ASSERT_TRUE(run());
    EXPECT_EQ(task->state, int(TaskSpecification::Failed));
    EXPECT_EQ(messages(),
              QStringList(
                  {"ini message Download / check product ini",
                   QString("ini message File %1 is larger than 65536 bytes").arg(inSession(sig())),
                   "ini message Signature check failed for " + inSession(ini()),
                   "ini message Could not verify the product ini file. Aborting"}));
    EXPECT_EQ(server.totalRequestCount(), 0);
}

} // namespace
