#include "test_disassembler_elf.h"

#include <algorithm>
#include <functional>

#include "test_lzma2_logcapture.h"

using namespace elftest;

namespace {

// --- Base ------------------------------------------------------------------------------------

class ProbeDisassembler : public Disassembler
{
public:
    ProbeDisassembler(const void *start, size_t length)
        : Disassembler(start, length)
    { }
    bool ParseHeader() override { return MarkBad("probe"); }
    bool Disassemble(AssemblyProgram *) override { return false; }
    using Disassembler::ClampLength;
    using Disassembler::MarkGood;
};

TEST(DisassemblerBaseTest, StartsUninitializedAndOnlyShrinks)
{
    const uint8_t buffer[100] = {};
    ProbeDisassembler d(buffer, sizeof buffer);
    EXPECT_STREQ(d.failure_reason(), "uninitialized");
    EXPECT_EQ(d.length(), 100u);
    EXPECT_EQ(d.kind(), EXE_UNKNOWN);
    EXPECT_EQ(d.end(), buffer + 100);
    EXPECT_EQ(d.PointerAt(7), buffer + 7);
    d.ClampLength(100);
    d.ClampLength(500);
    EXPECT_EQ(d.length(), 100u);
    d.ClampLength(60);
    d.ClampLength(80);
    EXPECT_EQ(d.length(), 60u);
    EXPECT_EQ(d.end(), buffer + 100);
    EXPECT_FALSE(d.ParseHeader());
    EXPECT_STREQ(d.failure_reason(), "probe");
    EXPECT_TRUE(d.MarkGood());
    EXPECT_EQ(d.failure_reason(), nullptr);
}

// --- Header checks ---------------------------------------------------------------------------

struct HeaderCase
{
    const char *name;
    Machine built; // the image
    Machine parser; // the disassembler given it
    std::function<void(Bytes &, const ElfBuilder &)> mutate;
    const char *reason; // null: accepted
};

void PrintTo(const HeaderCase &c, std::ostream *os)
{
    *os << c.name;
}

class ElfHeaderTest : public ::testing::TestWithParam<HeaderCase>
{ };

TEST_P(ElfHeaderTest, ReasonOfTheFirstFailingCheck)
{
    const HeaderCase &c = GetParam();
    ElfBuilder builder;
    builder.machine = c.built;
    builder.text = Bytes(32, 0x90);
    builder.data = Bytes(16, 0);
    builder.relocations = {{0, 8}};
    Bytes image = builder.build();
    c.mutate(image, builder);
    std::unique_ptr<DisassemblerElf> d = makeDisassembler(c.parser, image);
    EXPECT_EQ(d->ParseHeader(), c.reason == nullptr);
    if (c.reason)
        EXPECT_STREQ(d->failure_reason(), c.reason);
    else
        EXPECT_EQ(d->failure_reason(), nullptr);
}

void none(Bytes &, const ElfBuilder &) { }

const HeaderCase kHeaderCases[] = {
    {"Elf32Accepted", X86, X86, none, nullptr},
    {"Elf64Accepted", X64, X64, none, nullptr},
    {"ArmAccepted", ARM, ARM, none, nullptr},
    {"Elf32Truncated51", X86, X86, [](Bytes &b, const ElfBuilder &) { b.resize(51); }, "Too small"},
    {"Elf64Truncated63", X64, X64, [](Bytes &b, const ElfBuilder &) { b.resize(63); }, "Too small"},
    {"Empty", X86, ARM, [](Bytes &b, const ElfBuilder &) { b.clear(); }, "Too small"},
    {"NoMagic", X86, X86, [](Bytes &b, const ElfBuilder &) { b[3] = 'f'; }, "No Magic Number"},
    {"Relocatable", X86, X86, [](Bytes &b, const ElfBuilder &) { put16(b, 16, 1); },
     "Not an executable file or shared library"},
    {"Core", X64, X64, [](Bytes &b, const ElfBuilder &) { put16(b, 16, 4); },
     "Not an executable file or shared library"},
    {"Executable", X86, X86, [](Bytes &b, const ElfBuilder &) { put16(b, 16, 2); }, nullptr},
    {"X64ImageToX86", X64, X86, none, "Not a supported architecture"},
    {"X86ImageToX64", X86, X64, none, "Not a supported architecture"},
    {"ArmImageToX86", ARM, X86, none, "Not a supported architecture"},
    {"X86ImageToArm", X86, ARM, none, "Not a supported architecture"},
    {"Version0", X86, X86, [](Bytes &b, const ElfBuilder &) { put32(b, 20, 0); },
     "Unknown file version"},
    {"Elf32SectionHeaderSize64", X86, X86,
     [](Bytes &b, const ElfBuilder &f) { put16(b, f.fields().shentsize, 64); },
     "Unexpected section header size"},
    {"Elf64SectionHeaderSize40", X64, X64,
     [](Bytes &b, const ElfBuilder &f) { put16(b, f.fields().shentsize, 40); },
     "Unexpected section header size"},
    {"SectionTableAtEnd", X86, X86,
     [](Bytes &b, const ElfBuilder &f) { put32(b, f.fields().shoff, uint32_t(b.size())); },
     "Out of bounds section header table offset"},
    {"Elf64SectionTableFarOut", X64, X64,
     [](Bytes &b, const ElfBuilder &f) { put64(b, f.fields().shoff, ~uint64_t(0) - 8); },
     "Out of bounds section header table offset"},
    {"SectionTableTooLong", X86, X86,
     [](Bytes &b, const ElfBuilder &f) { put16(b, f.fields().shnum, 5); },
     "Out of bounds section header table"},
    {"ProgramTableAtEnd", X64, X64,
     [](Bytes &b, const ElfBuilder &f) { put64(b, f.fields().phoff, b.size()); },
     "Out of bounds program header table offset"},
    {"ProgramTableTooLong", X86, X86,
     [](Bytes &b, const ElfBuilder &f) { put16(b, f.fields().phnum, 0xFFFF); },
     "Out of bounds program header table"},
    // Checks the headers themselves do not make; the file must not be read past its end.
    {"SectionNameIndexOutside", X86, X86,
     [](Bytes &b, const ElfBuilder &f) { put16(b, f.fields().shstrndx, 4); },
     "Out of bounds section name table index"},
    {"SectionPastEnd", X86, X86,
     [](Bytes &b, const ElfBuilder &f) {
         put32(b, f.sectionHeader(2) + f.fields().shBytes, uint32_t(b.size()));
     },
     "Out of bounds section"},
    {"Elf64SectionRangeWraps", X64, X64,
     [](Bytes &b, const ElfBuilder &f) {
         put64(b, f.sectionHeader(2) + f.fields().shOffset, ~uint64_t(0) - 7);
         put64(b, f.sectionHeader(2) + f.fields().shBytes, 16);
     },
     "Out of bounds section"},
    {"EmptySectionPastImage", X86, X86,
     [](Bytes &b, const ElfBuilder &f) {
         put32(b, f.sectionHeader(2) + 4, 8);
         put32(b, f.sectionHeader(2) + f.fields().shOffset, uint32_t(b.size() + 1));
     },
     "Out of bounds section"},
    {"RelocationEntrySize0", X86, X86,
     [](Bytes &b, const ElfBuilder &f) { put32(b, f.sectionHeader(3) + f.fields().shEntsize, 0); },
     "Bad relocation entry size"},
    // Entries are read 8 bytes apart whatever sh_entsize says; those read here lie in the
    // section header table, inside the image.
    {"RelocationEntrySize4", ARM, ARM,
     [](Bytes &b, const ElfBuilder &f) { put32(b, f.sectionHeader(3) + f.fields().shEntsize, 4); },
     nullptr},
    {"RelocationEntrySize4ReadPastTheImage", X86, X86,
     [](Bytes &b, const ElfBuilder &f) {
         put32(b, f.sectionHeader(3) + f.fields().shBytes, uint32_t(b.size() - f.relOffset));
         put32(b, f.sectionHeader(3) + f.fields().shEntsize, 4);
     },
     "Bad relocation entry size"},
    {"Elf64RelocationEntrySize0", X64, X64,
     [](Bytes &b, const ElfBuilder &f) { put64(b, f.sectionHeader(3) + f.fields().shEntsize, 0); },
     "Bad relocation entry size"},
    // x86-64 relocation entries are never read.
    {"Elf64RelocationEntrySize8", X64, X64,
     [](Bytes &b, const ElfBuilder &f) { put64(b, f.sectionHeader(3) + f.fields().shEntsize, 8); },
     nullptr},
    {"Elf64RelocationEntrySize1ReachingTheImageEnd", X64, X64,
     [](Bytes &b, const ElfBuilder &f) {
         put64(b, f.sectionHeader(3) + f.fields().shBytes, b.size() - f.relOffset);
         put64(b, f.sectionHeader(3) + f.fields().shEntsize, 1);
     },
     nullptr},
    {"SegmentPastEnd", X64, X64,
     [](Bytes &b, const ElfBuilder &f) { put64(b, 64 + f.fields().pFilesz, b.size() + 1); },
     "Out of bounds segment"},
};

INSTANTIATE_TEST_SUITE_P(Cases, ElfHeaderTest, ::testing::ValuesIn(kHeaderCases),
                         [](const ::testing::TestParamInfo<HeaderCase> &info) {
                             return std::string(info.param.name);
                         });

TEST(ElfHeaderLengthTest, TrailingBytesAreNotPartOfTheImage)
{
    ElfBuilder builder;
    builder.text = Bytes(20, 0x90);
    Bytes image = builder.build();
    const size_t imageSize = image.size();
    image.resize(imageSize + 300, 0xAA);
    DisassemblerElf32X86 d(image.data(), image.size());
    ASSERT_TRUE(d.ParseHeader());
    EXPECT_EQ(d.length(), imageSize);
    EXPECT_EQ(d.kind(), EXE_ELF_32_X86);

    AssemblyProgram program(d.kind());
    ASSERT_TRUE(d.Disassemble(&program));
    EXPECT_EQ(literalBytes(program), std::string(image.begin(), image.begin() + imageSize));
}

TEST(ElfHeaderLengthTest, DisassembleNeedsAParsedHeader)
{
    ElfBuilder builder;
    builder.text = Bytes(20, 0x90);
    Bytes image = builder.build();
    image[0] = 0;
    DisassemblerElf32X86 d(image.data(), image.size());
    AssemblyProgram program(EXE_ELF_32_X86);
    EXPECT_FALSE(d.Disassemble(&program));
    EXPECT_FALSE(d.ParseHeader());
    EXPECT_FALSE(d.Disassemble(&program));
    EXPECT_EQ(program.instructionCount(), 0u);
}

// --- Relative branch scans -------------------------------------------------------------------

struct ScanCase
{
    const char *name;
    Machine machine;
    Bytes code; // placed at the start of .text
    std::vector<size_t> fields; // offsets in the code of the locations found
};

void PrintTo(const ScanCase &c, std::ostream *os)
{
    *os << c.name;
}

class ElfScanTest : public ::testing::TestWithParam<ScanCase>
{ };

TEST_P(ElfScanTest, FindsExactlyTheseLocations)
{
    const ScanCase &c = GetParam();
    ElfBuilder builder;
    builder.machine = c.machine;
    builder.text = c.code;
    builder.text.resize(c.code.size() + 64, 0); // room for the targets
    Bytes image = builder.build();
    std::unique_ptr<DisassemblerElf> d = makeDisassembler(c.machine, image);
    ASSERT_TRUE(d->ParseHeader()) << d->failure_reason();
    AssemblyProgram program(typeOf(c.machine));
    ASSERT_TRUE(d->Disassemble(&program));

    std::vector<size_t> found;
    for (const auto &location : d->rel32_locations())
        found.push_back(location->rva() - builder.textOffset);
    EXPECT_EQ(found, c.fields);
    const InstructionKind kind = c.machine == ARM ? INSN_REL32_ARM : INSN_REL32;
    EXPECT_EQ(countKind(program, kind), c.fields.size());
}

// Every target below lies at code offset 0x20 when the field is found; 0x40000000 lies outside
// the image.
const ScanCase kScanCases[] = {
    {"CallTaken", X86, {0xE8, 0x1B, 0, 0, 0}, {1}},
    {"JmpTaken", X64, {0xE9, 0x1B, 0, 0, 0}, {1}},
    {"CallOutsideStaysBytes", X86, {0xE8, 0, 0, 0, 0x40}, {}},
    // The rejected call's field starts another call, found one byte later.
    {"ScanGoesOnAtNextByte", X86, {0xE8, 0xE8, 0x1A, 0, 0, 0}, {2}},
    {"JeTaken", X86, {0x0F, 0x84, 0x1A, 0, 0, 0}, {2}},
    {"JpNever", X86, {0x0F, 0x8A, 0x1A, 0, 0, 0}, {}},
    {"JnpNever", X64, {0x0F, 0x8B, 0x1A, 0, 0, 0}, {}},
    {"JeOutside", X64, {0x0F, 0x84, 0, 0, 0, 0x40}, {}},
    {"RipMovOnlyX64", X64, {0x48, 0x8B, 0x05, 0x19, 0, 0, 0}, {3}},
    {"RipLeaR8", X64, {0x49, 0x8D, 0x05, 0x19, 0, 0, 0}, {3}},
    {"RipLeaRcx", X64, {0x48, 0x8D, 0x0D, 0x19, 0, 0, 0}, {3}},
    {"NotRipRelative", X64, {0x48, 0x8D, 0x04, 0x19, 0, 0, 0}, {}},
    {"RipFormNotInX86", X86, {0x48, 0x8B, 0x05, 0x19, 0, 0, 0}, {}},
    {"IndirectCallX64", X64, {0xFF, 0x15, 0x1A, 0, 0, 0}, {2}},
    {"IndirectJmpX64", X64, {0xFF, 0x25, 0x1A, 0, 0, 0}, {2}},
    {"IndirectCallNotInX86", X86, {0xFF, 0x15, 0x1A, 0, 0, 0}, {}},
    // ARM: branches point at their own RVA + 4 here.
    {"ThumbBcond", ARM, {0x00, 0xD0}, {0}},
    {"ThumbB", ARM, {0x00, 0xE0}, {0}},
    {"Thumb2BL", ARM, {0x00, 0xF0, 0x00, 0xF8}, {0}},
    {"Thumb2Bcond", ARM, {0x00, 0xF0, 0x00, 0x80}, {0}},
    {"ArmBOnAWordStep", ARM, {0x00, 0x00, 0x00, 0x00, 0xFE, 0xFF, 0xFF, 0xEA}, {4}},
    // The same word two bytes in is stepped over: it starts on an odd halfword.
    {"ArmBNotBetweenWords", ARM, {0x00, 0x00, 0xFE, 0xFF, 0xFF, 0xEA, 0x00, 0x00}, {}},
    // After a taken 2-byte Thumb branch the scan counts itself on a word step again.
    {"ArmBAfterThumbBranch", ARM, {0x00, 0xD0, 0xFE, 0xFF, 0xFF, 0xEA}, {0, 2}},
};

INSTANTIATE_TEST_SUITE_P(Cases, ElfScanTest, ::testing::ValuesIn(kScanCases),
                         [](const ::testing::TestParamInfo<ScanCase> &info) {
                             return std::string(info.param.name);
                         });

TEST(ElfRelocationTest, X86TableOfExactlyTheAbsoluteReferencesIsReplaced)
{
    RelocationImage r = buildRelocated(X86, {{0, 8}, {8, 8}});
    DisassemblerElf32X86 d(r.image.data(), r.image.size());
    ASSERT_TRUE(d.ParseHeader());
    AssemblyProgram program(EXE_ELF_32_X86);
    ASSERT_TRUE(d.Disassemble(&program));
    EXPECT_EQ(d.abs32_locations().size(), 2u);
    EXPECT_EQ(countKind(program, INSN_ABS32), 2u);
    EXPECT_EQ(countKind(program, INSN_ELF_RELOCS), 1u);
    ASSERT_EQ(program.abs32Labels().size(), 2u);
    EXPECT_EQ(program.abs32Labels().begin()->first, r.builder.textOffset);
    // The entries are gone from the literal bytes; the marker stands where they were.
    const std::string literal = literalBytes(program);
    EXPECT_EQ(literal.find(section(r, r.builder.relOffset, 16)), std::string::npos);
    EXPECT_NE(literal.find("<2>" + section(r, r.builder.shoff, 16)), std::string::npos);
}

TEST(ElfRelocationTest, X86TableThatStartsOtherwiseStaysBytes)
{
    // A relocation with a symbol is no absolute reference (the whole r_info is compared), and a
    // table that starts with it is left as it is.
    RelocationImage r = buildRelocated(X86, {{4, (1 << 8) | 8}, {0, 8}, {8, 8}});
    DisassemblerElf32X86 d(r.image.data(), r.image.size());
    ASSERT_TRUE(d.ParseHeader());
    AssemblyProgram program(EXE_ELF_32_X86);
    ASSERT_TRUE(d.Disassemble(&program));
    EXPECT_EQ(d.abs32_locations().size(), 2u);
    EXPECT_EQ(countKind(program, INSN_ELF_RELOCS), 0u);
    EXPECT_NE(literalBytes(program).find(section(r, r.builder.relOffset, 24)), std::string::npos);
}

TEST(ElfRelocationTest, ArmFullRunReplacedAfterLeadingEntries)
{
    RelocationImage r = buildRelocated(ARM, {{4, 2}, {0, 23}, {8, 23}, {12, 21}});
    DisassemblerElf32ARM d(r.image.data(), r.image.size());
    ASSERT_TRUE(d.ParseHeader());
    AssemblyProgram program(ELF_32_ARM);
    ASSERT_TRUE(d.Disassemble(&program));
    EXPECT_EQ(countKind(program, INSN_ELF_ARM_RELOCS), 1u);
    const std::string expected
        = section(r, r.builder.relOffset, 8) + "<7>" + section(r, r.builder.relOffset + 24, 8);
    EXPECT_NE(literalBytes(program).find(expected), std::string::npos);
}

TEST(ElfRelocationTest, ArmRunThatStopsShortDropsItsEntries)
{
    // The second absolute reference's entry comes after an unrelated one: the run stops after
    // one match, and that match and the entry that stopped it are emitted nowhere.
    RelocationImage r = buildRelocated(ARM, {{0, 23}, {12, 2}, {8, 23}, {12, 21}});
    DisassemblerElf32ARM d(r.image.data(), r.image.size());
    ASSERT_TRUE(d.ParseHeader());
    AssemblyProgram program(ELF_32_ARM);
    ASSERT_TRUE(d.Disassemble(&program));
    EXPECT_EQ(countKind(program, INSN_ELF_ARM_RELOCS), 0u);
    EXPECT_EQ(countKind(program, INSN_ABS32), 2u);
    const std::string literal = literalBytes(program);
    const std::string expected = section(r, 0, r.builder.dataOffset) + "<5>"
        + section(r, r.builder.dataOffset + 4, 4) + "<5>"
        + section(r, r.builder.dataOffset + 12, r.builder.relOffset - r.builder.dataOffset - 12)
        + section(r, r.builder.relOffset + 16, r.image.size() - r.builder.relOffset - 16);
    EXPECT_EQ(literal, expected);
}

TEST(ElfRelocationTest, X64RelocationsAreBytes)
{
    RelocationImage r = buildRelocated(X64, {{0, 8}, {8, 8}});
    DisassemblerElf64X64 d(r.image.data(), r.image.size());
    ASSERT_TRUE(d.ParseHeader());
    AssemblyProgram program(ELF_64_X64);
    ASSERT_TRUE(d.Disassemble(&program));
    EXPECT_TRUE(d.abs32_locations().empty());
    EXPECT_TRUE(program.abs32Labels().empty());
    EXPECT_EQ(literalBytes(program), std::string(r.image.begin(), r.image.end()));
}

TEST(ElfRelocationTest, AbsoluteReferenceOutsideCodeAndDataFails)
{
    // An entry naming a place inside the relocation table itself passes the section test, but
    // no code or data section ever consumes it.
    RelocationImage r = buildRelocated(X86, {{0, 8}});
    r.builder.relocations.push_back({r.builder.relOffset, 8});
    r.image = r.builder.build();
    DisassemblerElf32X86 d(r.image.data(), r.image.size());
    ASSERT_TRUE(d.ParseHeader());
    AssemblyProgram program(EXE_ELF_32_X86);
    EXPECT_FALSE(d.Disassemble(&program));
}

std::string bytesOf(const Bytes &image, size_t from, size_t to)
{
    return std::string(image.begin() + from, image.begin() + to);
}

// A relocation section of 4-byte entries: sh_size / 4 entries are read 8 bytes apart, so the
// later ones lie in the section header table, whose null entry is made to hold one more
// relocation (r_offset in sh_name, r_info in sh_type).
TEST(ElfRelocationTest, EntriesReadPastASectionOfSmallEntries)
{
    struct Case
    {
        const char *name;
        Machine machine;
        std::vector<std::pair<int, uint32_t>> entries; // in the section: .data offset, r_info
        std::pair<int, uint32_t> extra; // in the null section header
        std::vector<int> absolute; // .data offsets of the abs32 locations
        std::function<std::string(const RelocationImage &)> literal;
    } cases[] = {
        {"X86MarkerCoversTheEntriesPastTheSection",
         X86,
         {{0, 8}},
         {8, 8},
         {0, 8},
         [](const RelocationImage &r) {
             const ElfBuilder &f = r.builder;
             return bytesOf(r.image, 0, f.dataOffset) + "<5>"
                 + bytesOf(r.image, f.dataOffset + 4, f.dataOffset + 8) + "<5>"
                 + bytesOf(r.image, f.dataOffset + 12, f.relOffset) + "<2>"
                 + bytesOf(r.image, f.shoff, r.image.size());
         }},
        {"ArmRunPastTheSection",
         ARM,
         {{4, 2}},
         {0, 23},
         {0},
         [](const RelocationImage &r) {
             const ElfBuilder &f = r.builder;
             return bytesOf(r.image, 0, f.dataOffset) + "<5>"
                 + bytesOf(r.image, f.dataOffset + 4, f.relOffset + 8) + "<7>"
                 + bytesOf(r.image, f.shoff, r.image.size());
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RelocationImage r = buildRelocated(c.machine, c.entries);
        const ElfBuilder &f = r.builder;
        put32(r.image, f.sectionHeader(3) + f.fields().shEntsize, 4);
        put32(r.image, f.sectionHeader(0), uint32_t(f.dataOffset + c.extra.first));
        put32(r.image, f.sectionHeader(0) + 4, c.extra.second);
        std::unique_ptr<DisassemblerElf> d = makeDisassembler(c.machine, r.image);
        ASSERT_TRUE(d->ParseHeader()) << d->failure_reason();
        AssemblyProgram program(typeOf(c.machine));
        ASSERT_TRUE(d->Disassemble(&program));
        std::vector<uint32_t> expected;
        for (int offset : c.absolute)
            expected.push_back(uint32_t(f.dataOffset + offset));
        EXPECT_EQ(d->abs32_locations(), expected);
        EXPECT_EQ(literalBytes(program), c.literal(r));
    }
}

// .text is turned into a section of another type over the first 12 bytes of .data, which holds
// both absolute references; .data itself still covers them.
TEST(ElfRelocationTest, ReferencesInSectionsOfOtherTypes)
{
    struct Case
    {
        uint32_t type;
        std::vector<std::string> log;
        size_t absoluteReferences;
    } cases[] = {
        {8,
         {"Skipping relocation entry for unsupported section: 8",
          "Skipping relocation entry for unsupported section: 8"},
         0},
        {14,
         {"Skipping relocation entry for unsupported section: 14",
          "Skipping relocation entry for unsupported section: 14"},
         0},
        {15,
         {"Skipping relocation entry for unsupported section: 15",
          "Skipping relocation entry for unsupported section: 15"},
         0},
        {6, {"Relocation address in unrecognized ELF section: 6"}, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.type);
        RelocationImage r = buildRelocated(X86, {{0, 8}, {8, 8}});
        const ElfBuilder &f = r.builder;
        f.section(r.image, 1, c.type, f.dataOffset, 12, 0);
        DisassemblerElf32X86 d(r.image.data(), r.image.size());
        ASSERT_TRUE(d.ParseHeader()) << d.failure_reason();
        AssemblyProgram program(EXE_ELF_32_X86);
        Lzma2LogCapture log;
        ASSERT_TRUE(d.Disassemble(&program));
        EXPECT_EQ(log.messages(), c.log);
        for (const Lzma2LogCapture::Line &line : log.lines)
            EXPECT_EQ(line.level, 3);
        EXPECT_EQ(d.abs32_locations().size(), 2u);
        EXPECT_EQ(countKind(program, INSN_ABS32), c.absoluteReferences);
        const std::string data = c.absoluteReferences == 0
            ? bytesOf(r.image, f.dataOffset, f.relOffset)
            : "<5>" + bytesOf(r.image, f.dataOffset + 4, f.dataOffset + 8) + "<5>"
                + bytesOf(r.image, f.dataOffset + 12, f.relOffset);
        EXPECT_EQ(literalBytes(program),
                  bytesOf(r.image, 0, f.dataOffset) + data + "<2>"
                      + bytesOf(r.image, f.shoff, r.image.size()));
    }
}

TEST(ElfRelocationTest, X86TableMatchedInASecondRelocationSection)
{
    // The first section holds a relocation with a symbol, the second exactly the two absolute
    // references; only the second becomes the marker.
    RelocationImage r = buildRelocated(X86, {{4, (1 << 8) | 8}, {0, 8}, {8, 8}});
    ElfBuilder &f = r.builder;
    const size_t sectionCount = 5;
    r.image.resize(f.shoff + sectionCount * f.fields().shSize, 0);
    put16(r.image, f.fields().shnum, sectionCount);
    f.section(r.image, 3, 9, f.relOffset, 8, 8);
    f.section(r.image, 4, 9, f.relOffset + 8, 16, 8);

    DisassemblerElf32X86 d(r.image.data(), r.image.size());
    ASSERT_TRUE(d.ParseHeader()) << d.failure_reason();
    AssemblyProgram program(EXE_ELF_32_X86);
    ASSERT_TRUE(d.Disassemble(&program));
    EXPECT_EQ(d.abs32_locations(),
              (std::vector<uint32_t> {uint32_t(f.dataOffset), uint32_t(f.dataOffset + 8)}));
    EXPECT_EQ(literalBytes(program),
              bytesOf(r.image, 0, f.dataOffset) + "<5>"
                  + bytesOf(r.image, f.dataOffset + 4, f.dataOffset + 8) + "<5>"
                  + bytesOf(r.image, f.dataOffset + 12, f.relOffset + 8) + "<2>"
                  + bytesOf(r.image, f.shoff, r.image.size()));
}

TEST(ElfRelocationTest, AbsoluteReferenceAtTheImageEnd)
{
    // .data is moved over the last 16 bytes of the image (the end of the section header
    // table), with a relocation for one of its last positions. Its 4 bytes must lie inside the
    // image; the buffer ends with the image.
    for (size_t fromEnd : {4u, 5u, 3u, 1u}) {
        SCOPED_TRACE(fromEnd);
        ElfBuilder f = relocatedImage(X86);
        f.relocations = {{0, 8}};
        Bytes image = f.build();
        const size_t at = image.size() - fromEnd;
        put32(image, f.relOffset, uint32_t(at));
        f.section(image, 2, 1, image.size() - 16, 16, 0);
        std::unique_ptr<uint8_t[]> buffer(new uint8_t[image.size()]);
        std::copy(image.begin(), image.end(), buffer.get());
        DisassemblerElf32X86 d(buffer.get(), image.size());
        ASSERT_TRUE(d.ParseHeader()) << d.failure_reason();
        EXPECT_EQ(d.length(), image.size());
        AssemblyProgram program(EXE_ELF_32_X86);
        const bool inside = fromEnd >= 4;
        EXPECT_EQ(d.Disassemble(&program), inside);
        if (inside) {
            EXPECT_EQ(d.abs32_locations(), (std::vector<uint32_t> {uint32_t(at)}));
            EXPECT_EQ(countKind(program, INSN_ABS32), 1u);
        }
    }
}

// --- Fixtures ------------------------------------------------------------------------------

class ElfFixtureTest : public ::testing::TestWithParam<Fixture>
{ };

TEST_P(ElfFixtureTest, DisassemblesToThePinnedProgram)
{
    const Fixture &f = GetParam();
    const Bytes image = readFixture(f.file);
    ASSERT_FALSE(image.empty()) << f.file;
    std::unique_ptr<DisassemblerElf> d = makeDisassembler(f.machine, image);
    ASSERT_TRUE(d->ParseHeader()) << d->failure_reason();
    EXPECT_EQ(d->kind(), f.type);
    EXPECT_EQ(d->length(), image.size());

    AssemblyProgram program(d->kind());
    ASSERT_TRUE(d->Disassemble(&program));
    const InstructionKind branch = f.machine == ARM ? INSN_REL32_ARM : INSN_REL32;
    const InstructionKind marker = f.machine == ARM ? INSN_ELF_ARM_RELOCS : INSN_ELF_RELOCS;
    EXPECT_EQ(program.abs32Labels().size(), f.abs32Labels);
    EXPECT_EQ(d->abs32_locations().size(), f.abs32References);
    EXPECT_EQ(program.rel32Labels().size(), f.rel32Labels);
    EXPECT_EQ(d->rel32_locations().size(), f.rel32References);
    EXPECT_EQ(countKind(program, branch), f.rel32References);
    EXPECT_EQ(countKind(program, marker), f.relocationMarkers);
    EXPECT_EQ(countKind(program, INSN_ABS32), f.abs32References);

    // Indices follow the RVA order, abs32 and rel32 labels each from 0.
    int32_t expected = 0;
    for (const auto &label : program.abs32Labels())
        EXPECT_EQ(label.second->index, expected++);
    expected = 0;
    for (const auto &label : program.rel32Labels())
        EXPECT_EQ(label.second->index, expected++);
}

TEST_P(ElfFixtureTest, OtherElfDisassemblersRefuseIt)
{
    const Fixture &f = GetParam();
    const Bytes image = readFixture(f.file);
    for (Machine other : {X86, ARM, X64}) {
        if (other == f.machine)
            continue;
        std::unique_ptr<DisassemblerElf> d = makeDisassembler(other, image);
        EXPECT_FALSE(d->ParseHeader());
        EXPECT_STREQ(d->failure_reason(), "Not a supported architecture");
    }
}

// Corrupted header fields and truncated files, each in a buffer of exactly its size, so that a
// sanitizer build sees any read past the end.
TEST_P(ElfFixtureTest, HostileHeadersStayInsideTheBuffer)
{
    const Fixture &f = GetParam();
    const Bytes image = readFixture(f.file);
    const ElfFields &fields = f.machine == X64 ? kElf64Fields : kElf32Fields;
    const bool is64 = f.machine == X64;
    // The fixtures' table offsets fit the low 32 bits of the fields.
    const auto word = [&](size_t at) {
        return size_t(image[at]) | size_t(image[at + 1]) << 8 | size_t(image[at + 2]) << 16
            | size_t(image[at + 3]) << 24;
    };
    const auto half = [&](size_t at) { return size_t(image[at]) | size_t(image[at + 1]) << 8; };
    struct Region
    {
        size_t start, size;
    };
    const Region regions[] = {
        {0, is64 ? 64u : 52u},
        {word(fields.phoff), half(fields.phnum) * fields.phSize},
        {word(fields.shoff), half(fields.shnum) * fields.shSize},
    };

    const auto tryImage = [&](const Bytes &bytes, size_t size) {
        std::unique_ptr<uint8_t[]> buffer(new uint8_t[size ? size : 1]);
        std::copy(bytes.begin(), bytes.begin() + size, buffer.get());
        std::unique_ptr<DisassemblerElf> d = makeDisassembler(f.machine, buffer.get(), size);
        if (!d->ParseHeader())
            return false;
        EXPECT_LE(d->length(), size);
        AssemblyProgram program(d->kind());
        d->Disassemble(&program);
        return true;
    };

    uint64_t state = 0x9E3779B97F4A7C15ull ^ image.size();
    const auto next = [&state]() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return uint32_t(state >> 33);
    };
    int accepted = 0;
    for (int round = 0; round < 400; ++round) {
        Bytes copy = image;
        for (uint32_t edits = 1 + next() % 3; edits > 0; --edits) {
            const Region &region = regions[next() % 3];
            const size_t at = (region.start + next() % region.size) & ~size_t(3);
            const uint32_t values[] = {0,
                                       1,
                                       0xFFFFFFFFu,
                                       0x80000000u,
                                       uint32_t(image.size()),
                                       uint32_t(image.size() - 3),
                                       next(),
                                       next() % 256};
            put32(copy, std::min(at, copy.size() - 4), values[next() % 8]);
        }
        accepted += tryImage(copy, copy.size());
    }
    EXPECT_GT(accepted, 0);
    for (size_t size = 0; size < image.size(); size += 61)
        EXPECT_FALSE(tryImage(image, size)) << size;
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ElfFixtureTest, ::testing::ValuesIn(kFixtures),
                         [](const ::testing::TestParamInfo<Fixture> &info) {
                             return std::string(info.param.file);
                         });

} // namespace
