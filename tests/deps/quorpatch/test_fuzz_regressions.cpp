// Inputs found by fuzzing the engine's readers, each once a crash, an out-of-bounds read or a
// huge allocation. Every one must now fail cleanly. The inputs use the harnesses' layouts
// (see fuzz/), so a new finding can be pasted in as it is.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "assemblyprogram.h"
#include "detection.h"
#include "encodedprogram.h"
#include "ensemblepatchapplier.h"
#include "ensemblepatchwriter.h"
#include "lzma2container.h"
#include "lzmaioout.h"
#include "qvdiff.h"
#include "streams.h"

using namespace quorpatch;
using qvxtest::Bytes;

namespace {

enum Reader {
    kBinaryPatch, // flags (bit 0: header), old length (2 bytes, little endian), old data, diff
    kLzma2Block,
    kContainer,
    kEnsemble, // old length (2 bytes, little endian), old data, patch
    kEncodedProgram, // a stream set
    kExecutable,
};

struct FuzzCase
{
    const char *name;
    Reader reader;
    Bytes input;
    int expected; // a Status for kEnsemble and kEncodedProgram, else 0 for a false result
};

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

Bytes Varint(u32 value)
{
    Bytes out;
    for (; value >= 0x80; value >>= 7)
        out.push_back(u8(value | 0x80));
    out.push_back(u8(value));
    return out;
}

// An LZMA2 block stating 4 GiB whose stream is the end marker alone.
const Bytes kHugeBlock = Cat({{0x1C}, Varint(0xFFFFFFFFu), {0x00}});

// Splits off the old data the way the harnesses do.
struct Split
{
    SourceStream old;
    SourceStream rest;
    explicit Split(const Bytes &input, std::size_t at)
    {
        const std::size_t stated = input.size() >= at + 2 ? input[at] | (input[at + 1] << 8) : 0;
        const std::size_t start = std::min(input.size(), at + 2);
        const std::size_t length = std::min(stated, input.size() - start);
        old.Init(input.data() + start, length);
        rest.Init(input.data() + start + length, input.size() - start - length);
    }
};

void PrintTo(const FuzzCase &c, std::ostream *out)
{
    *out << c.name;
}

class FuzzRegression : public ::testing::TestWithParam<FuzzCase>
{ };

TEST_P(FuzzRegression, FailsCleanly)
{
    const FuzzCase &c = GetParam();
    // A copy of exactly the input's size, so that a read past it shows under the sanitizer.
    const std::unique_ptr<u8[]> copy(new u8[c.input.size() + 1]);
    std::copy(c.input.begin(), c.input.end(), copy.get());
    const Bytes input(copy.get(), copy.get() + c.input.size());
    SinkStream output;
    switch (c.reader) {
    case kBinaryPatch: {
        Split split(input, 1);
        const bool header = !input.empty() && (input[0] & 1);
        EXPECT_EQ(int(ApplyBinaryPatch(&split.old, &split.rest, &output, header)), c.expected);
        break;
    }
    case kLzma2Block: {
        SourceStream source(input.data(), input.size());
        EXPECT_EQ(int(Lzma2DecodeBlock(&source, &output)), c.expected);
        EXPECT_EQ(source.Position(), 0u);
        break;
    }
    case kContainer: {
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        const std::string in = dir.filePath("in").toStdString();
        const std::string out = dir.filePath("out").toStdString();
        FILE *file = fopen(in.c_str(), "wb");
        ASSERT_TRUE(file);
        ASSERT_EQ(fwrite(input.data(), 1, input.size(), file), input.size());
        ASSERT_EQ(fclose(file), 0);
        EXPECT_EQ(int(DecompressFile(in.c_str(), out.c_str())), c.expected);
        break;
    }
    case kEnsemble: {
        Split split(input, 0);
        EXPECT_EQ(int(ApplyEnsemblePatchStreams(&split.old, &split.rest, &output)), c.expected);
        EXPECT_EQ(output.Length(), 0u);
        break;
    }
    case kEncodedProgram: {
        SourceStreamSet set;
        ASSERT_TRUE(set.Parse(input.data(), input.size()));
        EncodedProgram *program = nullptr;
        Status status = ReadEncodedProgram(&set, &program);
        if (status == STATUS_OK)
            status = Assemble(program, &output);
        DeleteEncodedProgram(program);
        EXPECT_EQ(int(status), c.expected);
        break;
    }
    case kExecutable: {
        AssemblyProgram *program = nullptr;
        EXPECT_EQ(int(ParseDetectedExecutable(input.data(), input.size(), &program)), c.expected);
        DeleteAssemblyProgram(program);
        break;
    }
    }
    // Whatever a few bytes claim, the engine must not set aside more than they can hold.
    EXPECT_LT(output.Capacity(), std::size_t(64) << 20);
}

const FuzzCase kCases[] = {
    {"Lzma2HugeStatedSize", kLzma2Block, kHugeBlock, 0},
    {"Lzma2HugeStatedSizeFuzzed",
     kLzma2Block,
     {0x1c, 0x80, 0xe0, 0xfc, 0xd5, 0x01, 0x5c, 0x80, 0x20, 0xe0, 0x0f, 0x5d,
      0x35, 0x5c, 0x80, 0x20, 0xe0, 0x44, 0x96, 0x67, 0x0f, 0xde, 0x5d, 0x35},
     0},
    {"BinaryPatchHugeControlBlock", kBinaryPatch,
     Cat({{0x00, 0x00, 0x00, BINARY_PATCH_LZMA2_STREAMS}, Varint(1), kHugeBlock}), 0},
    {"BinaryPatchHugeBody", kBinaryPatch,
     Cat({{0x00, 0x00, 0x00, BINARY_PATCH_LZMA2_BODY}, Varint(1), kHugeBlock}), 0},
    {"ContainerHugePlainBlock", kContainer,
     Cat({Varint(kContainerMagic), Varint(0), Varint(kDirectivePlain), kHugeBlock}), 0},
};

INSTANTIATE_TEST_SUITE_P(Inputs, FuzzRegression, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<FuzzCase> &info) {
                             return std::string(info.param.name);
                         });

// The size a patch states for the reformed data is a hint; a few bytes stating 4 GiB must
// not make the applier set that much aside.
TEST(FuzzRegressionEnsemble, HugeStatedReformedSizeIsOnlyAHint)
{
    const Bytes old = {'o', 'l', 'd'};
    const Bytes header = Cat({Varint(kEnsemblePatchMagic), Varint(kEnsemblePatchVersion),
                              Varint(qvxtest::Checksum(old)), Varint(0), Varint(0xFFFFFFFFu)});
    const Bytes parameters = Varint(0); // no elements
    const Bytes elements = qvxtest::SerializePayloadSet({});

    EnsemblePatchApplier applier;
    SourceStream headerStream(header.data(), header.size());
    ASSERT_EQ(applier.ReadHeader(&headerStream), STATUS_OK);
    ASSERT_EQ(applier.SetOldRegion(old.data(), old.size()), STATUS_OK);
    SourceStream parameterStream(parameters.data(), parameters.size());
    ASSERT_EQ(applier.ReadInitialParameters(&parameterStream), STATUS_OK);
    SourceStreamSet elementSet;
    ASSERT_TRUE(elementSet.Parse(elements.data(), elements.size()));
    SinkStream reformed;
    ASSERT_EQ(applier.ReformElements(&elementSet, &reformed), STATUS_OK);
    EXPECT_EQ(Bytes(reformed.Buffer(), reformed.Buffer() + reformed.Length()), old);
    EXPECT_LT(reformed.Capacity(), std::size_t(1) << 20);
}

} // namespace
