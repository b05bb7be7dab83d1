#ifndef QUORLOG_LOG_H
#define QUORLOG_LOG_H

#include <cstddef>
#include <cstdint>
#include <string>

#include <boost/date_time/posix_time/posix_time_types.hpp>

typedef std::uint64_t u64;

enum LogLevel {
    LogLevel_CRITICAL = 0,
    LogLevel_ERROR = 1,
    LogLevel_WARNING = 2,
    LogLevel_DEBUG = 3,
    LogLevel_INFO = 4,
    LogLevel_DEVEL = 5
};

typedef void (*CriticalLogCallback)(const std::string &message, const std::string &channel, u64 id,
                                    const std::string &timestamp, const std::string &line);

class LogBase;

// Intrusive so that outputs living in static storage can register and unregister in any
// order relative to the list itself: the list needs no construction or destruction.
struct LogOutputList
{
    LogBase *first;
    LogBase *last;
    std::size_t count;
};

// Every output registers itself here for its whole lifetime.
LogOutputList &logOutputs();

class LogBase
{
public:
    LogBase();
    virtual ~LogBase();

    virtual void flush() = 0;
    virtual void receiveValue(u64 value) = 0;
    virtual void write(const std::string &message, int level, const std::string &channel, u64 id,
                       const std::string &timestamp, const std::string &line)
        = 0;
    virtual void receiveOptionalValue(u64 value);

private:
    LogBase(const LogBase &) = delete;
    LogBase &operator=(const LogBase &) = delete;

    friend void dispatchToLogOutputs(const LogOutputList &, const std::string &, int,
                                     const std::string &, u64, const std::string &,
                                     const std::string &);
    friend void broadcastValue(const LogOutputList &, u64);
    friend void broadcastOptionalValue(const LogOutputList &, u64);
    friend void flushAllOutputs(const LogOutputList &);

    LogBase *m_prev;
    LogBase *m_next;
};

void logMessage(const std::string &message, int level, const std::string &channel, u64 id);

void setLogLevel(int level);
void setLogUseLocalTime(int useLocalTime);
void setLogTimestampFormat(int format);
void setCriticalLogCallback(CriticalLogCallback callback);

// Levels outside 0..5 are named "UNKNOWN".
std::string logLevelName(int level);
// A level outside 0..5 is a programming error and ends the process.
std::string logLevelNameChecked(int level);

std::string formatLogTimestamp(int format);
// The formatting of formatLogTimestamp for a given time.
std::string formatLogTime(const boost::posix_time::ptime &time, int format);

void dispatchToLogOutputs(const LogOutputList &outputs, const std::string &message, int level,
                          const std::string &channel, u64 id, const std::string &timestamp,
                          const std::string &line);

void broadcastValue(u64 value);
void broadcastValue(const LogOutputList &outputs, u64 value);
void broadcastOptionalValue(u64 value);
void broadcastOptionalValue(const LogOutputList &outputs, u64 value);
void flushAllOutputs();
void flushAllOutputs(const LogOutputList &outputs);

// The text of a failed assertion: "Assertion "<condition>" failed at <file>:<line>; ", the
// file given relative to the build folder ("../../deps/...") whatever path the compiler saw.
std::string logAssertionText(const char *condition, const char *file, int line);

#endif // QUORLOG_LOG_H
