#include "lzma2coder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

using quorpatch::lzma2::Decode;
using quorpatch::lzma2::DictionarySizeOfProperty;
using quorpatch::lzma2::Encode;
using quorpatch::lzma2::PropertyOfDictionarySize;
using Bytes = std::vector<uint8_t>;

class VectorOutput : public quorpatch::lzma2::Output
{
public:
    bool Write(const uint8_t *data, size_t size) override
    {
        if (failAfter >= 0 && bytes.size() + size > static_cast<size_t>(failAfter))
            return false;
        bytes.insert(bytes.end(), data, data + size);
        return true;
    }
    Bytes bytes;
    long failAfter = -1;
};

Bytes EncodeOrDie(const Bytes &in)
{
    VectorOutput out;
    EXPECT_EQ(Encode(in.data(), in.size(), out), quorpatch::lzma2::kOk);
    return out.bytes;
}

Bytes Text(size_t n)
{
    static const char kWords[] = "the quick brown fox jumps over the lazy dog ";
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(kWords[(i * 7 + i / 13) % (sizeof(kWords) - 1)]);
    return b;
}

TEST(Lzma2CoderProperty, DictionarySizes)
{
    const struct
    {
        uint8_t property;
        uint32_t size;
    } cases[] = {
        {0, 4096},      {1, 6144},         {2, 8192}, {19, 3u << 20}, {28, 64u << 20},
        {39, 3u << 30}, {40, 0xFFFFFFFFu}, {41, 0},   {255, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(DictionarySizeOfProperty(c.property), c.size) << int(c.property);
}

TEST(Lzma2CoderProperty, SmallestPropertyHoldingSize)
{
    EXPECT_EQ(PropertyOfDictionarySize(0), 0);
    EXPECT_EQ(PropertyOfDictionarySize(4096), 0);
    EXPECT_EQ(PropertyOfDictionarySize(4097), 1);
    EXPECT_EQ(PropertyOfDictionarySize(64u << 20), 28);
    EXPECT_EQ(PropertyOfDictionarySize((64u << 20) + 1), 29);
    EXPECT_EQ(PropertyOfDictionarySize(0xFFFFFFFFu), 40);
}

TEST(Lzma2Coder, EmptyInputIsTheEndMarkerAlone)
{
    EXPECT_EQ(EncodeOrDie({}), Bytes {0x00});
}

TEST(Lzma2Coder, WriteFailureIsReported)
{
    VectorOutput out;
    out.failAfter = 0;
    const Bytes in = Text(1000);
    EXPECT_EQ(Encode(in.data(), in.size(), out), quorpatch::lzma2::kErrorWrite);
}

// Decoding with a room other than the stream's content, or with damaged input, must give
// the codes the block reader reports.
TEST(Lzma2Coder, DecodeResults)
{
    const Bytes plain = Text(5000);
    const Bytes packed = EncodeOrDie(plain);
    ASSERT_GT(packed.size(), 8u);
    Bytes corrupt = packed;
    corrupt[0] = 0x03; // no valid LZMA2 chunk starts with this control byte

    const struct
    {
        const char *name;
        Bytes input;
        size_t room;
        int result;
        size_t produced;
        size_t consumed;
    } cases[] = {
        {"exact", packed, plain.size(), 0, plain.size(), packed.size()},
        {"room larger than content", packed, plain.size() + 10, 0, plain.size(), packed.size()},
        {"content larger than room", packed, plain.size() - 1, 1, 0, 0},
        {"no end marker", Bytes(packed.begin(), packed.end() - 1), plain.size(), 6, 0, 0},
        {"cut mid chunk", Bytes(packed.begin(), packed.end() - 6), plain.size(), 6, 0, 0},
        {"no input", Bytes {}, plain.size(), 6, 0, 0},
        {"corrupt control byte", corrupt, plain.size(), 1, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes out(c.room + 1, 0xEE);
        size_t destLen = c.room;
        size_t srcLen = c.input.size();
        EXPECT_EQ(Decode(out.data(), &destLen, c.input.data(), &srcLen, 28), c.result);
        EXPECT_EQ(destLen, c.produced);
        EXPECT_EQ(srcLen, c.consumed);
        EXPECT_EQ(out[c.room], 0xEE) << "wrote past the room";
        if (c.result == 0) {
            EXPECT_TRUE(std::equal(plain.begin(), plain.end(), out.begin()));
        }
    }
}

TEST(Lzma2Coder, DecodeStopsAtEndMarker)
{
    const Bytes plain = Text(3000);
    Bytes input = EncodeOrDie(plain);
    const size_t packedSize = input.size();
    input.insert(input.end(), {0xAB, 0xCD});
    Bytes out(plain.size());
    size_t destLen = out.size();
    size_t srcLen = input.size();
    ASSERT_EQ(Decode(out.data(), &destLen, input.data(), &srcLen, 28), 0);
    EXPECT_EQ(srcLen, packedSize);
    EXPECT_EQ(out, plain);
}

TEST(Lzma2Coder, InvalidPropertyIsUnsupported)
{
    const Bytes packed = EncodeOrDie(Text(100));
    Bytes out(100);
    size_t destLen = out.size();
    size_t srcLen = packed.size();
    EXPECT_EQ(Decode(out.data(), &destLen, packed.data(), &srcLen, 41), 4);
    EXPECT_EQ(destLen, 0u);
    EXPECT_EQ(srcLen, 0u);
}

TEST(Lzma2Coder, RoundTrips)
{
    std::mt19937 rng(7);
    Bytes noise(300000);
    for (auto &b : noise)
        b = static_cast<uint8_t>(rng());
    // Over 2 MiB of text spans several chunks; noise is stored in uncompressed chunks.
    const Bytes inputs[] = {Bytes {}, Bytes {0x42}, Text(100000), Text((2u << 20) + 12345), noise};
    for (const Bytes &plain : inputs) {
        SCOPED_TRACE(plain.size());
        const Bytes packed = EncodeOrDie(plain);
        Bytes out(plain.size());
        size_t destLen = out.size();
        size_t srcLen = packed.size();
        ASSERT_EQ(Decode(out.data(), &destLen, packed.data(), &srcLen, 28), 0);
        EXPECT_EQ(destLen, plain.size());
        EXPECT_EQ(srcLen, packed.size());
        EXPECT_TRUE(out == plain);
    }
}

} // namespace
