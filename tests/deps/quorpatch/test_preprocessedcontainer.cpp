#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "encodedprogram.h"
#include "ensemblepatchwriter.h"
#include "fixturefiles.h"
#include "lzma2container.h"
#include "lzmaioout.h"
#include "nothrowvector.h"
#include "preprocessedcontainer.h"
#include "streams.h"
#include "test_lzma2_logcapture.h"

using namespace quorpatch;
using namespace qvxtest;

namespace {

void putBigEndian32(Bytes *data, std::size_t at, u32 value)
{
    for (int i = 0; i < 4; ++i)
        (*data)[at + std::size_t(i)] = u8(value >> (24 - 8 * i));
}

struct Slice
{
    u32 offset;
    u32 size; // 0: the size of the content
    Bytes content;
};

// A fat Mach-O file of the given length: its architecture table, then each slice's bytes at
// its offset. count overrides the architecture count when not 0.
Bytes fatFile(std::size_t length, const std::vector<Slice> &slices, u32 count = 0)
{
    Bytes file(length, 0x00);
    const Bytes magic = {0xCA, 0xFE, 0xBA, 0xBE};
    std::copy(magic.begin(), magic.end(), file.begin());
    putBigEndian32(&file, 4, count ? count : u32(slices.size()));
    for (std::size_t i = 0; i < slices.size(); ++i) {
        const std::size_t entry = 8 + 20 * i;
        const Slice &slice = slices[i];
        putBigEndian32(&file, entry, 7);
        putBigEndian32(&file, entry + 4, 3);
        putBigEndian32(&file, entry + 8, slice.offset);
        putBigEndian32(&file, entry + 12, slice.size ? slice.size : u32(slice.content.size()));
        putBigEndian32(&file, entry + 16, 12);
        if (slice.offset + slice.content.size() <= file.size())
            std::copy(slice.content.begin(), slice.content.end(), file.begin() + slice.offset);
    }
    return file;
}

Bytes varint(u32 value)
{
    SinkStream sink;
    sink.WriteVarint32(value);
    return Bytes(sink.Buffer(), sink.Buffer() + sink.Length());
}

Bytes container(u32 checksum, u32 directive, const Bytes &payload)
{
    Bytes all = varint(kContainerMagic);
    for (const Bytes &part : {varint(checksum), varint(directive), payload})
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// The directive of a container: after the varint32 magic and checksum.
u32 directiveOf(const Bytes &packed)
{
    SourceStream source(packed.data(), packed.size());
    u32 value = 0;
    EXPECT_TRUE(source.ReadVarint32(&value) && source.ReadVarint32(&value)
                && source.ReadVarint32(&value));
    return value;
}

// ---------------------------------------------------------------------------------------------
// Which parts of a file are stored as programs.

struct ElementCase
{
    const char *name;
    std::function<Bytes()> file;
    Status expected;
    std::vector<ElementRange> elements;
};

const Bytes &bareX86()
{
    static const Bytes data = Fixture("elf32_x86_bare");
    return data;
}
const Bytes &bareX64()
{
    static const Bytes data = Fixture("elf64_x64_bare");
    return data;
}

std::vector<ElementCase> elementCases()
{
    const u32 x86Size = u32(bareX86().size());
    const u32 x64Size = u32(bareX64().size());
    const Bytes junk(300, 0x5A);
    return {
        {"TwoExecutableSlices",
         [] {
             return fatFile(16384, {{4096, 0, bareX86()}, {8192, 0, bareX64()}});
         },
         STATUS_OK,
         {{4096, x86Size, EXE_ELF_32_X86}, {8192, x64Size, ELF_64_X64}}},
        // The slice size is stored, whatever the image's own length.
        {"SliceLargerThanItsImage",
         [] {
             return fatFile(8192, {{4096, 4000, bareX86()}});
         },
         STATUS_OK,
         {{4096, 4000, EXE_ELF_32_X86}}},
        {"NonExecutableSliceSkipped",
         [junk] {
             return fatFile(16384, {{4096, 0, junk}, {8192, 0, bareX64()}});
         },
         STATUS_OK,
         {{8192, x64Size, ELF_64_X64}}},
        {"EightArchitectures",
         [junk] {
             std::vector<Slice> slices(7, Slice {5000, 0, junk});
             slices.push_back({4096, 0, bareX86()});
             return fatFile(8192, slices);
         },
         STATUS_OK,
         {{4096, x86Size, EXE_ELF_32_X86}}},
        {"AtLeast4096Bytes",
         [] {
             return fatFile(4096, {{1024, 0, bareX86()}});
         },
         STATUS_OK,
         {{1024, x86Size, EXE_ELF_32_X86}}},
        {"Only4095Bytes",
         [] {
             return fatFile(4095, {{1024, 0, bareX86()}});
         },
         STATUS_NOT_EXECUTABLE,
         {}},
        {"NineArchitectures",
         [junk] {
             std::vector<Slice> slices(8, Slice {5000, 0, junk});
             slices.push_back({4096, 0, bareX86()});
             return fatFile(8192, slices);
         },
         STATUS_NOT_EXECUTABLE,
         {}},
        {"NoArchitecture",
         [] {
             return fatFile(8192, {{4096, 0, bareX86()}}, 0xFFFFFFFF);
         },
         STATUS_NOT_EXECUTABLE,
         {}},
        {"OnlyNonExecutableSlices",
         [junk] {
             return fatFile(8192, {{4096, 0, junk}});
         },
         STATUS_NOT_EXECUTABLE,
         {}},
        {"SlicePastTheEnd",
         [] {
             return fatFile(8192, {{4096, 0, bareX86()}, {6144, 2049, Bytes()}});
         },
         STATUS_NOT_EXECUTABLE,
         {}},
        {"SliceOffsetPastTheEnd",
         [] {
             return fatFile(8192, {{4096, 0, bareX86()}, {0xFFFFFFF0u, 0x20, Bytes()}});
         },
         STATUS_NOT_EXECUTABLE,
         {}},
        {"OverlappingSlices",
         [] {
             return fatFile(16384, {{4096, 3000, bareX86()}, {6144, 0, bareX64()}});
         },
         STATUS_NOT_EXECUTABLE,
         {}},
        {"WholeExecutable", [] { return bareX64(); }, STATUS_OK, {{0, x64Size, ELF_64_X64}}},
        {"PlainData", [junk] { return junk; }, STATUS_NOT_EXECUTABLE, {}},
        {"Empty", [] { return Bytes(); }, STATUS_NOT_EXECUTABLE, {}},
    };
}

void PrintTo(const ElementCase &c, std::ostream *os)
{
    *os << c.name;
}

class PreprocessedContainerElements : public ::testing::TestWithParam<ElementCase>
{ };

TEST_P(PreprocessedContainerElements, FindsTheSlicesOrTheWholeFile)
{
    const Bytes file = GetParam().file();
    std::vector<ElementRange> elements = {{1, 2, MACHO_X86}};
    ASSERT_EQ(FindContainerElements(file.data(), file.size(), &elements), GetParam().expected);
    ASSERT_EQ(elements.size(), GetParam().elements.size());
    for (std::size_t i = 0; i < elements.size(); ++i) {
        EXPECT_EQ(elements[i].offset, GetParam().elements[i].offset) << i;
        EXPECT_EQ(elements[i].length, GetParam().elements[i].length) << i;
        EXPECT_EQ(elements[i].type, GetParam().elements[i].type) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Files, PreprocessedContainerElements, ::testing::ValuesIn(elementCases()),
                         [](const ::testing::TestParamInfo<ElementCase> &info) {
                             return info.param.name;
                         });

// ---------------------------------------------------------------------------------------------
// Round trips through the file entry points.

class PreprocessedContainerFiles : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }
    std::string path(const char *name) const { return m_dir.filePath(name).toStdString(); }

    // Packs and restores the file; returns the container.
    Bytes roundTrip(const Bytes &file, bool preprocess)
    {
        EXPECT_TRUE(WriteBytes(path("in"), file));
        EXPECT_TRUE(CompressFile(path("in").c_str(), path("packed").c_str(), preprocess));
        EXPECT_TRUE(DecompressFile(path("packed").c_str(), path("out").c_str()));
        EXPECT_EQ(ReadFileBytes(path("out")), file);
        return ReadFileBytes(path("packed"));
    }

    QTemporaryDir m_dir;
};

TEST_F(PreprocessedContainerFiles, ExecutablesAreStoredAsProgramsOnlyWhenAsked)
{
    const char *const names[] = {"elf32_x86_pie_v1", "elf32_x86_bare",   "elf64_x64_pie_v2",
                                 "elf64_x64_bare",   "elf32_arm_pie_v1", "elf32_arm_bare",
                                 "pe32_x86_v1.exe",  "pe64_x64_v2.exe",  "macho_x64_bare"};
    for (const char *name : names) {
        SCOPED_TRACE(name);
        const Bytes file = Fixture(name);
        Lzma2LogCapture log;
        EXPECT_EQ(directiveOf(roundTrip(file, true)), u32(kDirectivePrograms));
        ASSERT_FALSE(log.lines.empty());
        EXPECT_EQ(log.lines.front().level, LogLevel_DEBUG);
        EXPECT_EQ(log.lines.front().message.rfind("detected ", 0), 0u);
        EXPECT_EQ(directiveOf(roundTrip(file, false)), u32(kDirectivePlain));
    }
}

TEST_F(PreprocessedContainerFiles, ExecutableFollowedByDataIsRestoredWhole)
{
    Bytes file = Fixture("elf64_x64_pie_v1");
    const Bytes tail(5000, 0x33);
    file.insert(file.end(), tail.begin(), tail.end());
    EXPECT_EQ(directiveOf(roundTrip(file, true)), u32(kDirectivePrograms));
}

TEST_F(PreprocessedContainerFiles, FatFileStoresOneProgramPerExecutableSlice)
{
    const Bytes file = fatFile(
        32768, {{4096, 0, bareX86()}, {8192, 0, bareX64()}, {16384, 0, Fixture("macho_x64_bare")}});
    Lzma2LogCapture log;
    const Bytes packed = roundTrip(file, true);
    ASSERT_EQ(directiveOf(packed), u32(kDirectivePrograms));
    EXPECT_EQ(log.messages(),
              (std::vector<std::string> {"detected EXE_ELF_32_X86", "detected ELF_64_X64",
                                         "detected MACHO_X64"}));

    // The payload: one program set per slice, then the diff.
    SourceStream source(packed.data(), packed.size());
    u32 skip = 0;
    ASSERT_TRUE(source.ReadVarint32(&skip) && source.ReadVarint32(&skip)
                && source.ReadVarint32(&skip));
    SinkStream payload;
    ASSERT_TRUE(Lzma2DecodeBlock(&source, &payload));
    SourceStreamSet set;
    ASSERT_TRUE(set.Parse(payload.Buffer(), payload.Length()));
    EXPECT_EQ(set.count(), 4u);
}

TEST_F(PreprocessedContainerFiles, FatFilesThatFailTheTestAreStoredPlain)
{
    const Bytes files[] = {fatFile(4095, {{1024, 0, bareX86()}}),
                           fatFile(8192, std::vector<Slice>(9, Slice {4096, 0, bareX86()}))};
    for (const Bytes &file : files) {
        Lzma2LogCapture log;
        EXPECT_EQ(directiveOf(roundTrip(file, true)), u32(kDirectivePlain));
        EXPECT_TRUE(log.lines.empty());
    }
}

// A failure while building the programs falls back to the plain form; what is written is
// always a sound container of the whole file.
TEST(PreprocessedContainerFallback, FailedAllocationsFallBackToThePlainForm)
{
    const Bytes file = Fixture("elf32_x86_pie_v1");
    const u32 checksum = Checksum(file);
    bool fellBack = false;
    bool wrote = false;
    for (long long successes = 0; successes < 4000 && !wrote; successes += 7) {
        SinkStream out;
        Lzma2LogCapture log;
        PreprocessResult result;
        {
            ScopedAllocationFailure failure(successes);
            result = CompressPreprocessed(file.data(), file.size(), &out, checksum);
        }
        ASSERT_NE(result, kPreprocessFailed);
        if (result == kPreprocessPlain) {
            EXPECT_EQ(out.Length(), 0u);
            if (!log.lines.empty()) {
                EXPECT_EQ(log.lines.back().message, "falling back to default compression");
                EXPECT_EQ(log.lines.back().level, LogLevel_WARNING);
                fellBack = true;
            }
            continue;
        }
        wrote = true;
        QTemporaryDir dir;
        const std::string packed = dir.filePath("packed").toStdString();
        const std::string restored = dir.filePath("out").toStdString();
        ASSERT_TRUE(WriteBytes(packed, Bytes(out.Buffer(), out.Buffer() + out.Length())));
        ASSERT_TRUE(DecompressFile(packed.c_str(), restored.c_str()));
        EXPECT_EQ(ReadFileBytes(restored), file);
    }
    EXPECT_TRUE(fellBack);
    EXPECT_TRUE(wrote);
}

// ---------------------------------------------------------------------------------------------
// Programs-and-diff containers that cannot be restored.

Bytes programSet(EncodedProgram *program)
{
    SinkStreamSet set;
    EXPECT_EQ(WriteEncodedProgram(program, &set), STATUS_OK);
    SinkStream sink;
    EXPECT_TRUE(set.SerializeTo(&sink));
    return Bytes(sink.Buffer(), sink.Buffer() + sink.Length());
}

TEST_F(PreprocessedContainerFiles, BrokenProgramsAreRefusedAndNothingIsWritten)
{
    const Bytes plain = {'r', 'e', 's', 't', 'o', 'r', 'e', 'd'};

    EncodedProgram copy;
    ASSERT_TRUE(copy.EndLabels() && copy.AddCopy(4, "abcd"));
    EncodedProgram unassemblable;
    ASSERT_TRUE(unassemblable.EndLabels() && unassemblable.AddRel32(5));
    Bytes diffFromProgram;
    ASSERT_TRUE(MakeBinaryDiff(Bytes {'a', 'b', 'c', 'd'}, plain, &diffFromProgram));

    const struct
    {
        const char *name;
        std::vector<Bytes> streams;
        const char *lastMessage;
    } cases[] = {
        {"program not a set",
         {Bytes {1, 2, 3}, diffFromProgram},
         "could not init program_source set"},
        {"program set empty",
         {SerializePayloadSet({}), diffFromProgram},
         "could not read encoded program"},
        {"program not assemblable",
         {programSet(&unassemblable), diffFromProgram},
         "could not assemble program"},
        {"diff corrupt", {programSet(&copy), Bytes {3}}, "could not apply diff"},
        {"diff of other data", {programSet(&copy), Bytes {0, 8, 0, 0, 0}}, "could not apply diff"},
        {"result of other data", {programSet(&copy), diffFromProgram}, "crc mismatch"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const u32 checksum = std::string(c.name) == "result of other data" ? 0 : Checksum(plain);
        ASSERT_TRUE(WriteBytes(
            path("packed"),
            container(checksum, kDirectivePrograms, Lzma2Block(SerializePayloadSet(c.streams)))));
        ASSERT_TRUE(WriteBytes(path("out"), Bytes {'o', 'l', 'd'}));
        Lzma2LogCapture log;
        EXPECT_FALSE(DecompressFile(path("packed").c_str(), path("out").c_str()));
        ASSERT_FALSE(log.lines.empty());
        EXPECT_EQ(log.lines.back().message, c.lastMessage);
        EXPECT_EQ(ReadFileBytes(path("out")), (Bytes {'o', 'l', 'd'}));
    }

    // The sound form of the same container restores the file.
    ASSERT_TRUE(WriteBytes(
        path("packed"),
        container(Checksum(plain), kDirectivePrograms,
                  Lzma2Block(SerializePayloadSet({programSet(&copy), diffFromProgram})))));
    ASSERT_TRUE(DecompressFile(path("packed").c_str(), path("out").c_str()));
    EXPECT_EQ(ReadFileBytes(path("out")), plain);
}

// Damaged programs in a container are refused, never read or written out of bounds (the
// sanitizer build checks the latter).
TEST(PreprocessedContainerHostile, DamagedProgramsAreRefused)
{
    const Bytes file = Fixture("elf32_arm_pie_v1");
    SinkStream packed;
    ASSERT_EQ(CompressPreprocessed(file.data(), file.size(), &packed, Checksum(file)),
              kPreprocessWritten);
    SourceStream source(packed.Buffer(), packed.Length());
    u32 skip = 0;
    ASSERT_TRUE(source.ReadVarint32(&skip) && source.ReadVarint32(&skip)
                && source.ReadVarint32(&skip));
    SinkStream payload;
    ASSERT_TRUE(Lzma2DecodeBlock(&source, &payload));
    SourceStreamSet set;
    ASSERT_TRUE(set.Parse(payload.Buffer(), payload.Length()));
    ASSERT_EQ(set.count(), 2u);
    const Bytes program(set.stream(0)->Buffer(),
                        set.stream(0)->Buffer() + set.stream(0)->Remaining());
    const Bytes diff(set.stream(1)->Buffer(), set.stream(1)->Buffer() + set.stream(1)->Remaining());

    Lzma2LogCapture quiet;
    u32 state = 0x1234567u;
    int refused = 0;
    for (int round = 0; round < 300; ++round) {
        Bytes damaged = program;
        for (int i = 0; i < 3; ++i) {
            state = state * 1664525u + 1013904223u;
            damaged[(state >> 8) % damaged.size()] ^= u8(1u << (state % 8));
        }
        const Bytes serialised = SerializePayloadSet({damaged, diff});
        SourceStreamSet damagedSet;
        ASSERT_TRUE(damagedSet.Parse(serialised.data(), serialised.size()));
        SinkStream output;
        if (!RestorePreprocessed(&damagedSet, &output))
            ++refused;
    }
    EXPECT_GT(refused, 0);
}

} // namespace
