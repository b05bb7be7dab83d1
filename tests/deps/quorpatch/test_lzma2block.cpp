#include "lzmaioout.h"
#include "mappedfile.h"
#include "streams.h"
#include "test_lzma2_logcapture.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using quorpatch::Lzma2DecodeBlock;
using quorpatch::Lzma2EncodeBuffer;
using quorpatch::Lzma2EncodeStream;
using quorpatch::SinkStream;
using quorpatch::SourceStream;
using Bytes = std::vector<uint8_t>;

Bytes ToBytes(const SinkStream &sink)
{
    return Bytes(sink.Buffer(), sink.Buffer() + sink.Length());
}

Bytes Concat(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes EncodeBlock(const Bytes &plain)
{
    SinkStream sink;
    EXPECT_TRUE(Lzma2EncodeBuffer(plain.data(), plain.size(), &sink));
    return ToBytes(sink);
}

Bytes Varint(uint32_t value)
{
    SinkStream sink;
    EXPECT_TRUE(sink.WriteVarint32(value));
    return ToBytes(sink);
}

// The raw LZMA2 stream of a block, without its property byte and size.
Bytes StreamOf(const Bytes &block)
{
    uint32_t size = 0;
    const uint8_t *after
        = quorpatch::ParseVarint32(block.data() + 1, block.data() + block.size(), &size);
    EXPECT_NE(after, nullptr);
    return Bytes(after, block.data() + block.size());
}

Bytes Text(size_t n)
{
    static const char kWords[] = "lorem ipsum dolor sit amet, consectetur adipiscing elit ";
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(kWords[(i * 5 + i / 11) % (sizeof(kWords) - 1)]);
    return b;
}

Bytes Noise(size_t n)
{
    std::mt19937 rng(12345);
    Bytes b(n);
    for (auto &x : b)
        x = static_cast<uint8_t>(rng());
    return b;
}

TEST(Lzma2Block, EmptyInputIsPropertySizeAndEndMarker)
{
    EXPECT_EQ(EncodeBlock({}), (Bytes {0x1C, 0x00, 0x00}));
}

TEST(Lzma2Block, RoundTripsAndAppendsToSink)
{
    const Bytes inputs[] = {
        Bytes {},
        Bytes {0x00},
        Text(1000),
        Text((2u << 20) + 777), // more than one LZMA2 chunk
        Noise(200000), // stored in uncompressed chunks
    };
    const Bytes prefix = {'a', 'b', 'c'};
    for (const Bytes &plain : inputs) {
        SCOPED_TRACE(plain.size());
        const Bytes block = EncodeBlock(plain);
        ASSERT_GE(block.size(), 3u);
        EXPECT_EQ(block[0], 28) << "level 9 property byte";
        uint32_t size = 0;
        ASSERT_NE(quorpatch::ParseVarint32(block.data() + 1, block.data() + block.size(), &size),
                  nullptr);
        EXPECT_EQ(size, plain.size());

        SourceStream source(block.data(), block.size());
        SinkStream sink;
        ASSERT_TRUE(sink.Write(prefix.data(), prefix.size()));
        ASSERT_TRUE(Lzma2DecodeBlock(&source, &sink));
        EXPECT_TRUE(source.Empty());
        EXPECT_TRUE(ToBytes(sink) == Concat(prefix, plain));
    }
}

TEST(Lzma2Block, EncodeStreamReadsSourceToItsEnd)
{
    const Bytes plain = Text(5000);
    SourceStream source(plain.data(), plain.size());
    ASSERT_TRUE(source.Skip(1000));
    SinkStream sink;
    ASSERT_TRUE(sink.Write("x", 1));
    ASSERT_TRUE(Lzma2EncodeStream(&source, &sink));
    EXPECT_TRUE(source.Empty());
    EXPECT_EQ(ToBytes(sink), Concat({'x'}, EncodeBlock(Bytes(plain.begin() + 1000, plain.end()))));
}

TEST(Lzma2Block, BytesAfterABlockStayUnread)
{
    const Bytes first = Text(3000);
    const Bytes second = Noise(500);
    const Bytes input = Concat(Concat(EncodeBlock(first), EncodeBlock(second)), {0xAB, 0xCD});
    SourceStream source(input.data(), input.size());

    SinkStream sink;
    ASSERT_TRUE(Lzma2DecodeBlock(&source, &sink));
    EXPECT_EQ(ToBytes(sink), first);
    ASSERT_TRUE(Lzma2DecodeBlock(&source, &sink));
    EXPECT_EQ(ToBytes(sink), Concat(first, second));
    ASSERT_EQ(source.Remaining(), 2u);
    EXPECT_EQ(source.Buffer()[0], 0xAB);
}

TEST(Lzma2Block, FailuresLeaveSourceAndSinkUntouched)
{
    const Bytes plain = Text(20000);
    const Bytes block = EncodeBlock(plain);
    const Bytes stream = StreamOf(block);
    ASSERT_GT(stream.size(), 10u);
    const uint8_t kProp = 0x1C;
    Bytes badControl = stream;
    badControl[0] = 0x03; // not an LZMA2 chunk type

    const struct
    {
        const char *name;
        Bytes input;
        std::string message;
    } cases[] = {
        {"no input", {}, "Error read LZMA2 properties"},
        {"property alone", {kProp}, "Error read LZMA2 unpack size"},
        {"size cut short", {kProp, 0x80}, "Error read LZMA2 unpack size"},
        {"stream cut short", Bytes(block.begin(), block.end() - 6), "Error uncompressing data 6"},
        {"end marker missing", Bytes(block.begin(), block.end() - 1), "Error uncompressing data 6"},
        {"more data than stated", Concat(Concat({kProp}, Varint(plain.size() - 1)), stream),
         "Error uncompressing data 1"},
        {"less data than stated", Concat(Concat({kProp}, Varint(plain.size() + 1)), stream),
         "Error uncompressing data 0"},
        {"invalid property", Concat(Concat({41}, Varint(plain.size())), stream),
         "Error uncompressing data 4"},
        {"corrupt chunk", Concat(Concat({kProp}, Varint(plain.size())), badControl),
         "Error uncompressing data 1"},
        {"huge size, empty stream", Concat(Concat({kProp}, Varint(0xFFFFFFFFu)), {0x00}),
         "Error uncompressing data 0"},
    };
    const Bytes prefix = {'k', 'e', 'e', 'p'};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SourceStream source(c.input.data(), c.input.size());
        SinkStream sink;
        ASSERT_TRUE(sink.Write(prefix.data(), prefix.size()));
        Lzma2LogCapture log;
        EXPECT_FALSE(Lzma2DecodeBlock(&source, &sink));
        EXPECT_EQ(source.Remaining(), c.input.size());
        EXPECT_EQ(ToBytes(sink), prefix);
        ASSERT_EQ(log.lines.size(), 1u);
        EXPECT_EQ(log.lines[0].message, c.message);
        EXPECT_EQ(log.lines[0].level, 1);

        // Into the caller's room: the same refusals and texts.
        Bytes room(plain.size() + 1, 0xEE);
        size_t produced = 7;
        EXPECT_FALSE(quorpatch::Lzma2DecodeBlockInto(&source, room.data(), room.size(), &produced));
        EXPECT_EQ(source.Remaining(), c.input.size());
        ASSERT_EQ(log.lines.size(), 2u);
        EXPECT_EQ(log.lines[1].message, c.message);
    }
}

TEST(Lzma2Block, DecodesIntoTheCallersRoom)
{
    const Bytes plain = Text(30000);
    const Bytes input = Concat(EncodeBlock(plain), {'n', 'e', 'x', 't'});
    uint32_t stated = 0;
    SourceStream source(input.data(), input.size());
    ASSERT_TRUE(quorpatch::Lzma2PeekBlockSize(source, &stated));
    EXPECT_EQ(stated, plain.size());
    EXPECT_EQ(source.Remaining(), input.size());

    // One byte too few: refused as an allocation, nothing written.
    Bytes room(plain.size() + 8, 0xEE);
    size_t produced = 0;
    {
        Lzma2LogCapture log;
        EXPECT_FALSE(
            quorpatch::Lzma2DecodeBlockInto(&source, room.data(), plain.size() - 1, &produced));
        ASSERT_EQ(log.lines.size(), 1u);
        EXPECT_EQ(log.lines[0].message, "unable to allocate sink space");
    }
    EXPECT_EQ(room, Bytes(plain.size() + 8, 0xEE));
    EXPECT_EQ(source.Remaining(), input.size());

    ASSERT_TRUE(quorpatch::Lzma2DecodeBlockInto(&source, room.data(), room.size(), &produced));
    EXPECT_EQ(produced, plain.size());
    EXPECT_TRUE(std::equal(plain.begin(), plain.end(), room.begin()));
    EXPECT_EQ(room[plain.size()], 0xEE) << "wrote past the block";
    EXPECT_EQ(source.Remaining(), 4u);

    const uint8_t cut[] = {0x1C, 0x80};
    SourceStream shortHeader(cut, sizeof(cut));
    EXPECT_FALSE(quorpatch::Lzma2PeekBlockSize(shortHeader, &stated));
}

// Each cut is copied into a buffer of its own size, so a read past it shows up under the
// address sanitizer.
TEST(Lzma2Block, EveryCutFails)
{
    const Bytes block = EncodeBlock(Concat(Text(3000), Noise(300)));
    for (size_t length = 0; length < block.size(); ++length) {
        SCOPED_TRACE(length);
        const std::unique_ptr<uint8_t[]> cut(new uint8_t[length + 1]);
        std::copy(block.begin(), block.begin() + length, cut.get());
        SourceStream source(cut.get(), length);
        SinkStream sink;
        Lzma2LogCapture log;
        EXPECT_FALSE(Lzma2DecodeBlock(&source, &sink));
        EXPECT_EQ(source.Remaining(), length);
        EXPECT_EQ(sink.Length(), 0u);
    }
}

// A raw LZMA2 stream of stored chunks (made by hand, so that a block of several MiB costs no
// encoding): a dictionary reset first, then 64 KiB pieces, then the end marker.
Bytes StoredStream(const Bytes &plain)
{
    Bytes out;
    for (size_t at = 0; at < plain.size(); at += 65536) {
        const size_t n = std::min<size_t>(65536, plain.size() - at);
        out.push_back(at == 0 ? 0x01 : 0x02);
        out.push_back(uint8_t((n - 1) >> 8));
        out.push_back(uint8_t(n - 1));
        out.insert(out.end(), plain.begin() + long(at), plain.begin() + long(at + n));
    }
    out.push_back(0x00);
    return out;
}

// Blocks straight from a file's mapping are read in pieces, their pages let go behind the
// decoder: the bytes and every refusal are those of decoding from memory.
TEST(Lzma2Block, BlocksFromAMappedFileDecodeAsFromMemory)
{
    const Bytes plain = Noise(9u << 20);
    const Bytes stream = StoredStream(plain);
    Bytes corruptLate = stream;
    corruptLate[stream.size() - 3 * 65539] = 0x03; // a chunk type that does not exist
    const Bytes header = Concat({0x1C}, Varint(uint32_t(plain.size())));
    const struct
    {
        const char *name;
        Bytes input;
        bool ok;
    } cases[] = {
        {"whole", Concat(Concat(header, stream), {'x'}), true},
        {"cut after two pieces", Concat(header, Bytes(stream.begin(), stream.end() - 900000)),
         false},
        {"corrupt late chunk", Concat(header, corruptLate), false},
        {"less data than stated",
         Concat(Concat({0x1C}, Varint(uint32_t(plain.size() + 1))), stream), false},
        {"more data than stated",
         Concat(Concat({0x1C}, Varint(uint32_t(plain.size() - 1))), stream), false},
    };
    char path[] = "/tmp/qvx_lzma2block.XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(quorpatch::WriteFileBytes(path, c.input.data(), c.input.size()), c.input.size());
        quorpatch::MappedFile file(path);
        ASSERT_TRUE(file.IsValid());

        SourceStream fromMemory(c.input.data(), c.input.size());
        SinkStream expected;
        Lzma2LogCapture log;
        EXPECT_EQ(c.ok, Lzma2DecodeBlock(&fromMemory, &expected));
        const std::vector<std::string> expectedLog = log.messages();
        log.lines.clear();

        SourceStream fromFile(file.Data(), file.Length());
        SinkStream decoded;
        EXPECT_EQ(c.ok, Lzma2DecodeBlock(&fromFile, &decoded, file));
        EXPECT_EQ(fromFile.Remaining(), fromMemory.Remaining());
        EXPECT_TRUE(ToBytes(decoded) == ToBytes(expected));
        EXPECT_EQ(log.messages(), expectedLog);
        EXPECT_EQ(c.ok, expectedLog.empty());
        if (c.ok) {
            EXPECT_TRUE(ToBytes(decoded) == plain);
        }
    }
    unlink(path);
}

} // namespace
