#include "test_disassembler_elf.h"

#include <functional>

#include "disassemblermacho.h"

using namespace elftest;

namespace {

// A small thin Mach-O image of 0x1000 bytes: a page-zero segment without sections, then a
// __TEXT segment over the whole file with one __text section at file offset 0x400.
// 64-bit: __TEXT at 0x100000000; 32-bit: at 0x1000 (page zero from 0, so it is the lowest).
struct MachoBuilder
{
    bool is64 = true;
    Bytes code = Bytes(0x100, 0x90);

    size_t headerSize() const { return is64 ? 32 : 28; }
    size_t segmentSize() const { return is64 ? 72 : 56; }
    size_t sectionSize() const { return is64 ? 80 : 68; }
    size_t textCommand() const { return headerSize() + segmentSize(); }
    size_t textSection() const { return textCommand() + segmentSize(); }
    uint64_t textAddress() const { return is64 ? 0x100000000ull : 0x1000; }

    void putWord(Bytes &b, size_t at, uint64_t v) const
    {
        if (is64)
            put64(b, at, v);
        else
            put32(b, at, uint32_t(v));
    }

    // Segment fields: vmaddr, vmsize, fileoff, filesize, then nsects.
    void segment(Bytes &b, size_t at, uint64_t vmaddr, uint64_t vmsize, uint64_t fileoff,
                 uint64_t filesize, uint32_t sections) const
    {
        const size_t w = is64 ? 8 : 4;
        put32(b, at, is64 ? 25 : 1);
        put32(b, at + 4, uint32_t(segmentSize() + sections * sectionSize()));
        putWord(b, at + 24, vmaddr);
        putWord(b, at + 24 + w, vmsize);
        putWord(b, at + 24 + 2 * w, fileoff);
        putWord(b, at + 24 + 3 * w, filesize);
        put32(b, at + 24 + 4 * w + 8, sections);
    }

    Bytes build() const
    {
        Bytes b(0x1000, 0);
        put32(b, 0, is64 ? 0xFEEDFACF : 0xFEEDFACE);
        put32(b, 4, is64 ? 0x01000007 : 7);
        put32(b, 12, 2);
        put32(b, 16, 2);
        segment(b, headerSize(), 0, is64 ? 0x100000000ull : 0x1000, 0, 0, 0);
        segment(b, textCommand(), textAddress(), 0x1000, 0, 0x1000, 1);
        const size_t s = textSection();
        putWord(b, s + 32, textAddress() + 0x400);
        putWord(b, s + (is64 ? 40 : 36), code.size());
        put32(b, s + (is64 ? 48 : 40), 0x400);
        put32(b, s + (is64 ? 64 : 56), 0x80000400);
        std::copy(code.begin(), code.end(), b.begin() + 0x400);
        return b;
    }
};

// --- Header checks ---------------------------------------------------------------------------

struct MachoHeaderCase
{
    const char *name;
    bool is64;
    std::function<void(Bytes &, const MachoBuilder &)> mutate;
    const char *reason;
};

void PrintTo(const MachoHeaderCase &c, std::ostream *os)
{
    *os << c.name;
}

class MachoHeaderTest : public ::testing::TestWithParam<MachoHeaderCase>
{ };

TEST_P(MachoHeaderTest, ReasonOfTheFirstFailingCheck)
{
    const MachoHeaderCase &c = GetParam();
    MachoBuilder builder;
    builder.is64 = c.is64;
    Bytes image = builder.build();
    c.mutate(image, builder);
    DisassemblerMacho d(image.data(), image.size());
    EXPECT_EQ(d.ParseHeader(), c.reason == nullptr);
    if (c.reason) {
        EXPECT_STREQ(d.failure_reason(), c.reason);
    } else {
        EXPECT_EQ(d.failure_reason(), nullptr);
        EXPECT_EQ(d.kind(), c.is64 ? MACHO_X64 : MACHO_X86);
    }
}

void same(Bytes &, const MachoBuilder &) { }

const MachoHeaderCase kMachoHeaderCases[] = {
    {"X64Accepted", true, same, nullptr},
    {"X86Accepted", false, same, nullptr},
    {"Truncated31", true, [](Bytes &b, const MachoBuilder &) { b.resize(31); }, "Too small"},
    {"FatMagic", true, [](Bytes &b, const MachoBuilder &) { put32(b, 0, 0xBEBAFECA); },
     "Unknown magic type"},
    {"X64WithX86Cpu", true, [](Bytes &b, const MachoBuilder &) { put32(b, 4, 7); },
     "unsupported cpu type"},
    {"X86WithArmCpu", false, [](Bytes &b, const MachoBuilder &) { put32(b, 4, 12); },
     "unsupported cpu type"},
    {"ObjectFile", true, [](Bytes &b, const MachoBuilder &) { put32(b, 12, 1); },
     "Unsupported filetype in header"},
    {"DynamicLinker", false, [](Bytes &b, const MachoBuilder &) { put32(b, 12, 7); },
     "Unsupported filetype in header"},
    {"Bundle", true, [](Bytes &b, const MachoBuilder &) { put32(b, 12, 8); }, nullptr},
    {"CommandPastEnd", true,
     [](Bytes &b, const MachoBuilder &f) { put32(b, f.textCommand() + 4, 0x1000); },
     "file to small in load commands"},
    // Past the real commands lie zero bytes: a command of size 0.
    {"TooManyCommands", false, [](Bytes &b, const MachoBuilder &) { put32(b, 16, 1000); },
     "bad load command size"},
    {"CommandSizeZero", true, [](Bytes &b, const MachoBuilder &) { put32(b, 32 + 4, 0); },
     "bad load command size"},
    {"Segment64In32BitImage", false,
     [](Bytes &b, const MachoBuilder &f) { put32(b, f.textCommand(), 25); },
     "LC_SEGMENT_64 not supported"},
    {"SegmentIn64BitImage", true,
     [](Bytes &b, const MachoBuilder &f) { put32(b, f.textCommand(), 1); },
     "LC_SEGMENT not supported"},
    {"ShortSegment64", true,
     [](Bytes &b, const MachoBuilder &f) { put32(b, f.textCommand() + 4, 64); },
     "bad LC_SEGMENT_64"},
    {"ShortSegment", false,
     [](Bytes &b, const MachoBuilder &f) { put32(b, f.textCommand() + 4, 48); }, "bad LC_SEGMENT"},
    {"SegmentPastFile", true,
     [](Bytes &b, const MachoBuilder &f) { put64(b, f.textCommand() + 48, 0x1001); },
     "segment too large"},
    {"SegmentSizeOverflows", true,
     [](Bytes &b, const MachoBuilder &f) { put64(b, f.textCommand() + 32, 0x100000000ull); },
     "overflow"},
    {"MoreSectionsThanRoom", false,
     [](Bytes &b, const MachoBuilder &f) { put32(b, f.textCommand() + 48, 2); },
     "sections too small"},
    {"SectionPastSegment", true,
     [](Bytes &b, const MachoBuilder &f) { put64(b, f.textSection() + 40, 0xC01); },
     "section larger than segment"},
    {"SectionBeforeSegment", false,
     [](Bytes &b, const MachoBuilder &f) { put32(b, f.textSection() + 32, 0xFFF); },
     "section larger than segment"},
    {"NoCodeSection", true,
     [](Bytes &b, const MachoBuilder &f) { put32(b, f.textSection() + 64, 0x400); },
     "Resource-only executables are not yet supported"},
    // The segment bounds a section's addresses, not its file range.
    {"SectionFileRangePastImage", true,
     [](Bytes &b, const MachoBuilder &f) { put32(b, f.textSection() + 48, 0xF80); },
     "section outside image"},
};

INSTANTIATE_TEST_SUITE_P(Cases, MachoHeaderTest, ::testing::ValuesIn(kMachoHeaderCases),
                         [](const ::testing::TestParamInfo<MachoHeaderCase> &info) {
                             return std::string(info.param.name);
                         });

// --- Addresses, scan and walk ----------------------------------------------------------------

TEST(MachoLayoutTest, SegmentsWithoutSectionsDoNotCountIn64BitImages)
{
    for (bool is64 : {true, false}) {
        MachoBuilder builder;
        builder.is64 = is64;
        Bytes image = builder.build();
        const size_t size = image.size();
        image.resize(size + 100, 0xEE);
        DisassemblerMacho d(image.data(), image.size());
        ASSERT_TRUE(d.ParseHeader());
        // The image ends with the last segment's file range.
        EXPECT_EQ(d.length(), size);
        ASSERT_EQ(d.code_sections().size(), 1u);
        // 64-bit: the page zero is dropped and __TEXT starts at RVA 0; 32-bit: it is kept.
        EXPECT_EQ(d.code_sections()[0].address, is64 ? 0x400u : 0x1400u) << is64;
        EXPECT_EQ(d.RVAToFileOffset(is64 ? 0x400 : 0x1400), 0x400u);
        EXPECT_EQ(d.FileOffsetToRVA(0x400), is64 ? 0x400u : 0x1400u);
        EXPECT_EQ(d.RVAToFileOffset(0x7FFFFFFF), 0xFFFFFFFFu);
        EXPECT_EQ(d.RVAToPointer(0x7FFFFFFF), nullptr);

        AssemblyProgram program(d.kind());
        ASSERT_TRUE(d.Disassemble(&program));
        ASSERT_GE(program.instructionCount(), 1u);
        // Every literal byte, code included, is one byte instruction.
        EXPECT_EQ(countKind(program, INSN_BYTE), size);
        EXPECT_EQ(countKind(program, INSN_ORIGIN), 1u);
        EXPECT_TRUE(reassemble(program) == Bytes(image.begin(), image.begin() + size));
    }
}

struct MachoScanCase
{
    const char *name;
    bool is64;
    Bytes code; // at file offset 0x400
    std::vector<uint32_t> fields; // code offsets of the locations found
};

void PrintTo(const MachoScanCase &c, std::ostream *os)
{
    *os << c.name;
}

class MachoScanTest : public ::testing::TestWithParam<MachoScanCase>
{ };

TEST_P(MachoScanTest, FindsExactlyTheseLocations)
{
    const MachoScanCase &c = GetParam();
    MachoBuilder builder;
    builder.is64 = c.is64;
    std::copy(c.code.begin(), c.code.end(), builder.code.begin());
    Bytes image = builder.build();
    DisassemblerMacho d(image.data(), image.size());
    ASSERT_TRUE(d.ParseHeader());
    AssemblyProgram program(d.kind());
    ASSERT_TRUE(d.Disassemble(&program));
    const uint32_t text = c.is64 ? 0x400 : 0x1400;
    std::vector<uint32_t> found;
    for (uint32_t rva : d.rel32_locations())
        found.push_back(rva - text);
    EXPECT_EQ(found, c.fields);
    EXPECT_EQ(countKind(program, INSN_REL32), c.fields.size());
    EXPECT_TRUE(reassemble(program) == image);
}

// Targets at code offset 0x20 lie in __TEXT; 0x7FFF0000 further lies in no segment.
const MachoScanCase kMachoScanCases[] = {
    {"CallX64", true, {0xE8, 0x1B, 0, 0, 0}, {1}},
    {"CallX86", false, {0xE8, 0x1B, 0, 0, 0}, {1}},
    {"CallOutsideSegments", true, {0xE8, 0, 0, 0xFF, 0x7F}, {}},
    {"JeX86", false, {0x0F, 0x84, 0x1A, 0, 0, 0}, {2}},
    {"JpNever", true, {0x0F, 0x8A, 0x1A, 0, 0, 0}, {}},
    {"IndirectCallX64", true, {0xFF, 0x15, 0x1A, 0, 0, 0}, {2}},
    {"IndirectCallNeverX86", false, {0xFF, 0x15, 0x1A, 0, 0, 0}, {}},
    {"RipMovX64", true, {0x48, 0x8B, 0x05, 0x19, 0, 0, 0}, {3}},
    {"RipMovNeverX86", false, {0x48, 0x8B, 0x05, 0x19, 0, 0, 0}, {}},
};

INSTANTIATE_TEST_SUITE_P(Cases, MachoScanTest, ::testing::ValuesIn(kMachoScanCases),
                         [](const ::testing::TestParamInfo<MachoScanCase> &info) {
                             return std::string(info.param.name);
                         });

TEST(MachoLayoutTest, EmptyAndOverlappingCodeSectionsIn32BitImage)
{
    // __TEXT at 0x1000 over the whole file; three code sections: [0x400, 0x420), an empty one
    // at 0x440 and [0x410, 0x440), which overlaps the first. Calls at 0x400, 0x41A and 0x430.
    MachoBuilder builder;
    builder.is64 = false;
    const uint8_t code[] = {0xE8, 0x1B, 0, 0, 0};
    std::copy(code, code + 5, builder.code.begin());
    builder.code[0x1A] = 0xE8;
    std::fill(builder.code.begin() + 0x1B, builder.code.begin() + 0x1F, 0);
    builder.code[0x30] = 0xE8;
    std::fill(builder.code.begin() + 0x31, builder.code.begin() + 0x35, 0);
    Bytes image = builder.build();
    const size_t command = builder.textCommand();
    put32(image, command + 4, uint32_t(builder.segmentSize() + 3 * builder.sectionSize()));
    put32(image, command + 48, 3);
    const struct
    {
        uint32_t address, size, offset;
    } sections[] = {{0x1400, 0x20, 0x400}, {0x1440, 0, 0x440}, {0x1410, 0x30, 0x410}};
    for (size_t i = 0; i < 3; ++i) {
        const size_t at = builder.textSection() + i * builder.sectionSize();
        put32(image, at + 32, sections[i].address);
        put32(image, at + 36, sections[i].size);
        put32(image, at + 40, sections[i].offset);
        put32(image, at + 56, 0x80000400);
    }

    DisassemblerMacho d(image.data(), image.size());
    ASSERT_TRUE(d.ParseHeader()) << d.failure_reason();
    EXPECT_EQ(d.kind(), MACHO_X86);
    ASSERT_EQ(d.code_sections().size(), 3u);
    AssemblyProgram program(d.kind());
    ASSERT_TRUE(d.Disassemble(&program));
    // Each section is scanned: the call at 0x41A lies in two of them.
    EXPECT_EQ(d.rel32_locations(), (std::vector<uint32_t> {0x1401, 0x141B, 0x141B, 0x1431}));
    // The walk takes [0x400, 0x420), skips the overlapping section that starts before its end,
    // takes the empty one (an origin only) and then emits the rest as bytes.
    const std::string bytes(image.begin(), image.end());
    EXPECT_EQ(literalBytes(program),
              bytes.substr(0, 0x401) + "<4>" + bytes.substr(0x405, 0x16) + "<4>"
                  + bytes.substr(0x41F));
    EXPECT_EQ(countKind(program, INSN_ORIGIN), 2u);
    ASSERT_EQ(program.rel32Labels().size(), 2u);
    EXPECT_EQ(program.rel32Labels().begin()->first, 0x141Fu);
    EXPECT_EQ(program.rel32Labels().rbegin()->first, 0x1420u);
    EXPECT_TRUE(reassemble(program) == image);
}

// --- Fixture -------------------------------------------------------------------------------------

TEST(MachoFixtureTest, DisassemblesAndReassemblesExactly)
{
    const Bytes image = readFixture("macho_x64_bare");
    ASSERT_FALSE(image.empty());
    DisassemblerMacho d(image.data(), image.size());
    ASSERT_TRUE(d.ParseHeader()) << d.failure_reason();
    EXPECT_EQ(d.kind(), MACHO_X64);
    // __LINKEDIT has no sections, so it does not count: the image, and what reassembles from
    // it, ends with __DATA.
    EXPECT_EQ(d.length(), 8192u);
    EXPECT_LT(d.length(), image.size());
    AssemblyProgram program(d.kind());
    ASSERT_TRUE(d.Disassemble(&program));
    EXPECT_TRUE(program.abs32Labels().empty());
    EXPECT_EQ(program.rel32Labels().size(), 3u);
    EXPECT_EQ(countKind(program, INSN_REL32), 3u);
    EXPECT_TRUE(reassemble(program) == Bytes(image.begin(), image.begin() + d.length()));
}

TEST(MachoFixtureTest, HostileHeadersStayInsideTheBuffer)
{
    const Bytes image = readFixture("macho_x64_bare");
    uint64_t state = 0x5851F42D4C957F2Dull;
    const auto next = [&state]() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return uint32_t(state >> 33);
    };
    const size_t commands = 32 + (image[20] | image[21] << 8); // sizeofcmds
    int accepted = 0;
    for (int round = 0; round < 400; ++round) {
        Bytes copy = image;
        for (uint32_t edits = 1 + next() % 3; edits > 0; --edits) {
            const size_t at = (next() % commands) & ~size_t(3);
            const uint32_t values[]
                = {0,     1, 0xFFFFFFFFu, 0x80000000u, uint32_t(copy.size()), next(), next() % 256,
                   0x1000};
            put32(copy, at, values[next() % 8]);
        }
        std::unique_ptr<uint8_t[]> buffer(new uint8_t[copy.size()]);
        std::copy(copy.begin(), copy.end(), buffer.get());
        DisassemblerMacho d(buffer.get(), copy.size());
        if (d.ParseHeader()) {
            ++accepted;
            EXPECT_LE(d.length(), copy.size());
            AssemblyProgram program(d.kind());
            d.Disassemble(&program);
        }
    }
    EXPECT_GT(accepted, 0);
    // Cut inside the image (which ends before __LINKEDIT).
    for (size_t size = 0; size < 8192; size += 97) {
        std::unique_ptr<uint8_t[]> buffer(new uint8_t[size + 1]);
        std::copy(image.begin(), image.begin() + size, buffer.get());
        DisassemblerMacho d(buffer.get(), size);
        EXPECT_FALSE(d.ParseHeader()) << size;
    }
}

} // namespace
