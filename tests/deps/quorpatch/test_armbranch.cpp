#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "armbranch.h"

using quorpatch::ArmBranchCompression;

namespace {

struct BranchCase
{
    const char *name;
    uint32_t kind;
    uint32_t instruction;
    uint32_t rva;
    uint16_t compressedOp;
    uint32_t offset; // target - rva
};

// Encodings worked out by hand from the instruction set manual.
const BranchCase kBranchCases[] = {
    {"thumb beq self", 0, 0xD0FE, 0x100, 0x10D0, 0},
    {"thumb bne +6", 0, 0xD101, 0x100, 0x10D1, 6},
    {"thumb bcc min", 0, 0xD380, 0x100, 0x10D3, static_cast<uint32_t>(-252)},
    {"thumb b self", 1, 0xE7FE, 0x102, 0x201C, 0},
    {"thumb b +4", 1, 0xE000, 0x102, 0x201C, 4},
    {"thumb b max", 1, 0xE3FF, 0x102, 0x201C, 2050},
    {"arm bl +8", 2, 0xEB000000, 0x1000, 0x30EB, 8},
    {"arm b self", 2, 0xEAFFFFFE, 0x1000, 0x30EA, 0},
    {"arm blne back", 2, 0x1BFFFFF0, 0x1000, 0x301B, static_cast<uint32_t>(-56)},
    {"thumb2 bl +4", 3, 0xF000F800, 0x200, 0x44F7, 4},
    {"thumb2 bl self", 3, 0xF7FFFFFE, 0x200, 0x44F7, 0},
    {"thumb2 bl far", 3, 0xF000F801, 0x200, 0x44F7, 6},
    {"thumb2 b.w +4", 3, 0xF000B800, 0x200, 0x44F5, 4},
    {"thumb2 blx aligned", 3, 0xF000E800, 0x200, 0x44F6, 4},
    {"thumb2 blx unaligned", 3, 0xF000E800, 0x202, 0x42F6, 2},
    {"thumb2 blx unaligned back", 3, 0xF7FFEFFE, 0x206, 0x42F6, static_cast<uint32_t>(-2)},
    {"thumb2 beq.w +4", 4, 0xF0008000, 0x300, 0x5000, 4},
    {"thumb2 bne.w +4", 4, 0xF0408000, 0x300, 0x5001, 4},
    {"thumb2 beq.w self", 4, 0xF43FAFFE, 0x300, 0x5000, 0},
};

} // namespace

TEST(ArmBranchTable, CompressGivesOpAndOffset)
{
    for (const BranchCase &c : kBranchCases) {
        SCOPED_TRACE(c.name);
        uint16_t op = 0;
        uint32_t offset = 0;
        ASSERT_TRUE(ArmBranchCompression::Compress(c.kind, c.instruction, c.rva, &op, &offset));
        EXPECT_EQ(op, c.compressedOp);
        EXPECT_EQ(offset, c.offset);
        EXPECT_EQ(static_cast<uint32_t>(op >> 12), c.kind + 1);
    }
}

TEST(ArmBranchTable, DecompressGivesInstructionBack)
{
    for (const BranchCase &c : kBranchCases) {
        SCOPED_TRACE(c.name);
        uint32_t instruction = 0;
        ASSERT_TRUE(
            ArmBranchCompression::Decompress(c.kind, c.compressedOp, c.offset, &instruction));
        EXPECT_EQ(instruction, c.instruction);
    }
}

TEST(ArmBranchTable, KindAboveFourRefused)
{
    for (uint32_t kind : {5u, 6u, 15u, 0xFFFFFFFFu}) {
        uint16_t op = 0x1234;
        uint32_t offset = 0x5678;
        EXPECT_FALSE(ArmBranchCompression::Compress(kind, 0xF000F800, 0, &op, &offset));
        uint32_t instruction = 0;
        EXPECT_FALSE(ArmBranchCompression::Decompress(kind, 0x1000, 0, &instruction));
        EXPECT_EQ(ArmBranchCompression::OpSize(kind), 0xFFFF);
    }
    const uint16_t sizes[] = {2, 2, 4, 4, 4};
    for (uint32_t kind = 0; kind < 5; ++kind)
        EXPECT_EQ(ArmBranchCompression::OpSize(kind), sizes[kind]);
}

// Any instruction of a kind's form survives Compress then Decompress, at any RVA.
TEST(ArmBranchTable, RoundTripEveryKind)
{
    std::mt19937 random(20110216);
    for (uint32_t kind = 0; kind < 5; ++kind) {
        SCOPED_TRACE(kind);
        for (int n = 0; n < 20000; ++n) {
            const uint32_t bits = random();
            const uint32_t rva = random() & ~1u;
            uint32_t instruction = 0;
            uint32_t expected = 0;
            switch (kind) {
            case 0:
                instruction = (bits & 0x0FFFu) | 0xD000u;
                expected = instruction;
                break;
            case 1:
                instruction = (bits & 0x07FFu) | 0xE000u;
                expected = instruction;
                break;
            case 2:
                instruction = (bits & ~0x0E000000u) | 0x0A000000u;
                expected = instruction;
                break;
            case 3:
                instruction = (bits & ~0xF8008000u) | 0xF0008000u;
                if ((instruction & 0x5000u) == 0)
                    instruction |= (bits & 1) ? 0x4000u : 0x1000u;
                expected = instruction;
                break;
            case 4:
                instruction = (bits & ~0xF800D000u) | 0xF0008000u;
                expected = instruction;
                break;
            }
            uint16_t op = 0;
            uint32_t offset = 0;
            ASSERT_TRUE(ArmBranchCompression::Compress(kind, instruction, rva, &op, &offset));
            uint32_t back = 0;
            ASSERT_TRUE(ArmBranchCompression::Decompress(kind, op, offset, &back));
            ASSERT_EQ(back, expected) << std::hex << instruction << " at " << rva;
        }
    }
}
