#include "test_disassembler_elf.h"

using namespace elftest;

namespace {

// --- What reassembly gives back ---------------------------------------------------------------

TEST(ElfReassemblyTest, ReplacedX86TableIsRegenerated)
{
    RelocationImage r = buildRelocated(X86, {{0, 8}, {8, 8}});
    DisassemblerElf32X86 d(r.image.data(), r.image.size());
    ASSERT_TRUE(d.ParseHeader());
    AssemblyProgram program(EXE_ELF_32_X86);
    ASSERT_TRUE(d.Disassemble(&program));
    ASSERT_EQ(countKind(program, INSN_ELF_RELOCS), 1u);
    EXPECT_TRUE(reassemble(program) == r.image);
}

TEST(ElfReassemblyTest, ArmRunThatStopsShortComesBackWithoutItsEntries)
{
    RelocationImage r = buildRelocated(ARM, {{0, 23}, {12, 2}, {8, 23}, {12, 21}});
    DisassemblerElf32ARM d(r.image.data(), r.image.size());
    ASSERT_TRUE(d.ParseHeader());
    AssemblyProgram program(ELF_32_ARM);
    ASSERT_TRUE(d.Disassemble(&program));
    Bytes expected(r.image.begin(), r.image.begin() + r.builder.relOffset);
    expected.insert(expected.end(), r.image.begin() + r.builder.relOffset + 16, r.image.end());
    EXPECT_TRUE(reassemble(program) == expected);
}

TEST(ElfReassemblyTest, BytesPastTheImageAreNotReassembled)
{
    RelocationImage r = buildRelocated(ARM, {{0, 23}, {8, 23}});
    Bytes file = r.image;
    file.insert(file.end(), 100, 0x5A);
    DisassemblerElf32ARM d(file.data(), file.size());
    ASSERT_TRUE(d.ParseHeader());
    EXPECT_EQ(d.length(), r.image.size());
    AssemblyProgram program(ELF_32_ARM);
    ASSERT_TRUE(d.Disassemble(&program));
    EXPECT_EQ(countKind(program, INSN_ELF_ARM_RELOCS), 1u);
    EXPECT_TRUE(reassemble(program) == r.image);
}

class ElfFixtureReassemblyTest : public ::testing::TestWithParam<Fixture>
{ };

TEST_P(ElfFixtureReassemblyTest, ReassemblesToTheImage)
{
    const Fixture &f = GetParam();
    const Bytes image = readFixture(f.file);
    std::unique_ptr<DisassemblerElf> d = makeDisassembler(f.machine, image);
    ASSERT_TRUE(d->ParseHeader());
    AssemblyProgram program(d->kind());
    ASSERT_TRUE(d->Disassemble(&program));
    const Bytes assembled = reassemble(program);
    EXPECT_TRUE(assembled == image) << assembled.size() << " bytes against " << image.size();
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ElfFixtureReassemblyTest, ::testing::ValuesIn(kFixtures),
                         [](const ::testing::TestParamInfo<Fixture> &info) {
                             return std::string(info.param.file);
                         });

} // namespace
