#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "log.h"

namespace {

struct Written
{
    std::string message;
    int level;
    std::string channel;
    u64 id;
    std::string timestamp;
    std::string line;
};

// Records what reaches it; events of all recorders go into one shared journal so that the
// order across outputs can be checked.
class RecordingOutput : public LogBase
{
public:
    RecordingOutput(std::vector<std::string> *journal = nullptr, const std::string &name = "")
        : m_journal(journal)
        , m_name(name)
    { }

    void flush() override { note("flush"); }
    void receiveValue(u64 value) override { note("value " + std::to_string(value)); }
    void receiveOptionalValue(u64 value) override { note("optional " + std::to_string(value)); }
    void write(const std::string &message, int level, const std::string &channel, u64 id,
               const std::string &timestamp, const std::string &line) override
    {
        written.push_back({message, level, channel, id, timestamp, line});
        note("write");
    }

    std::vector<Written> written;

private:
    void note(const std::string &event)
    {
        if (m_journal)
            m_journal->push_back(m_name + " " + event);
    }

    std::vector<std::string> *m_journal;
    std::string m_name;
};

// Only what the base requires: the optional value goes nowhere.
class MinimalOutput : public LogBase
{
public:
    void flush() override { }
    void receiveValue(u64 value) override { values.push_back(value); }
    void write(const std::string &, int, const std::string &, u64, const std::string &,
               const std::string &) override
    { }
    std::vector<u64> values;
};

// Makes what a dying child process delivered visible to the parent.
class StderrOutput : public LogBase
{
public:
    void flush() override { std::fputs("[flush]", stderr); }
    void receiveValue(u64) override { }
    void write(const std::string &, int, const std::string &, u64, const std::string &,
               const std::string &line) override
    {
        std::fprintf(stderr, "[write %s]", line.c_str());
    }
};

void criticalCallbackToStderr(const std::string &message, const std::string &channel, u64 id,
                              const std::string &, const std::string &)
{
    std::fprintf(stderr, "[callback %s/%s/%llu]", message.c_str(), channel.c_str(),
                 static_cast<unsigned long long>(id));
}

class QuorlogLogTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        setLogLevel(LogLevel_DEVEL);
        setLogUseLocalTime(0);
        setLogTimestampFormat(0);
        setCriticalLogCallback(nullptr);
    }
};

using QuorlogLogDeathTest = QuorlogLogTest;

} // namespace

TEST_F(QuorlogLogTest, LevelNames)
{
    const char *names[] = {"CRITICAL", "ERROR", "WARNING", "DEBUG", "INFO", "DEVELOP"};
    for (int level = 0; level <= LogLevel_DEVEL; ++level) {
        EXPECT_EQ(logLevelName(level), names[level]);
        EXPECT_EQ(logLevelNameChecked(level), names[level]);
    }
    EXPECT_EQ(LogLevel_DEVEL, 5);
    EXPECT_EQ(logLevelName(6), "UNKNOWN");
    EXPECT_EQ(logLevelName(-1), "UNKNOWN");
}

TEST_F(QuorlogLogTest, LineHasPrefixColumnsAndTimestamp)
{
    RecordingOutput output;
    logMessage("hello", LogLevel_DEBUG, "", 0);
    logMessage("answer", LogLevel_ERROR, "engine", 42);
    logMessage("wide", LogLevel_WARNING, "a-channel-longer-than-14", 123456);

    ASSERT_EQ(output.written.size(), 3u);
    const Written &first = output.written[0];
    EXPECT_EQ(first.message, "hello");
    EXPECT_EQ(first.level, LogLevel_DEBUG);
    EXPECT_EQ(first.id, 0u);
    EXPECT_EQ(first.timestamp.size(), 26u);
    EXPECT_EQ(first.line, first.timestamp + "|DEBUG   |              |   |hello");

    const Written &second = output.written[1];
    EXPECT_EQ(second.channel, "engine");
    EXPECT_EQ(second.id, 42u);
    EXPECT_EQ(second.line, second.timestamp + "|ERROR   |engine        |42 |answer");

    // Longer values are not cut.
    const Written &third = output.written[2];
    EXPECT_EQ(third.line, third.timestamp + "|WARNING |a-channel-longer-than-14|123456|wide");
}

TEST_F(QuorlogLogTest, ContinuationLinesStartUnderTheMessage)
{
    RecordingOutput output;
    logMessage("first\nsecond\nthird", LogLevel_DEBUG, "", 0);

    ASSERT_EQ(output.written.size(), 1u);
    const Written &written = output.written[0];
    EXPECT_EQ(written.message, "first\nsecond\nthird");
    const std::string prefix = written.timestamp + "|DEBUG   |              |   |";
    const std::string blanks(prefix.size(), ' ');
    EXPECT_EQ(written.line, prefix + "first\n" + blanks + "second\n" + blanks + "third");
}

TEST_F(QuorlogLogTest, DropRuleNeedsTheExactChannel)
{
    struct Case
    {
        const char *channel;
        const char *message;
        bool dropped;
    } cases[] = {
        {"DatabaseQuery", "sqlite3_prepare failed no such column: string_id", true},
        {"DatabaseQuery", "x db_exec() select * from instance_properties where string_id = 'a'",
         true},
        {"DatabaseQuery", "sqlite3_prepare failed no such column: string_id ", false},
        {"DatabaseQuery", "other text", false},
        {"databasequery", "sqlite3_prepare failed no such column: string_id", false},
        {"DatabaseQuery2", "sqlite3_prepare failed no such column: string_id", false},
        {"DatabaseQuer", "db_exec() select * from instance_properties where string_id = '", false},
        {"", "sqlite3_prepare failed no such column: string_id", false},
    };
    for (const Case &c : cases) {
        RecordingOutput output;
        logMessage(c.message, LogLevel_ERROR, c.channel, 0);
        EXPECT_EQ(output.written.empty(), c.dropped) << c.channel << " / " << c.message;
    }
}

TEST_F(QuorlogLogTest, LevelFilter)
{
    RecordingOutput output;
    setLogLevel(LogLevel_WARNING);
    logMessage("kept", LogLevel_WARNING, "", 0);
    logMessage("filtered", LogLevel_DEBUG, "", 0);
    logMessage("filtered", LogLevel_DEVEL, "", 0);
    ASSERT_EQ(output.written.size(), 1u);
    EXPECT_EQ(output.written[0].message, "kept");
}

TEST_F(QuorlogLogTest, OutputsRegisterInOrderAndUnlinkOnDestruction)
{
    std::vector<std::string> journal;
    const std::size_t before = logOutputs().count;
    {
        RecordingOutput a(&journal, "a");
        auto *b = new RecordingOutput(&journal, "b");
        RecordingOutput c(&journal, "c");
        EXPECT_EQ(logOutputs().count, before + 3);

        logMessage("one", LogLevel_INFO, "", 0);
        EXPECT_EQ(journal, (std::vector<std::string> {"a write", "b write", "c write"}));

        delete b;
        EXPECT_EQ(logOutputs().count, before + 2);
        journal.clear();
        logMessage("two", LogLevel_INFO, "", 0);
        broadcastValue(7);
        broadcastOptionalValue(8);
        flushAllOutputs();
        EXPECT_EQ(
            journal,
            (std::vector<std::string> {"a write", "c write", "a value 7", "c value 7",
                                       "a optional 8", "c optional 8", "a flush", "c flush"}));
    }
    EXPECT_EQ(logOutputs().count, before);
    journal.clear();
    logMessage("three", LogLevel_INFO, "", 0);
    EXPECT_TRUE(journal.empty());
}

TEST_F(QuorlogLogTest, ExplicitListsAndDefaultOptionalValue)
{
    MinimalOutput minimal;
    broadcastValue(logOutputs(), 5);
    broadcastOptionalValue(logOutputs(), 6); // the default ignores it
    EXPECT_EQ(minimal.values, std::vector<u64> {5});

    std::vector<std::string> journal;
    RecordingOutput output(&journal, "r");
    dispatchToLogOutputs(logOutputs(), "m", LogLevel_CRITICAL, "", 0, "t", "");
    EXPECT_TRUE(journal.empty()) << "an empty line is not dispatched";
    dispatchToLogOutputs(logOutputs(), "m", LogLevel_CRITICAL, "ch", 3, "t", "line");
    EXPECT_EQ(journal, (std::vector<std::string> {"r write", "r flush"}));
    ASSERT_EQ(output.written.size(), 1u);
    EXPECT_EQ(output.written[0].timestamp, "t");
    EXPECT_EQ(output.written[0].channel, "ch");
    EXPECT_EQ(output.written[0].id, 3u);
}

TEST_F(QuorlogLogTest, TimestampFormats)
{
    using namespace boost::posix_time;
    const ptime whole(boost::gregorian::date(2026, 1, 2), time_duration(3, 4, 5));
    const ptime fraction = whole + microseconds(120);
    struct Case
    {
        ptime time;
        int format;
        const char *expected;
    } cases[] = {
        {fraction, 0, "2026-01-02 03:04:05.000120"},
        // boost's "%026s" pads with zeros.
        {whole, 0, "0000002026-01-02 03:04:05."},
        {fraction, 2, "20260102T030405.000120"},
        {whole, 2, "20260102T030405"},
        {fraction, 1, "2026-Jan-02 03:04:05.000120"},
        {whole, 7, "2026-Jan-02 03:04:05"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(formatLogTime(c.time, c.format), c.expected) << "format " << c.format;

    EXPECT_EQ(formatLogTimestamp(0).size(), 26u);
    EXPECT_EQ(formatLogTimestamp(0)[10], ' ');
    setLogUseLocalTime(1);
    EXPECT_EQ(formatLogTimestamp(2)[8], 'T');
}

TEST_F(QuorlogLogTest, ConfiguredTimestampFormatIsUsed)
{
    RecordingOutput output;
    setLogTimestampFormat(2);
    logMessage("x", LogLevel_INFO, "", 0);
    ASSERT_EQ(output.written.size(), 1u);
    EXPECT_EQ(output.written[0].timestamp[8], 'T');
    EXPECT_EQ(output.written[0].line.substr(0, output.written[0].timestamp.size() + 1),
              output.written[0].timestamp + "|");
}

TEST_F(QuorlogLogTest, AssertionTextUsesThePathFromTheBuildFolder)
{
    EXPECT_EQ(logAssertionText("a == b", "/some/where/deps/quorpatch/src/lib/streams.cpp", 209),
              "Assertion \"a == b\" failed at ../../deps/quorpatch/src/lib/streams.cpp:209; ");
    EXPECT_EQ(logAssertionText("x", "plain.cpp", 3), "Assertion \"x\" failed at plain.cpp:3; ");
}

TEST_F(QuorlogLogDeathTest, CriticalLineEndsTheProcessAfterOutputsAndCallback)
{
    EXPECT_EXIT(
        {
            StderrOutput output;
            setCriticalLogCallback(criticalCallbackToStderr);
            logMessage("fatal", LogLevel_CRITICAL, "chan", 9);
        },
        ::testing::ExitedWithCode(1),
        ::testing::ContainsRegex("\\[write .*\\|CRITICAL\\|chan +\\|9 +\\|fatal\\]\\[flush\\]"
                                 "\\[callback fatal/chan/9\\]"));
}

TEST_F(QuorlogLogDeathTest, CriticalWithoutOutputsStillEnds)
{
    EXPECT_EXIT(logMessage("fatal", LogLevel_CRITICAL, "", 0), ::testing::ExitedWithCode(1), "");
}

TEST_F(QuorlogLogDeathTest, FilteredCriticalStillEnds)
{
    EXPECT_EXIT(
        {
            StderrOutput output;
            setLogLevel(-1);
            logMessage("fatal", LogLevel_CRITICAL, "", 0);
        },
        ::testing::ExitedWithCode(1), ::testing::Not(::testing::HasSubstr("[write")));
}

TEST_F(QuorlogLogDeathTest, DroppedCriticalDoesNotEnd)
{
    EXPECT_EXIT(
        {
            logMessage("db_exec() select * from instance_properties where string_id = 'x'",
                       LogLevel_CRITICAL, "DatabaseQuery", 0);
            std::_Exit(7);
        },
        ::testing::ExitedWithCode(7), "");
}

TEST_F(QuorlogLogDeathTest, CheckedNameOfInvalidLevelEnds)
{
    const int invalid[] = {-1, 6};
    for (int level : invalid) {
        EXPECT_EXIT(
            {
                StderrOutput output;
                logLevelNameChecked(level);
            },
            ::testing::ExitedWithCode(1),
            ::testing::HasSubstr(
                "|CRITICAL|              |   |Assertion \"lvl >= 0 && lvl <= "
                "LogLevel_DEVEL\" failed at ../../deps/quorlog/src/lib/log.cpp:216; "));
    }
}
