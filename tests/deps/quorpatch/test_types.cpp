#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "log.h"
#include "logmessage.h"
#include "types.h"

using namespace quorpatch;

TEST(QuorpatchTypesTest, StatusCodes)
{
    const struct
    {
        int status;
        int code;
    } cases[] = {
        {STATUS_OK, 1},
        {STATUS_GENERAL_ERROR, 2},
        {STATUS_PATCH_FILE_ERROR, 3},
        {STATUS_FILE_ERROR, 4},
        {STATUS_BAD_MAGIC, 5},
        {STATUS_BAD_VERSION, 6},
        {STATUS_BAD_HEADER, 7},
        {STATUS_CHECKSUM_MISMATCH, 8},
        {STATUS_BAD_ELEMENT, 12},
        {STATUS_STREAM_ERROR, 20},
        {STATUS_STREAM_NOT_CONSUMED, 21},
        {STATUS_READ_PROGRAM_FAILED, 23},
        {STATUS_NOT_EXECUTABLE, 24},
        {STATUS_DISASSEMBLY_FAILED, 25},
        {STATUS_ASSEMBLY_FAILED, 26},
        {STATUS_TRIM_FAILED, 28},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.status, c.code);
}

TEST(QuorpatchTypesTest, ExecutableTypeNames)
{
    const struct
    {
        int type;
        const char *name;
    } cases[] = {
        {-1, "UNKNOWN"},
        {EXE_UNKNOWN, "UNKNOWN"},
        {WIN_32_X86, "WIN_32_X86"},
        {2, "EXE_ELF_32_X86"},
        {ELF_32_ARM, "ELF_32_ARM"},
        {WIN_32_X64, "WIN_32_X64"},
        {ELF_64_X64, "ELF_64_X64"},
        {MACHO_X86, "MACHO_X86"},
        {7, "MACHO_X64"},
        {8, "UNKNOWN"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ExecutableTypeName(c.type), c.name) << c.type;
}

namespace {

class LineCollector : public LogBase
{
public:
    void flush() override { }
    void receiveValue(u64) override { }
    void write(const std::string &message, int level, const std::string &channel, u64 id,
               const std::string &, const std::string &) override
    {
        messages.push_back(message);
        levels.push_back(level);
        channels.push_back(channel);
        ids.push_back(id);
    }
    std::vector<std::string> messages;
    std::vector<int> levels;
    std::vector<std::string> channels;
    std::vector<u64> ids;
};

} // namespace

TEST(QuorpatchLogMessageTest, OneLinePerStatementAtDestruction)
{
    LineCollector collector;
    {
        LogMessage message(LogLevel_ERROR);
        message.stream() << "value " << 42;
        EXPECT_TRUE(collector.messages.empty()) << "logged only when the statement ends";
    }
    QP_LOG(LogLevel_DEBUG) << "first" << '\n' << "second";
    LogMessage(LogLevel_INFO, "chan", 5).stream() << "tagged";

    ASSERT_EQ(collector.messages.size(), 3u);
    EXPECT_EQ(collector.messages[0], "value 42");
    EXPECT_EQ(collector.levels[0], LogLevel_ERROR);
    EXPECT_EQ(collector.channels[0], "");
    EXPECT_EQ(collector.ids[0], 0u);
    EXPECT_EQ(collector.messages[1], "first\nsecond");
    EXPECT_EQ(collector.levels[1], LogLevel_DEBUG);
    EXPECT_EQ(collector.messages[2], "tagged");
    EXPECT_EQ(collector.channels[2], "chan");
    EXPECT_EQ(collector.ids[2], 5u);
}

TEST(QuorpatchLogMessageTest, PassingCheckLogsNothing)
{
    LineCollector collector;
    QP_CHECK(1 + 1 == 2);
    EXPECT_TRUE(collector.messages.empty());
}

namespace {
class StderrLines : public LogBase
{
public:
    void flush() override { }
    void receiveValue(u64) override { }
    void write(const std::string &, int, const std::string &, u64, const std::string &,
               const std::string &line) override
    {
        std::fprintf(stderr, "%s\n", line.c_str());
    }
};
} // namespace

TEST(QuorpatchLogMessageDeathTest, CriticalStatementEndsTheProcess)
{
    EXPECT_EXIT(QP_LOG(LogLevel_CRITICAL) << "fatal", ::testing::ExitedWithCode(1), "");
    EXPECT_EXIT(
        {
            StderrLines lines;
            const int value = 3;
            QP_CHECK_AT(value == 4, 77);
        },
        ::testing::ExitedWithCode(1),
        ::testing::AllOf(::testing::HasSubstr(
                             "|CRITICAL|              |   |Assertion \"value == 4\" failed at "),
                         ::testing::HasSubstr("test_types.cpp:77; ")));
}
