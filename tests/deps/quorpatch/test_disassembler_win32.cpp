#include "test_disassembler_elf.h"

#include <functional>

#include "disassemblerwin32x64.h"
#include "disassemblerwin32x86.h"

using namespace elftest;

namespace {

std::unique_ptr<DisassemblerWin32> makePe(bool pe32Plus, const uint8_t *image, size_t size)
{
    if (pe32Plus)
        return std::unique_ptr<DisassemblerWin32>(new DisassemblerWin32X64(image, size));
    return std::unique_ptr<DisassemblerWin32>(new DisassemblerWin32X86(image, size));
}

std::unique_ptr<DisassemblerWin32> makePe(bool pe32Plus, const Bytes &image)
{
    return makePe(pe32Plus, image.data(), image.size());
}

// A small PE image: headers in the first 0x200 bytes, ".text" at RVA 0x1000 (file 0x200) and
// ".reloc" at RVA 0x2000 (file 0x400), 0x200 bytes of raw data each; SizeOfImage 0x3000.
struct PeBuilder
{
    bool pe32Plus = false;
    Bytes text = Bytes(0x200, 0x90);
    std::vector<uint32_t> absolute; // RVAs with relocation entries, in one page block
    uint64_t imageBase = 0x400000;

    static const size_t kPe = 0x40;
    static const size_t kCoff = kPe + 4;
    static const size_t kOptional = kPe + 24;
    size_t optionalSize() const { return pe32Plus ? 240 : 224; }
    size_t dataDirectories() const { return kOptional + (pe32Plus ? 112 : 96); }
    size_t sectionTable() const { return kOptional + optionalSize(); }
    uint32_t relocationSize = 0; // set by build()

    Bytes build()
    {
        Bytes b(0x600, 0);
        b[0] = 'M';
        b[1] = 'Z';
        put32(b, 60, kPe);
        b[kPe] = 'P';
        b[kPe + 1] = 'E';
        put16(b, kCoff, pe32Plus ? 0x8664 : 0x14C);
        put16(b, kCoff + 2, 2);
        put16(b, kCoff + 16, uint16_t(optionalSize()));
        put16(b, kOptional, pe32Plus ? 0x20B : 0x10B);
        if (pe32Plus)
            put64(b, kOptional + 24, imageBase);
        else
            put32(b, kOptional + 28, uint32_t(imageBase));
        put32(b, kOptional + 56, 0x3000);
        put32(b, kOptional + (pe32Plus ? 108 : 92), 16);

        std::copy(text.begin(), text.end(), b.begin() + 0x200);
        // One block for page 0x1000, padded to a multiple of 4 bytes.
        size_t at = 0x400;
        if (!absolute.empty()) {
            const uint32_t entries = uint32_t(absolute.size() + (absolute.size() & 1));
            put32(b, at, 0x1000);
            put32(b, at + 4, 8 + 2 * entries);
            for (size_t i = 0; i < absolute.size(); ++i)
                put16(b, at + 8 + 2 * i,
                      uint16_t(((pe32Plus ? 10 : 3) << 12) | (absolute[i] - 0x1000)));
            relocationSize = 8 + 2 * entries;
        }
        put32(b, dataDirectories() + 8 * 5, 0x2000);
        put32(b, dataDirectories() + 8 * 5 + 4, relocationSize);

        section(b, 0, ".text", 0x200, 0x1000, 0x200, 0x200);
        section(b, 1, ".reloc", relocationSize, 0x2000, 0x200, 0x400);
        return b;
    }

    void section(Bytes &b, int index, const char *name, uint32_t virtualSize, uint32_t address,
                 uint32_t rawSize, uint32_t rawOffset) const
    {
        const size_t at = sectionTable() + 40 * index;
        std::copy(name, name + strlen(name), b.begin() + at);
        put32(b, at + 8, virtualSize);
        put32(b, at + 12, address);
        put32(b, at + 16, rawSize);
        put32(b, at + 20, rawOffset);
    }
};

// --- Header checks ---------------------------------------------------------------------------

struct PeHeaderCase
{
    const char *name;
    bool built64;
    bool parser64;
    std::function<void(Bytes &, const PeBuilder &)> mutate;
    const char *reason;
};

void PrintTo(const PeHeaderCase &c, std::ostream *os)
{
    *os << c.name;
}

class PeHeaderTest : public ::testing::TestWithParam<PeHeaderCase>
{ };

TEST_P(PeHeaderTest, ReasonOfTheFirstFailingCheck)
{
    const PeHeaderCase &c = GetParam();
    PeBuilder builder;
    builder.pe32Plus = c.built64;
    builder.absolute = {0x1010};
    Bytes image = builder.build();
    c.mutate(image, builder);
    std::unique_ptr<DisassemblerWin32> d = makePe(c.parser64, image);
    EXPECT_EQ(d->ParseHeader(), c.reason == nullptr);
    if (c.reason)
        EXPECT_STREQ(d->failure_reason(), c.reason);
    else
        EXPECT_EQ(d->failure_reason(), nullptr);
}

void keep(Bytes &, const PeBuilder &) { }

const PeHeaderCase kPeHeaderCases[] = {
    {"Pe32Accepted", false, false, keep, nullptr},
    {"Pe32PlusAccepted", true, true, keep, nullptr},
    {"Truncated63", false, false, [](Bytes &b, const PeBuilder &) { b.resize(63); }, "Too small"},
    {"NotMZ", false, false, [](Bytes &b, const PeBuilder &) { b[1] = 'X'; }, "Not MZ"},
    {"PeOffsetZero", false, false, [](Bytes &b, const PeBuilder &) { put32(b, 60, 0); },
     "Bad offset to PE header"},
    {"PeOffsetPastEnd", false, false,
     [](Bytes &b, const PeBuilder &) { put32(b, 60, uint32_t(b.size())); },
     "Bad offset to PE header"},
    {"PeHeaderTooCloseToEnd", false, false,
     [](Bytes &b, const PeBuilder &) { put32(b, 60, uint32_t(b.size() - 24)); },
     "Bad offset to PE header"},
    {"Misaligned", false, false, [](Bytes &b, const PeBuilder &) { put32(b, 60, 0x44); },
     "Misaligned PE header"},
    {"NoSignature", false, false, [](Bytes &b, const PeBuilder &) { put32(b, 60, 0x48); },
     "no PE signature"},
    {"OptionalHeaderPastEnd", false, false,
     [](Bytes &b, const PeBuilder &) { put16(b, PeBuilder::kCoff + 16, 0xFFFF); },
     "optional header past end of file"},
    {"OptionalHeaderNoMagic", false, false,
     [](Bytes &b, const PeBuilder &) { put16(b, PeBuilder::kCoff + 16, 1); },
     "optional header no magic"},
    {"UnknownMagic", false, false,
     [](Bytes &b, const PeBuilder &) { put16(b, PeBuilder::kOptional, 0x107); },
     "unrecognized magic"},
    {"Pe32OptionalHeader95", false, false,
     [](Bytes &b, const PeBuilder &) { put16(b, PeBuilder::kCoff + 16, 95); },
     "optional header too short"},
    {"Pe32PlusOptionalHeader111", true, true,
     [](Bytes &b, const PeBuilder &) { put16(b, PeBuilder::kCoff + 16, 111); },
     "optional header too short"},
    // Sixteen directories announced, room for five: the relocation directory is not there.
    {"DirectoriesInconsistent", false, false,
     [](Bytes &b, const PeBuilder &) { put16(b, PeBuilder::kCoff + 16, 96 + 40); },
     "malformed data directory"},
    {"DirectoryLargerThanImage", true, true,
     [](Bytes &b, const PeBuilder &f) { put32(b, f.dataDirectories() + 8 * 2 + 4, 0x3001); },
     "malformed data directory"},
    {"FewDirectoriesAreEmpty", false, false,
     [](Bytes &b, const PeBuilder &) { put32(b, PeBuilder::kOptional + 92, 2); }, nullptr},
    {"Pe32PlusToX86", true, false, keep,
     "64 bit executables are not supported by this disassembler"},
    {"Pe32ToX64", false, true, keep, "32 bit executables are not supported by this disassembler"},
    {"NoText", false, false, [](Bytes &b, const PeBuilder &f) { b[f.sectionTable() + 4] = 'x'; },
     "Resource-only executables are not yet supported"},
    {"TextPrefixIsNotText", true, true,
     [](Bytes &b, const PeBuilder &f) { b[f.sectionTable() + 5] = 'x'; },
     "Resource-only executables are not yet supported"},
    // Ranges the headers do not bound.
    {"SectionTablePastEnd", false, false,
     [](Bytes &b, const PeBuilder &) { put16(b, PeBuilder::kCoff + 2, 0x7FFF); },
     "section table past end of file"},
    {"RawDataPastEnd", true, true,
     [](Bytes &b, const PeBuilder &f) { put32(b, f.sectionTable() + 40 + 16, 0x10000); },
     "section raw data past end of file"},
};

INSTANTIATE_TEST_SUITE_P(Cases, PeHeaderTest, ::testing::ValuesIn(kPeHeaderCases),
                         [](const ::testing::TestParamInfo<PeHeaderCase> &info) {
                             return std::string(info.param.name);
                         });

TEST(PeLengthTest, OverlayIsNotPartOfTheProgram)
{
    PeBuilder builder;
    builder.absolute = {0x1010};
    Bytes image = builder.build();
    const Bytes original = image;
    image.insert(image.end(), 700, 0x33);
    DisassemblerWin32X86 d(image.data(), image.size());
    ASSERT_TRUE(d.ParseHeader());
    EXPECT_EQ(d.length(), original.size());
    AssemblyProgram program(d.kind());
    ASSERT_TRUE(d.Disassemble(&program));
    EXPECT_TRUE(reassemble(program) == original);
    EXPECT_EQ(d.DescribeRVA(0x1010), "1010 (.text+10)");
    EXPECT_EQ(d.DescribeRVA(0x5000), "5000");
}

// --- Base relocations ------------------------------------------------------------------------

TEST(PeRelocationTest, Pe32PlusAddressIsOneAbsoluteReferenceAndFourBytes)
{
    PeBuilder builder;
    builder.pe32Plus = true;
    builder.imageBase = 0x140000000ull;
    builder.absolute = {0x1100};
    Bytes image = builder.build();
    put64(image, 0x300, 0x140001040ull);
    DisassemblerWin32X64 d(image.data(), image.size());
    ASSERT_TRUE(d.ParseHeader());
    AssemblyProgram program(d.kind());
    ASSERT_TRUE(d.Disassemble(&program));
    ASSERT_EQ(program.abs32Labels().size(), 1u);
    EXPECT_EQ(program.abs32Labels().begin()->first, 0x1040u);
    EXPECT_EQ(countKind(program, INSN_ABS32), 1u);
    EXPECT_EQ(countKind(program, INSN_PE_RELOCS), 1u);
    EXPECT_NE(literalBytes(program).find(std::string("<5>\x01\0\0\0", 7)), std::string::npos);
    EXPECT_TRUE(reassemble(program) == image);
}

TEST(PeRelocationTest, TableErrorsFailTheDisassembly)
{
    struct Case
    {
        const char *name;
        bool pe32Plus;
        std::function<void(Bytes &, const PeBuilder &)> mutate;
        const char *reason; // null: disassembles
    } cases[] = {
        {"HighLowInPe32Plus", true,
         [](Bytes &b, const PeBuilder &) { put16(b, 0x408, (3 << 12) | 0x10); },
         "unknown type of reloc"},
        {"Dir64InPe32", false,
         [](Bytes &b, const PeBuilder &) { put16(b, 0x408, (10 << 12) | 0x10); },
         "unknown type of reloc"},
        {"FillerEntries", false, [](Bytes &b, const PeBuilder &) { put16(b, 0x408, 0x0FFF); },
         nullptr},
        {"OddBlockSize", false, [](Bytes &b, const PeBuilder &) { put32(b, 0x404, 10); },
         "unreasonable relocs block"},
        {"BlockPastImage", false, [](Bytes &b, const PeBuilder &) { put32(b, 0x404, 0x400); },
         ".relocs block outside image"},
        {"TableNotMapped", false,
         [](Bytes &b, const PeBuilder &f) { put32(b, f.dataDirectories() + 40, 0x2800); },
         ".relocs outside image"},
    };
    for (const Case &c : cases) {
        PeBuilder builder;
        builder.pe32Plus = c.pe32Plus;
        builder.absolute = {0x1010, 0x1020};
        Bytes image = builder.build();
        c.mutate(image, builder);
        std::unique_ptr<DisassemblerWin32> d = makePe(c.pe32Plus, image);
        ASSERT_TRUE(d->ParseHeader()) << c.name;
        AssemblyProgram program(d->kind());
        EXPECT_EQ(d->Disassemble(&program), c.reason == nullptr) << c.name;
        if (c.reason) {
            EXPECT_STREQ(d->failure_reason(), c.reason) << c.name;
        }
    }
}

TEST(PeRelocationTest, TableOfEightBytesHoldsNothing)
{
    PeBuilder builder;
    builder.absolute = {0x1010};
    Bytes image = builder.build();
    put32(image, builder.dataDirectories() + 44, 8);
    DisassemblerWin32X86 d(image.data(), image.size());
    ASSERT_TRUE(d.ParseHeader());
    AssemblyProgram program(d.kind());
    ASSERT_TRUE(d.Disassemble(&program));
    EXPECT_TRUE(d.abs32_locations().empty());
}

// One base relocation block: page RVA, size, then the u16 entries.
Bytes relocationBlock(uint32_t page, std::initializer_list<uint16_t> entries)
{
    Bytes b(8 + 2 * entries.size(), 0);
    put32(b, 0, page);
    put32(b, 4, uint32_t(b.size()));
    size_t at = 8;
    for (uint16_t entry : entries) {
        put16(b, at, entry);
        at += 2;
    }
    return b;
}

Bytes joined(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

struct PeTableCase
{
    const char *name;
    Bytes table; // the directory's size is this length
    Bytes after; // the bytes that follow the table in ".reloc"
    std::vector<uint32_t> absolute; // sorted; ignored when reason is set
    const char *reason; // null: disassembles
};

void PrintTo(const PeTableCase &c, std::ostream *os)
{
    *os << c.name;
}

class PeTableTest : public ::testing::TestWithParam<PeTableCase>
{ };

// The table lies at RVA 0x2000 (file 0x400), followed in the buffer by further bytes, so a walk
// that does not stop at the table's end reads them.
TEST_P(PeTableTest, WalkEndsWithinEightBytesOfTheTableEnd)
{
    const PeTableCase &c = GetParam();
    PeBuilder builder;
    Bytes image = builder.build();
    builder.section(image, 1, ".reloc", 0x200, 0x2000, 0x200, 0x400);
    const Bytes contents = joined({c.table, c.after});
    std::copy(contents.begin(), contents.end(), image.begin() + 0x400);
    put32(image, builder.dataDirectories() + 44, uint32_t(c.table.size()));

    DisassemblerWin32X86 d(image.data(), image.size());
    ASSERT_TRUE(d.ParseHeader()) << d.failure_reason();
    AssemblyProgram program(d.kind());
    ASSERT_EQ(d.Disassemble(&program), c.reason == nullptr) << d.failure_reason();
    if (c.reason) {
        EXPECT_STREQ(d.failure_reason(), c.reason);
        return;
    }
    EXPECT_EQ(d.abs32_locations(), c.absolute);
    EXPECT_EQ(countKind(program, INSN_ABS32), c.absolute.size());
}

const Bytes kTwoBlocks = joined(
    {relocationBlock(0x1000, {0x3010, 0x3020}), relocationBlock(0x1100, {0x3004, 0x0000})});

const PeTableCase kPeTableCases[] = {
    {"ThreeBlocks",
     joined({kTwoBlocks, relocationBlock(0x1000, {0x3100, 0x3180, 0x31F0, 0x0000})}),
     {},
     {0x1010, 0x1020, 0x1100, 0x1104, 0x1180, 0x11F0},
     nullptr},
    {"SevenBytesLeft",
     joined({kTwoBlocks, {0x00, 0x11, 0, 0, 0x0C, 0, 0}}),
     {},
     {0x1010, 0x1020, 0x1104},
     nullptr},
    {"EightZeroBytesLeft",
     joined({kTwoBlocks, Bytes(8, 0)}),
     {},
     {0x1010, 0x1020, 0x1104},
     nullptr},
    // A block header in the last 8 bytes, its entries past the table: never read.
    {"EightBytesLeftThatLookLikeABlock",
     joined({kTwoBlocks, {0x00, 0x11, 0, 0, 0x0C, 0, 0, 0}}),
     {0x30, 0x30, 0, 0},
     {0x1010, 0x1020, 0x1104},
     nullptr},
    // Nine bytes hold one more block, whose entries may run past the table's end.
    {"NineBytesLeftHoldABlock",
     joined({kTwoBlocks, {0x00, 0x11, 0, 0, 0x0C, 0, 0, 0, 0x30}}),
     {0x30, 0, 0},
     {0x1010, 0x1020, 0x1104, 0x1130},
     nullptr},
    {"TableOfNineBytesHoldsABlock",
     {0x00, 0x10, 0, 0, 0x0C, 0, 0, 0, 0x10},
     {0x30, 0, 0},
     {0x1010},
     nullptr},
    {"TwelveZeroBytesLeft",
     joined({kTwoBlocks, Bytes(12, 0)}),
     {},
     {},
     "unreasonable relocs block"},
};

INSTANTIATE_TEST_SUITE_P(Cases, PeTableTest, ::testing::ValuesIn(kPeTableCases),
                         [](const ::testing::TestParamInfo<PeTableCase> &info) {
                             return std::string(info.param.name);
                         });

TEST(PeRelocationTest, TableInsideTextIsOneMarker)
{
    // The table at RVA 0x1100 inside ".text": 16 bytes, one block and 4 trailing bytes.
    PeBuilder builder;
    const Bytes table = joined({relocationBlock(0x1000, {0x3010, 0x3040}), Bytes(4, 0)});
    std::copy(table.begin(), table.end(), builder.text.begin() + 0x100);
    Bytes image = builder.build();
    put32(image, builder.dataDirectories() + 40, 0x1100);
    put32(image, builder.dataDirectories() + 44, uint32_t(table.size()));

    DisassemblerWin32X86 d(image.data(), image.size());
    ASSERT_TRUE(d.ParseHeader()) << d.failure_reason();
    AssemblyProgram program(d.kind());
    ASSERT_TRUE(d.Disassemble(&program)) << d.failure_reason();
    EXPECT_EQ(d.abs32_locations(), (std::vector<uint32_t> {0x1010, 0x1040}));
    EXPECT_TRUE(d.rel32_locations().empty());
    const auto bytes = [&image](size_t from, size_t to) {
        return std::string(image.begin() + from, image.begin() + to);
    };
    // File offset = RVA - 0x1000 + 0x200.
    EXPECT_EQ(literalBytes(program),
              bytes(0, 0x210) + "<5>" + bytes(0x214, 0x240) + "<5>" + bytes(0x244, 0x300) + "<1>"
                  + bytes(0x310, 0x600));
}

// --- The ".text" scan ------------------------------------------------------------------------

struct PeScanCase
{
    const char *name;
    bool pe32Plus;
    Bytes code; // at RVA 0x1000
    std::vector<uint32_t> absolute;
    std::vector<uint32_t> fields; // RVAs found
};

void PrintTo(const PeScanCase &c, std::ostream *os)
{
    *os << c.name;
}

class PeScanTest : public ::testing::TestWithParam<PeScanCase>
{ };

TEST_P(PeScanTest, FindsExactlyTheseLocations)
{
    const PeScanCase &c = GetParam();
    PeBuilder builder;
    builder.pe32Plus = c.pe32Plus;
    std::copy(c.code.begin(), c.code.end(), builder.text.begin());
    builder.absolute = c.absolute;
    Bytes image = builder.build();
    std::unique_ptr<DisassemblerWin32> d = makePe(c.pe32Plus, image);
    ASSERT_TRUE(d->ParseHeader()) << d->failure_reason();
    AssemblyProgram program(d->kind());
    ASSERT_TRUE(d->Disassemble(&program));
    EXPECT_EQ(d->rel32_locations(), c.fields);
    EXPECT_EQ(countKind(program, INSN_REL32), c.fields.size());
    EXPECT_TRUE(reassemble(program) == image);
}

// Targets: 0x1020 inside ".text", 0x2010 in ".reloc", 0x3010 past SizeOfImage.
const PeScanCase kPeScanCases[] = {
    {"CallInText", false, {0xE8, 0x1B, 0, 0, 0}, {}, {0x1001}},
    {"CallOutsideTextIsNoBranch", false, {0xE8, 0x0B, 0x10, 0, 0}, {}, {}},
    {"JeInText", true, {0x0F, 0x84, 0x1A, 0, 0, 0}, {}, {0x1002}},
    {"JpNever", false, {0x0F, 0x8A, 0x1A, 0, 0, 0}, {}, {}},
    {"IndirectCallNeverInPe32", false, {0xFF, 0x15, 0x1A, 0, 0, 0}, {}, {}},
    {"IndirectCallOutsideTextInPe32Plus", true, {0xFF, 0x15, 0x0A, 0x10, 0, 0}, {}, {0x1002}},
    {"IndirectJmpPastImage", true, {0xFF, 0x25, 0x0A, 0x20, 0, 0}, {}, {}},
    {"RipLeaInPe32Plus", true, {0x48, 0x8D, 0x05, 0x09, 0x10, 0, 0}, {}, {0x1003}},
    {"RipLeaNeverInPe32", false, {0x48, 0x8D, 0x05, 0x19, 0, 0, 0}, {}, {}},
    // The call's field overlaps the absolute reference at 0x1003; the scan resumes after it
    // and finds the call at 0x1007.
    {"CallOverlappingAbsolute",
     false,
     {0xE8, 0, 0, 0, 0, 0, 0, 0xE8, 0x14, 0, 0, 0},
     {0x1003},
     {0x1008}},
};

INSTANTIATE_TEST_SUITE_P(Cases, PeScanTest, ::testing::ValuesIn(kPeScanCases),
                         [](const ::testing::TestParamInfo<PeScanCase> &info) {
                             return std::string(info.param.name);
                         });

// --- Fixtures ----------------------------------------------------------------------------------

struct PeFixture
{
    const char *file;
    bool pe32Plus;
    size_t abs32Labels;
    size_t abs32References;
    size_t rel32Labels;
    size_t rel32References;
};

void PrintTo(const PeFixture &f, std::ostream *os)
{
    *os << f.file;
}

class PeFixtureTest : public ::testing::TestWithParam<PeFixture>
{ };

TEST_P(PeFixtureTest, DisassemblesAndReassemblesExactly)
{
    const PeFixture &f = GetParam();
    const Bytes image = readFixture(f.file);
    ASSERT_FALSE(image.empty());
    std::unique_ptr<DisassemblerWin32> d = makePe(f.pe32Plus, image);
    ASSERT_TRUE(d->ParseHeader()) << d->failure_reason();
    EXPECT_EQ(d->kind(), f.pe32Plus ? WIN_32_X64 : WIN_32_X86);
    EXPECT_EQ(d->length(), image.size());
    AssemblyProgram program(d->kind());
    ASSERT_TRUE(d->Disassemble(&program));
    EXPECT_EQ(program.imageBase(), d->image_base());
    EXPECT_EQ(program.abs32Labels().size(), f.abs32Labels);
    EXPECT_EQ(countKind(program, INSN_ABS32), f.abs32References);
    EXPECT_EQ(program.rel32Labels().size(), f.rel32Labels);
    EXPECT_EQ(countKind(program, INSN_REL32), f.rel32References);
    EXPECT_EQ(countKind(program, INSN_PE_RELOCS), 1u);
    EXPECT_TRUE(reassemble(program) == image);

    std::unique_ptr<DisassemblerWin32> other = makePe(!f.pe32Plus, image);
    EXPECT_FALSE(other->ParseHeader());
    EXPECT_STREQ(other->failure_reason(),
                 f.pe32Plus ? "64 bit executables are not supported by this disassembler"
                            : "32 bit executables are not supported by this disassembler");
}

TEST_P(PeFixtureTest, HostileHeadersStayInsideTheBuffer)
{
    const PeFixture &f = GetParam();
    const Bytes image = readFixture(f.file);
    const size_t sectionTable = 0x80 + 24 + (f.pe32Plus ? 240 : 224);
    size_t relocationTable;
    {
        std::unique_ptr<DisassemblerWin32> clean = makePe(f.pe32Plus, image);
        ASSERT_TRUE(clean->ParseHeader());
        relocationTable = clean->RVAToFileOffset(clean->base_relocation_table().rva);
        ASSERT_LT(relocationTable, image.size());
    }
    uint64_t state = 0x2545F4914F6CDD1Dull ^ image.size();
    const auto next = [&state]() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return uint32_t(state >> 33);
    };
    int accepted = 0;
    for (int round = 0; round < 300; ++round) {
        Bytes copy = image;
        for (uint32_t edits = 1 + next() % 3; edits > 0; --edits) {
            // The DOS and PE headers, the section table, or the start of the relocation table.
            const size_t regions[][2]
                = {{0, 0x80 + 24 + 240}, {sectionTable, 10 * 40}, {relocationTable, 64}};
            const auto &region = regions[next() % 3];
            const size_t at
                = std::min((region[0] + next() % region[1]) & ~size_t(1), copy.size() - 4);
            const uint32_t values[]
                = {0,     1, 0xFFFFFFFFu, 0x80000000u, uint32_t(copy.size()), next(), next() % 256,
                   0x3000};
            put32(copy, at, values[next() % 8]);
        }
        std::unique_ptr<uint8_t[]> buffer(new uint8_t[copy.size()]);
        std::copy(copy.begin(), copy.end(), buffer.get());
        std::unique_ptr<DisassemblerWin32> d = makePe(f.pe32Plus, buffer.get(), copy.size());
        if (d->ParseHeader()) {
            ++accepted;
            EXPECT_LE(d->length(), copy.size());
            AssemblyProgram program(d->kind());
            d->Disassemble(&program);
        }
    }
    EXPECT_GT(accepted, 0);
}

const PeFixture kPeFixtures[] = {
    {"pe32_x86_v1.exe", false, 248, 502, 511, 878},
    {"pe32_x86_v2.exe", false, 249, 504, 511, 880},
    {"pe64_x64_v1.exe", true, 55, 57, 640, 1087},
    {"pe64_x64_v2.exe", true, 55, 57, 642, 1091},
};

INSTANTIATE_TEST_SUITE_P(Fixtures, PeFixtureTest, ::testing::ValuesIn(kPeFixtures),
                         [](const ::testing::TestParamInfo<PeFixture> &info) {
                             std::string name = info.param.file;
                             return name.substr(0, name.find('.'));
                         });

} // namespace
