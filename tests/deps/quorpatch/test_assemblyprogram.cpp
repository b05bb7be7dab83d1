#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "assemblyprogram.h"
#include "encodedprogram.h"
#include "nothrowvector.h"
#include "test_assemblylog.h"

using namespace quorpatch;

namespace {

typedef std::pair<int, std::string> Line;

std::map<uint32_t, int32_t> IndicesOf(const AssemblyProgram::RVAToLabel &labels)
{
    std::map<uint32_t, int32_t> indices;
    for (const auto &entry : labels)
        indices[entry.first] = entry.second->index;
    return indices;
}

} // namespace

TEST(AssemblyProgramLabels, LookUpCountsEveryReference)
{
    AssemblyProgram program(EXE_ELF_32_X86);
    Label *first = program.FindOrMakeRel32Label(0x1000);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->rva, 0x1000u);
    EXPECT_EQ(first->index, -1);
    EXPECT_EQ(first->count, 1);
    EXPECT_EQ(program.FindOrMakeRel32Label(0x1000), first);
    EXPECT_EQ(program.FindOrMakeRel32Label(0x1000), first);
    EXPECT_EQ(first->count, 3);

    // The two maps are apart: the same RVA is another label there.
    Label *abs = program.FindOrMakeAbs32Label(0x1000);
    ASSERT_NE(abs, nullptr);
    EXPECT_NE(abs, first);
    EXPECT_EQ(abs->count, 1);
    EXPECT_EQ(program.rel32Labels().size(), 1u);
    EXPECT_EQ(program.abs32Labels().size(), 1u);
}

TEST(AssemblyProgramLabels, AssignIndexesInOrderRanksByRva)
{
    AssemblyProgram program(EXE_ELF_32_X86);
    for (uint32_t rva : {0x300u, 0x100u, 0x200u})
        program.FindOrMakeRel32Label(rva);
    for (uint32_t rva : {0x50u, 0x10u})
        program.FindOrMakeAbs32Label(rva);

    ProgramLogLines log;
    ASSERT_TRUE(program.AssignIndexesInOrder());
    EXPECT_TRUE(log.lines.empty());
    EXPECT_EQ(IndicesOf(program.rel32Labels()),
              (std::map<uint32_t, int32_t> {{0x100, 0}, {0x200, 1}, {0x300, 2}}));
    EXPECT_EQ(IndicesOf(program.abs32Labels()),
              (std::map<uint32_t, int32_t> {{0x10, 0}, {0x50, 1}}));

    // Labels that already hold an index are reported and renumbered all the same.
    program.FindOrMakeRel32Label(0x250)->index = 7;
    program.FindOrMakeRel32Label(0x100)->index = 9;
    ASSERT_TRUE(program.AssignIndexesInOrder());
    EXPECT_EQ(log.lines.size(), 6u); // every label of both maps
    for (const Line &line : log.lines)
        EXPECT_EQ(line, Line(1, "REACHED UNREACHABLE"));
    EXPECT_EQ(IndicesOf(program.rel32Labels()),
              (std::map<uint32_t, int32_t> {{0x100, 0}, {0x200, 1}, {0x250, 2}, {0x300, 3}}));

    ASSERT_TRUE(program.ClearIndexes());
    for (const auto &entry : program.rel32Labels())
        EXPECT_EQ(entry.second->index, -1);
    for (const auto &entry : program.abs32Labels())
        EXPECT_EQ(entry.second->index, -1);
}

TEST(AssemblyProgramLabels, FillUnassignedIndexes)
{
    const struct
    {
        const char *name;
        std::vector<std::pair<uint32_t, int32_t>> before;
        std::map<uint32_t, int32_t> after;
        const char *used;
        const char *fill;
    } cases[] = {
        {"worked example",
         {{10, -1}, {20, 0}, {30, -1}, {40, -1}, {50, 5}},
         {{10, 3}, {20, 0}, {30, 1}, {40, 2}, {50, 5}},
         "2 of 5 labels pre-assigned",
         "  fill forward 2  backward 0  infill 1"},
        {"backward fill",
         {{10, -1}, {20, 3}, {30, 0}, {40, -1}},
         {{10, 2}, {20, 3}, {30, 0}, {40, 1}},
         "2 of 4 labels pre-assigned",
         "  fill forward 1  backward 1  infill 0"},
        {"nothing assigned",
         {{10, -1}, {20, -1}, {30, -1}},
         {{10, 0}, {20, 1}, {30, 2}},
         "0 of 3 labels pre-assigned",
         "  fill forward 3  backward 0  infill 0"},
        {"only the last assigned",
         {{10, -1}, {20, -1}, {30, 1}},
         {{10, 0}, {20, 2}, {30, 1}},
         "1 of 3 labels pre-assigned",
         "  fill forward 1  backward 0  infill 1"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        AssemblyProgram program(EXE_ELF_32_X86);
        for (const auto &label : c.before)
            program.FindOrMakeRel32Label(label.first)->index = label.second;

        ProgramLogLines log;
        ASSERT_TRUE(program.FillUnassignedIndexes());
        EXPECT_EQ(IndicesOf(program.rel32Labels()), c.after);
        // The empty abs32 map comes first.
        const std::vector<Line> expected = {
            {3, "0 of 0 labels pre-assigned"},
            {3, "  fill forward 0  backward 0  infill 0"},
            {3, c.used},
            {3, c.fill},
        };
        EXPECT_EQ(log.lines, expected);
    }
}

TEST(AssemblyProgramLabels, LabelOfInstruction)
{
    AssemblyProgram program(ELF_32_ARM);
    Label *rel = program.FindOrMakeRel32Label(0x40);
    Label *abs = program.FindOrMakeAbs32Label(0x80);
    const uint8_t branch[4] = {0, 0xF0, 0, 0xF8};
    ASSERT_TRUE(program.EmitRel32(rel));
    ASSERT_TRUE(program.EmitAbs32(abs));
    ASSERT_TRUE(program.EmitRel32Arm(0x44F7, rel, branch, 4));
    ASSERT_TRUE(program.EmitByte(1));
    ASSERT_EQ(program.instructionCount(), 4u);

    const Label *expectedRel[] = {rel, nullptr, rel, nullptr};
    const Label *expectedAbs[] = {nullptr, abs, nullptr, nullptr};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(program.Rel32LabelOf(program.instruction(i)), expectedRel[i]) << i;
        EXPECT_EQ(program.Abs32LabelOf(program.instruction(i)), expectedAbs[i]) << i;
    }
}

TEST(AssemblyProgramLabels, PrintRel32LabelCountsOfIndexedLabels)
{
    AssemblyProgram program(EXE_ELF_32_X86);
    for (int i = 0; i < 3; ++i)
        program.FindOrMakeRel32Label(0x20);
    program.FindOrMakeRel32Label(0x10);
    program.AssignIndexesInOrder();
    program.FindOrMakeRel32Label(0x30); // no index: not printed

    testing::internal::CaptureStdout();
    program.PrintRel32LabelCounts();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "1\n3\n");
}

TEST(AssemblyProgramEmit, InstructionsInOrder)
{
    AssemblyProgram program(WIN_32_X86);
    EXPECT_EQ(program.kind(), WIN_32_X86);
    EXPECT_EQ(program.imageBase(), 0u);
    program.setImageBase(0x400000);
    EXPECT_EQ(program.imageBase(), 0x400000u);

    const uint8_t image[6] = {1, 2, 3, 4, 5, 6};
    Label *label = program.FindOrMakeRel32Label(0x1234);
    ASSERT_TRUE(program.EmitOrigin(0x1000));
    ASSERT_TRUE(program.EmitByte(0xAB));
    ASSERT_TRUE(program.EmitBytes(image, 6));
    ASSERT_TRUE(program.EmitRel32(label));
    ASSERT_TRUE(program.EmitAbs32(label));
    ASSERT_TRUE(program.EmitPeRelocs());
    ASSERT_TRUE(program.EmitElfRelocs());
    ASSERT_TRUE(program.EmitElfArmRelocs());
    ASSERT_TRUE(program.EmitRel32Arm(0x30EB, label, image + 2, 4));
    ASSERT_TRUE(program.EmitByte(0xAB));

    const InstructionKind kinds[]
        = {INSN_ORIGIN,    INSN_BYTE,       INSN_BYTES,          INSN_REL32,     INSN_ABS32,
           INSN_PE_RELOCS, INSN_ELF_RELOCS, INSN_ELF_ARM_RELOCS, INSN_REL32_ARM, INSN_BYTE};
    ASSERT_EQ(program.instructionCount(), 10u);
    for (size_t i = 0; i < 10; ++i)
        EXPECT_EQ(program.instruction(i)->op(), kinds[i]) << i;

    EXPECT_EQ(static_cast<const OriginInstruction *>(program.instruction(0))->originRva(), 0x1000u);
    // The byte value rides in the info bits of the first word.
    EXPECT_EQ(program.instruction(1)->info(), 0xABu);
    EXPECT_EQ(static_cast<const ByteInstruction *>(program.instruction(1))->byteValue(), 0xAB);
    // One shared instruction per byte value.
    EXPECT_EQ(program.instruction(1), program.instruction(9));
    const auto *bytes = static_cast<const BytesInstruction *>(program.instruction(2));
    EXPECT_EQ(bytes->bytes(), image);
    EXPECT_EQ(bytes->count(), 6u);
    const auto *arm = static_cast<const InstructionWithLabelARM *>(program.instruction(8));
    EXPECT_EQ(arm->compressedOp(), 0x30EB);
    EXPECT_EQ(arm->label(), label);
    EXPECT_EQ(arm->armOp(), image + 2);
    EXPECT_EQ(arm->opSize(), 4);
}

TEST(AssemblyProgramEmit, MissingLabelIsReportedAndKept)
{
    AssemblyProgram program(ELF_32_ARM);
    ProgramLogLines log;
    ASSERT_TRUE(program.EmitRel32(nullptr));
    EXPECT_EQ(log.lines, (std::vector<Line> {{1, "REACHED UNREACHABLE"}}));
    log.lines.clear();
    ASSERT_TRUE(program.EmitRel32Arm(0x1000, nullptr, nullptr, 2));
    EXPECT_EQ(log.lines, (std::vector<Line>(2, Line(1, "REACHED UNREACHABLE"))));
    EXPECT_EQ(program.instructionCount(), 2u);
}

TEST(AssemblyProgramTrim, OnlyArmProgramsAreTrimmed)
{
    for (ExecutableType kind :
         {EXE_UNKNOWN, WIN_32_X86, EXE_ELF_32_X86, WIN_32_X64, ELF_64_X64, MACHO_X86, MACHO_X64}) {
        SCOPED_TRACE(kind);
        AssemblyProgram program(kind);
        const uint8_t branch[2] = {0xFE, 0xE7};
        Label *label = program.FindOrMakeRel32Label(0x10);
        ASSERT_TRUE(program.EmitRel32Arm(0x201C, label, branch, 2));
        ProgramLogLines log;
        EXPECT_EQ(TrimLabels(&program), STATUS_OK);
        EXPECT_TRUE(log.lines.empty());
        EXPECT_EQ(program.rel32Labels().size(), 1u);
        EXPECT_EQ(program.instruction(0)->op(), INSN_REL32_ARM);
    }
}

TEST(AssemblyProgramTrim, LabelsReferencedFiveTimesOrLessBecomeBytes)
{
    AssemblyProgram program(ELF_32_ARM);
    const uint8_t image[12] = {0xFE, 0xE7, 0x00, 0xF0, 0x00, 0xF8, 0, 0, 0, 0xEB, 0xFE, 0xD0};
    Label *rare = nullptr;
    for (int i = 0; i < 5; ++i)
        rare = program.FindOrMakeRel32Label(0x100);
    Label *common = nullptr;
    for (int i = 0; i < 6; ++i)
        common = program.FindOrMakeRel32Label(0x200);
    Label *abs = program.FindOrMakeAbs32Label(0x300);
    program.AssignIndexesInOrder();

    ASSERT_TRUE(program.EmitRel32Arm(0x201C, rare, image, 2));
    ASSERT_TRUE(program.EmitRel32Arm(0x44F7, common, image + 2, 4));
    ASSERT_TRUE(program.EmitAbs32(abs));
    ASSERT_TRUE(program.EmitRel32Arm(0x30EB, rare, image + 6, 4));
    ASSERT_TRUE(program.EmitRel32Arm(0x10D0, common, image + 10, 2));

    ProgramLogLines log;
    EXPECT_EQ(TrimLabels(&program), STATUS_OK);
    EXPECT_EQ(log.lines, (std::vector<Line> {{3, "TrimLabels: threshold 5"}}));

    ASSERT_EQ(program.rel32Labels().size(), 1u);
    EXPECT_EQ(program.rel32Labels().begin()->second, common);
    EXPECT_EQ(common->index, 1); // trimming keeps the indices
    EXPECT_EQ(program.abs32Labels().size(), 1u);

    ASSERT_EQ(program.instructionCount(), 5u);
    const struct
    {
        InstructionKind kind;
        const uint8_t *bytes;
        uint32_t count;
    } expected[] = {
        {INSN_BYTES, image, 2},     {INSN_REL32_ARM, nullptr, 0}, {INSN_ABS32, nullptr, 0},
        {INSN_BYTES, image + 6, 4}, {INSN_REL32_ARM, nullptr, 0},
    };
    for (size_t i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(program.instruction(i)->op(), expected[i].kind);
        if (expected[i].kind == INSN_BYTES) {
            const auto *bytes = static_cast<const BytesInstruction *>(program.instruction(i));
            EXPECT_EQ(bytes->bytes(), expected[i].bytes);
            EXPECT_EQ(bytes->count(), expected[i].count);
        }
    }

    // The trimmed label's slot stays a gap in the encoded table.
    EncodedProgram *encoded = nullptr;
    ASSERT_EQ(Encode(&program, &encoded), STATUS_OK);
    EXPECT_EQ(std::vector<uint32_t>(encoded->rel32Rvas().begin(), encoded->rel32Rvas().end()),
              (std::vector<uint32_t> {0, 0x200}));
    EXPECT_EQ(std::vector<uint32_t>(encoded->ops().begin(), encoded->ops().end()),
              (std::vector<uint32_t> {EncodedProgram::OP_COPY, 0x44F7, EncodedProgram::OP_ABS32,
                                      EncodedProgram::OP_COPY, 0x10D0}));
    DeleteEncodedProgram(encoded);
}

TEST(AssemblyProgramTrim, TrimmedBranchWithoutSizeFails)
{
    AssemblyProgram program(ELF_32_ARM);
    const uint8_t image[4] = {};
    Label *label = program.FindOrMakeRel32Label(0x100);
    ASSERT_TRUE(program.EmitRel32Arm(0x3000, label, image, 0));
    EXPECT_EQ(TrimLabels(&program), STATUS_TRIM_FAILED);
}

TEST(AssemblyProgramEncode, EveryInstructionKind)
{
    AssemblyProgram program(WIN_32_X64);
    program.setImageBase(0x140000000ull);
    const uint8_t image[3] = {7, 8, 9};
    Label *rel = program.FindOrMakeRel32Label(0x2000);
    Label *rel2 = program.FindOrMakeRel32Label(0x1800);
    Label *abs = program.FindOrMakeAbs32Label(0x3000);
    program.AssignIndexesInOrder();

    ASSERT_TRUE(program.EmitOrigin(0x1000));
    ASSERT_TRUE(program.EmitByte(0x55));
    ASSERT_TRUE(program.EmitBytes(image, 3));
    ASSERT_TRUE(program.EmitRel32(rel));
    ASSERT_TRUE(program.EmitAbs32(abs));
    ASSERT_TRUE(program.EmitByte(0x66));
    ASSERT_TRUE(program.EmitRel32Arm(0x30EB, rel2, image, 4));
    ASSERT_TRUE(program.EmitPeRelocs());
    ASSERT_TRUE(program.EmitElfRelocs());
    ASSERT_TRUE(program.EmitElfArmRelocs());

    EncodedProgram *encoded = reinterpret_cast<EncodedProgram *>(1);
    ASSERT_EQ(Encode(&program, &encoded), STATUS_OK);
    ASSERT_NE(encoded, nullptr);
    auto list = [](const NoThrowVector<uint32_t> &v) {
        return std::vector<uint32_t>(v.begin(), v.end());
    };
    EXPECT_EQ(encoded->imageBase(), 0x140000000ull);
    EXPECT_EQ(list(encoded->rel32Rvas()), (std::vector<uint32_t> {0x1800, 0x2000}));
    EXPECT_EQ(list(encoded->abs32Rvas()), (std::vector<uint32_t> {0x3000}));
    EXPECT_EQ(
        list(encoded->ops()),
        (std::vector<uint32_t> {EncodedProgram::OP_ORIGIN, EncodedProgram::OP_COPY,
                                EncodedProgram::OP_REL32, EncodedProgram::OP_ABS32,
                                EncodedProgram::OP_COPY1, 0x30EB, EncodedProgram::OP_PE64_RELOCS,
                                EncodedProgram::OP_ELF_RELOCS, EncodedProgram::OP_ELF_ARM_RELOCS}));
    EXPECT_EQ(list(encoded->origins()), (std::vector<uint32_t> {0x1000}));
    EXPECT_EQ(list(encoded->copyCounts()), (std::vector<uint32_t> {4}));
    EXPECT_EQ(std::vector<uint8_t>(encoded->copyBytes().begin(), encoded->copyBytes().end()),
              (std::vector<uint8_t> {0x55, 7, 8, 9, 0x66}));
    EXPECT_EQ(list(encoded->rel32Indices()), (std::vector<uint32_t> {1, 0}));
    EXPECT_EQ(list(encoded->abs32Indices()), (std::vector<uint32_t> {0}));
    DeleteEncodedProgram(encoded);
}

TEST(AssemblyProgramEncode, EmptyProgramKeepsLabelTables)
{
    AssemblyProgram program(EXE_ELF_32_X86);
    program.FindOrMakeAbs32Label(0x30);
    program.FindOrMakeAbs32Label(0x10);
    program.FindOrMakeRel32Label(0x20);
    program.AssignIndexesInOrder();
    EncodedProgram *encoded = nullptr;
    ASSERT_EQ(Encode(&program, &encoded), STATUS_OK);
    EXPECT_EQ(encoded->abs32Rvas().size(), 2u);
    EXPECT_EQ(encoded->abs32Rvas()[0], 0x10u);
    EXPECT_EQ(encoded->abs32Rvas()[1], 0x30u);
    EXPECT_EQ(encoded->rel32Rvas().size(), 1u);
    EXPECT_EQ(encoded->ops().size(), 0u);
    DeleteEncodedProgram(encoded);
}

TEST(AssemblyProgramEncode, UnindexedLabelFails)
{
    AssemblyProgram program(EXE_ELF_32_X86);
    ASSERT_TRUE(program.EmitRel32(program.FindOrMakeRel32Label(0x20)));
    EncodedProgram *encoded = reinterpret_cast<EncodedProgram *>(1);
    EXPECT_EQ(Encode(&program, &encoded), STATUS_GENERAL_ERROR);
    EXPECT_EQ(encoded, nullptr);
}

// Every allocation of the program may fail: the operation reports it, the program stays sound
// and a later call can succeed.
TEST(AssemblyProgramMemory, FailedAllocationsAreReported)
{
    AssemblyProgram program(ELF_32_ARM);
    {
        ScopedAllocationFailure fail(0);
        EXPECT_FALSE(program.EmitOrigin(1));
    }
    EXPECT_EQ(program.instructionCount(), 0u);

    // The shared byte table: its 40th instruction fails, then a retry makes all of them.
    {
        ScopedAllocationFailure fail(40);
        EXPECT_FALSE(program.EmitByte(3));
    }
    EXPECT_EQ(program.instructionCount(), 0u);
    EXPECT_TRUE(program.EmitByte(3));

    // A full instruction list that cannot grow keeps what it holds.
    for (int i = 1; i < 32; ++i)
        ASSERT_TRUE(program.EmitOrigin(i));
    {
        ScopedAllocationFailure fail(1); // the instruction is made, the list cannot grow
        EXPECT_FALSE(program.EmitOrigin(99));
    }
    EXPECT_EQ(program.instructionCount(), 32u);
    EXPECT_TRUE(program.EmitOrigin(99));
    EXPECT_EQ(program.instructionCount(), 33u);

    // A label look-up: the map's slot, then the label itself.
    for (long long successes : {0, 1}) {
        ScopedAllocationFailure fail(successes);
        EXPECT_EQ(program.FindOrMakeRel32Label(0x40), nullptr);
    }
    EXPECT_TRUE(program.rel32Labels().empty());
    Label *label = program.FindOrMakeRel32Label(0x40);
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->count, 1);

    program.AssignIndexesInOrder();
    {
        ScopedAllocationFailure fail(0);
        EncodedProgram *encoded = reinterpret_cast<EncodedProgram *>(1);
        EXPECT_EQ(Encode(&program, &encoded), STATUS_GENERAL_ERROR);
        EXPECT_EQ(encoded, nullptr);
    }
    // Each later allocation of encoding fails in turn; none leaks or crashes.
    for (long long successes = 1; successes < 8; ++successes) {
        ScopedAllocationFailure fail(successes);
        EncodedProgram *encoded = nullptr;
        if (Encode(&program, &encoded) == STATUS_OK)
            DeleteEncodedProgram(encoded);
    }
    {
        ScopedAllocationFailure fail(0);
        EXPECT_FALSE(program.FillUnassignedIndexes());
    }
}
