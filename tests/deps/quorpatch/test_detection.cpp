#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "assemblyprogram.h"
#include "detection.h"
#include "disassembler.h"
#include "disassemblerwin32x64.h"
#include "disassemblerwin32x86.h"
#include "fixturefiles.h"

using namespace quorpatch;

namespace {

typedef std::vector<u8> Bytes;

TEST(ExecutableDetection, ShortBuffersAreNoExecutable)
{
    const Bytes cases[] = {Bytes(),
                           Bytes {0x7F},
                           Bytes {0x7F, 'E', 'L', 'F'},
                           Bytes {'M', 'Z'},
                           Bytes {0xCE, 0xFA, 0xED, 0xFE},
                           Bytes(64, 0x00)};
    for (const Bytes &buffer : cases) {
        ExecutableType type = MACHO_X64;
        std::size_t length = 99;
        EXPECT_EQ(DetectExecutableType(buffer.data(), buffer.size(), &type, &length),
                  STATUS_NOT_EXECUTABLE);
        EXPECT_EQ(type, EXE_UNKNOWN);
        EXPECT_EQ(length, 0u);
        EXPECT_EQ(DetectDisassembler(buffer.data(), buffer.size()), nullptr);

        AssemblyProgram *program = reinterpret_cast<AssemblyProgram *>(&type);
        EXPECT_EQ(ParseDetectedExecutable(buffer.data(), buffer.size(), &program),
                  STATUS_NOT_EXECUTABLE);
        EXPECT_EQ(program, nullptr);
    }
}

TEST(ExecutableDetection, DeleteOfNoProgramDoesNothing)
{
    DeleteAssemblyProgram(nullptr);
}

struct DetectionCase
{
    const char *name;
    const char *file;
    ExecutableType type;
};

void PrintTo(const DetectionCase &c, std::ostream *os)
{
    *os << c.name;
}

class ExecutableDetectionOfFixtures : public ::testing::TestWithParam<DetectionCase>
{ };

TEST_P(ExecutableDetectionOfFixtures, FindsTheTypeAndTheImageLength)
{
    const Bytes file = qvxtest::Fixture(GetParam().file);
    ExecutableType type = EXE_UNKNOWN;
    std::size_t length = 0;
    ASSERT_EQ(DetectExecutableType(file.data(), file.size(), &type, &length), STATUS_OK);
    EXPECT_EQ(type, GetParam().type);
    EXPECT_GT(length, 0u);
    EXPECT_LE(length, file.size());

    // Bytes after the image do not belong to it.
    Bytes padded = file;
    padded.insert(padded.end(), 4096, 0xCC);
    ExecutableType paddedType = EXE_UNKNOWN;
    std::size_t paddedLength = 0;
    ASSERT_EQ(DetectExecutableType(padded.data(), padded.size(), &paddedType, &paddedLength),
              STATUS_OK);
    EXPECT_EQ(paddedType, type);
    EXPECT_EQ(paddedLength, length);

    std::unique_ptr<Disassembler> disassembler(DetectDisassembler(file.data(), file.size()));
    ASSERT_NE(disassembler, nullptr);
    EXPECT_EQ(disassembler->kind(), type);
    EXPECT_EQ(disassembler->failure_reason(), nullptr);
}

TEST_P(ExecutableDetectionOfFixtures, ParsesIntoAProgramOfTheDetectedKind)
{
    const Bytes file = qvxtest::Fixture(GetParam().file);
    AssemblyProgram *program = nullptr;
    ASSERT_EQ(ParseDetectedExecutable(file.data(), file.size(), &program), STATUS_OK);
    ASSERT_NE(program, nullptr);
    EXPECT_EQ(program->kind(), GetParam().type);
    EXPECT_GT(program->instructionCount(), 0u);
    DeleteAssemblyProgram(program);
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, ExecutableDetectionOfFixtures,
    ::testing::Values(DetectionCase {"Elf32X86Pie", "elf32_x86_pie_v1", EXE_ELF_32_X86},
                      DetectionCase {"Elf32X86Bare", "elf32_x86_bare", EXE_ELF_32_X86},
                      DetectionCase {"Elf64X64Pie", "elf64_x64_pie_v1", ELF_64_X64},
                      DetectionCase {"Elf64X64Bare", "elf64_x64_bare", ELF_64_X64},
                      DetectionCase {"Elf32ArmPie", "elf32_arm_pie_v1", ELF_32_ARM},
                      DetectionCase {"Pe32", "pe32_x86_v1.exe", WIN_32_X86},
                      DetectionCase {"Pe32Plus", "pe64_x64_v1.exe", WIN_32_X64},
                      DetectionCase {"MachoX64", "macho_x64_bare", MACHO_X64}),
    [](const ::testing::TestParamInfo<DetectionCase> &info) { return info.param.name; });

// A PE32+ image is refused by the PE32 disassembler, which comes first, and taken by the
// second candidate.
TEST(ExecutableDetection, Pe32PlusIsTakenByTheSecondCandidate)
{
    const Bytes file = qvxtest::Fixture("pe64_x64_v1.exe");
    DisassemblerWin32X86 first(file.data(), file.size());
    EXPECT_FALSE(first.ParseHeader());
    EXPECT_STREQ(first.failure_reason(),
                 "64 bit executables are not supported by this disassembler");

    std::unique_ptr<Disassembler> detected(DetectDisassembler(file.data(), file.size()));
    ASSERT_NE(detected, nullptr);
    EXPECT_NE(dynamic_cast<DisassemblerWin32X64 *>(detected.get()), nullptr);
}

// A PE32 image never reaches the later candidates.
TEST(ExecutableDetection, Pe32IsTakenByTheFirstCandidate)
{
    const Bytes file = qvxtest::Fixture("pe32_x86_v1.exe");
    std::unique_ptr<Disassembler> detected(DetectDisassembler(file.data(), file.size()));
    ASSERT_NE(detected, nullptr);
    EXPECT_NE(dynamic_cast<DisassemblerWin32X86 *>(detected.get()), nullptr);
}

} // namespace
