#include "errnochanginglog.h"
#include "fixturefiles.h"
#include "lzma2container.h"
#include "lzmaioout.h"
#include "mappedfile.h"
#include "streams.h"
#include "test_lzma2_logcapture.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

using quorpatch::CompressFile;
using quorpatch::DecompressFile;
using quorpatch::SinkStream;
using Bytes = std::vector<uint8_t>;

const Bytes kMagic = {0xE9, 0xAE, 0xA8, 0x3F};

Bytes ToBytes(const SinkStream &sink)
{
    return Bytes(sink.Buffer(), sink.Buffer() + sink.Length());
}

Bytes Concat(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes Varint(uint32_t value)
{
    SinkStream sink;
    EXPECT_TRUE(sink.WriteVarint32(value));
    return ToBytes(sink);
}

Bytes Block(const Bytes &plain)
{
    SinkStream sink;
    EXPECT_TRUE(quorpatch::Lzma2EncodeBuffer(plain.data(), plain.size(), &sink));
    return ToBytes(sink);
}

uint32_t Crc(const Bytes &b)
{
    return quorpatch::CalculateCrc(b.data(), b.size());
}

Bytes Container(uint32_t magic, uint32_t crc, uint32_t directive, const Bytes &payload)
{
    return Concat(Concat(Concat(Varint(magic), Varint(crc)), Varint(directive)), payload);
}

Bytes PlainContainer(const Bytes &plain)
{
    return Container(quorpatch::kContainerMagic, Crc(plain), 1, Block(plain));
}

// A directive-2 payload: a stream set of count streams, packed as one block.
Bytes ProgramsPayload(size_t count)
{
    quorpatch::SinkStreamSet set;
    EXPECT_TRUE(set.SetCount(count));
    for (size_t i = 0; i < count; ++i)
        EXPECT_TRUE(set.stream(i)->Write("data", 4));
    SinkStream serialized;
    EXPECT_TRUE(set.SerializeTo(&serialized));
    return Block(ToBytes(serialized));
}

Bytes Text(size_t n)
{
    static const char kWords[] = "pack my box with five dozen liquor jugs ";
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(kWords[(i * 3 + i / 17) % (sizeof(kWords) - 1)]);
    return b;
}

Bytes Noise(size_t n)
{
    std::mt19937 rng(99);
    Bytes b(n);
    for (auto &x : b)
        x = static_cast<uint8_t>(rng());
    return b;
}

class Lzma2Container : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }

    std::string path(const char *name) const
    {
        return QFile::encodeName(m_dir.filePath(QString::fromUtf8(name))).toStdString();
    }
    void writeFile(const char *name, const Bytes &bytes) const
    {
        QFile file(QString::fromStdString(path(name)));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_EQ(file.write(reinterpret_cast<const char *>(bytes.data()), qint64(bytes.size())),
                  qint64(bytes.size()));
    }
    Bytes readFile(const char *name) const
    {
        QFile file(QString::fromStdString(path(name)));
        EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << name;
        const QByteArray data = file.readAll();
        return Bytes(data.begin(), data.end());
    }
    bool exists(const char *name) const
    {
        return QFile::exists(QString::fromStdString(path(name)));
    }

    QTemporaryDir m_dir;
};

TEST_F(Lzma2Container, RoundTripsThroughFiles)
{
    const Bytes inputs[]
        = {Bytes {}, Bytes {0x7F}, Text(50000), Text((2u << 20) + 99), Noise(100000)};
    for (const Bytes &plain : inputs) {
        for (const bool preprocess : {false, true}) {
            SCOPED_TRACE(testing::Message() << plain.size() << " preprocess " << preprocess);
            writeFile("in", plain);
            ASSERT_TRUE(CompressFile(path("in").c_str(), path("packed").c_str(), preprocess));
            // Not an executable, so stored plain whatever the flag says.
            EXPECT_EQ(readFile("packed"), PlainContainer(plain));
            ASSERT_TRUE(DecompressFile(path("packed").c_str(), path("out").c_str()));
            EXPECT_TRUE(readFile("out") == plain);
        }
    }
}

// Fingerprints of the containers the writer has always made, executables (programs and diff)
// and plain files: faster sorting and encoding must leave every byte as it was.
TEST_F(Lzma2Container, ContainersKeepTheirBytes)
{
    struct Fingerprint
    {
        const char *name;
        uint32_t crc;
        size_t length;
    };
    const Fingerprint fixtures[] = {
        {"elf32_x86_pie_v1", 0x64787DBCu, 1875}, {"elf32_arm_pie_v2", 0xCD1DF8D2u, 2191},
        {"elf64_x64_pie_v2", 0x0FC79498u, 1869}, {"macho_x64_bare", 0x5ABEFD9Fu, 789},
        {"pe32_x86_v1.exe", 0x46A7D646u, 19614}, {"pe64_x64_v2.exe", 0xA312A626u, 18550},
    };
    for (const Fingerprint &f : fixtures) {
        writeFile("in", qvxtest::Fixture(f.name));
        ASSERT_TRUE(CompressFile(path("in").c_str(), path("packed").c_str(), true)) << f.name;
        const Bytes packed = readFile("packed");
        EXPECT_EQ(f.length, packed.size()) << f.name;
        EXPECT_EQ(f.crc, Crc(packed)) << std::hex << f.name;
    }
    const std::pair<Bytes, Fingerprint> plain[] = {
        {Text((2u << 20) + 99), {"text", 0xB95EB770u, 456}},
        {Noise(300000), {"noise", 0x25D26DE6u, 300030}},
    };
    for (const auto &p : plain) {
        writeFile("in", p.first);
        ASSERT_TRUE(CompressFile(path("in").c_str(), path("packed").c_str(), false));
        const Bytes packed = readFile("packed");
        EXPECT_EQ(p.second.length, packed.size()) << p.second.name;
        EXPECT_EQ(p.second.crc, Crc(packed)) << std::hex << p.second.name;
    }
}

TEST_F(Lzma2Container, EmptyFileHasFixedContainer)
{
    writeFile("in", {});
    ASSERT_TRUE(CompressFile(path("in").c_str(), path("packed").c_str(), false));
    EXPECT_EQ(
        readFile("packed"),
        (Bytes {0xE9, 0xAE, 0xA8, 0x3F, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0x01, 0x1C, 0x00, 0x00}));
}

TEST_F(Lzma2Container, CompressPlainMatchesTheFileWriter)
{
    const Bytes plain = Text(4000);
    writeFile("in", plain);
    quorpatch::MappedFile input(path("in").c_str());
    ASSERT_TRUE(input.IsValid());
    SinkStream sink;
    quorpatch::CompressPlain(input, &sink, Crc(plain));
    EXPECT_EQ(ToBytes(sink), PlainContainer(plain));
}

// Every refused container logs why and leaves an existing output file as it was.
TEST_F(Lzma2Container, RefusedContainersLeaveOutputAlone)
{
    const Bytes plain = Text(3000);
    const Bytes block = Block(plain);
    const uint32_t magic = quorpatch::kContainerMagic;
    const struct
    {
        const char *name;
        Bytes container;
        std::string lastMessage;
    } cases[] = {
        {"empty file", {}, "could not open lzma file"},
        {"one byte", {0xE9}, "could not read lzma header"},
        {"two bytes", {0xE9, 0xAE}, "could not read lzma header"},
        {"no directive", Concat(kMagic, Varint(Crc(plain))), "could not read lzma header"},
        {"wrong magic", Container(magic + 1, Crc(plain), 1, block), "not lzma file"},
        {"directive 0", Container(magic, Crc(plain), 0, block), "Unknown preprocessing dirrective"},
        {"directive 3", Container(magic, Crc(plain), 3, block), "Unknown preprocessing dirrective"},
        {"checksum mismatch", Container(magic, Crc(plain) ^ 1, 1, block), "crc mismatch"},
        {"payload cut short",
         Container(magic, Crc(plain), 1, Bytes(block.begin(), block.end() - 3)),
         "could not decompress file"},
        {"no payload", Container(magic, Crc(plain), 1, {}), "could not decompress file"},
        {"programs payload not a set", Container(magic, 0, 2, block),
         "could not init dif_and_dis set"},
        {"programs set of one stream", Container(magic, 0, 2, ProgramsPayload(1)),
         "dis_and_diff too small"},
        {"programs container", Container(magic, 0, 2, ProgramsPayload(2)),
         "could not init program_source set"},
    };
    const Bytes previous = {'o', 'l', 'd'};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        writeFile("packed", c.container);
        writeFile("out", previous);
        Lzma2LogCapture log;
        EXPECT_FALSE(DecompressFile(path("packed").c_str(), path("out").c_str()));
        ASSERT_FALSE(log.lines.empty());
        EXPECT_EQ(log.lines.back().message, c.lastMessage);
        EXPECT_EQ(log.lines.back().level, 1);
        EXPECT_EQ(readFile("out"), previous);
    }
}

TEST_F(Lzma2Container, MissingFilesAndUnwritableOutput)
{
    {
        Lzma2LogCapture log;
        EXPECT_FALSE(DecompressFile(path("absent").c_str(), path("out").c_str()));
        EXPECT_EQ(log.messages(), std::vector<std::string> {"could not open lzma file"});
    }
    {
        Lzma2LogCapture log;
        EXPECT_FALSE(CompressFile(path("absent").c_str(), path("out").c_str(), true));
        EXPECT_EQ(log.messages(), std::vector<std::string> {"could not open file"});
    }
    EXPECT_FALSE(exists("out"));

    writeFile("packed", PlainContainer(Text(100)));
    writeFile("in", Text(100));
    ASSERT_TRUE(QDir(m_dir.path()).mkdir("folder"));
    {
        Lzma2LogCapture log;
        EXPECT_FALSE(DecompressFile(path("packed").c_str(), path("folder").c_str()));
        EXPECT_EQ(log.messages(), std::vector<std::string> {"could not write output file"});
    }
    {
        Lzma2LogCapture log;
        EXPECT_FALSE(CompressFile(path("in").c_str(), path("folder").c_str(), false));
        EXPECT_EQ(log.messages(), std::vector<std::string> {"could not write output file"});
    }
}

// What failed is told apart from a container that does not restore, even though every failure
// logs a line, and a line may change errno.
TEST_F(Lzma2Container, FailuresNameTheSystemCallThatFailedOrNone)
{
    const Bytes plain = Text(5000);
    Bytes wrongChecksum = PlainContainer(plain);
    wrongChecksum[5] ^= 0x01;
    writeFile("packed", PlainContainer(plain));
    writeFile("damaged", wrongChecksum);
    writeFile("not a container", {'p', 'l', 'a', 'i', 'n'});
    writeFile("empty", {});
    ASSERT_TRUE(QDir(m_dir.path()).mkdir("folder"));
    const struct
    {
        const char *label;
        std::string input;
        std::string output;
        int error;
    } cases[] = {
        {"input missing", path("absent"), path("out"), ENOENT},
        {"input a folder", path("folder"), path("out"), EISDIR},
        {"input empty", path("empty"), path("out"), 0},
        {"not a container", path("not a container"), path("out"), 0},
        {"wrong checksum", path("damaged"), path("out"), 0},
        {"output a folder", path("packed"), path("folder"), EISDIR},
        {"output in a missing folder", path("packed"), path("none/out"), ENOENT},
        {"output on a full device", path("packed"), "/dev/full", ENOSPC},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        if (c.output == "/dev/full" && !QFile::exists("/dev/full"))
            continue;
        ErrnoChangingLog log(EDOM);
        int error = -1;
        EXPECT_FALSE(DecompressFile(c.input.c_str(), c.output.c_str(), &error));
        EXPECT_EQ(error, c.error);
        EXPECT_GT(log.lines, 0);
    }
    int error = -1;
    EXPECT_TRUE(DecompressFile(path("packed").c_str(), path("out").c_str(), &error));
    EXPECT_EQ(error, 0);
    EXPECT_EQ(readFile("out"), plain);
}

// Damaged containers either fail without leaving a file or restore the very same bytes.
TEST_F(Lzma2Container, TruncatedOrCorruptedNeverYieldWrongOutput)
{
    const Bytes plain = Text(700);
    const Bytes container = PlainContainer(plain);
    for (size_t length = 0; length < container.size(); ++length) {
        SCOPED_TRACE(testing::Message() << "cut at " << length);
        writeFile("packed", Bytes(container.begin(), container.begin() + length));
        Lzma2LogCapture log;
        EXPECT_FALSE(DecompressFile(path("packed").c_str(), path("out").c_str()));
        EXPECT_FALSE(exists("out"));
    }
    for (size_t at = 0; at < container.size(); ++at) {
        for (const uint8_t flip : {0x01, 0x80, 0xFF}) {
            SCOPED_TRACE(testing::Message() << "flip " << int(flip) << " at " << at);
            Bytes damaged = container;
            damaged[at] ^= flip;
            writeFile("packed", damaged);
            QFile::remove(QString::fromStdString(path("out")));
            Lzma2LogCapture log;
            if (DecompressFile(path("packed").c_str(), path("out").c_str()))
                EXPECT_TRUE(readFile("out") == plain);
            else
                EXPECT_FALSE(exists("out"));
        }
    }
}

} // namespace
