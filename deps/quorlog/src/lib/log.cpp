#include "log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include <boost/algorithm/string/replace.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/format.hpp>

namespace {

int g_maxLevel = LogLevel_DEVEL;
int g_useLocalTime = 0;
int g_timestampFormat = 0;
CriticalLogCallback g_criticalCallback = nullptr;

// Constant-initialised: valid before any static constructor runs and never destroyed.
LogOutputList g_outputs = {nullptr, nullptr, 0};

// The line reported by the level check is part of its logged text and stays fixed.
const int kLevelCheckLine = 216;

const std::map<int, std::string> &levelNames()
{
    static const std::map<int, std::string> names = {
        {LogLevel_CRITICAL, "CRITICAL"}, {LogLevel_ERROR, "ERROR"}, {LogLevel_WARNING, "WARNING"},
        {LogLevel_DEBUG, "DEBUG"},       {LogLevel_INFO, "INFO"},   {LogLevel_DEVEL, "DEVELOP"},
    };
    return names;
}

bool isDroppedMessage(const std::string &message, const std::string &channel)
{
    if (channel != "DatabaseQuery")
        return false;
    return message == "sqlite3_prepare failed no such column: string_id"
        || message.find("db_exec() select * from instance_properties where string_id = '")
        != std::string::npos;
}

[[noreturn]] void endProcessAfterCritical()
{
    // The engine logs from pool threads: running static destructors there could wait on the
    // very thread that is ending the process, so leave without them.
    std::fflush(nullptr);
    std::_Exit(1);
}

} // namespace

LogOutputList &logOutputs()
{
    return g_outputs;
}

LogBase::LogBase()
    : m_prev(g_outputs.last)
    , m_next(nullptr)
{
    if (g_outputs.last)
        g_outputs.last->m_next = this;
    else
        g_outputs.first = this;
    g_outputs.last = this;
    ++g_outputs.count;
}

LogBase::~LogBase()
{
    if (m_prev)
        m_prev->m_next = m_next;
    else
        g_outputs.first = m_next;
    if (m_next)
        m_next->m_prev = m_prev;
    else
        g_outputs.last = m_prev;
    --g_outputs.count;
}

void LogBase::receiveOptionalValue(u64) { }

void setLogLevel(int level)
{
    g_maxLevel = level;
}

void setLogUseLocalTime(int useLocalTime)
{
    g_useLocalTime = useLocalTime;
}

void setLogTimestampFormat(int format)
{
    g_timestampFormat = format;
}

void setCriticalLogCallback(CriticalLogCallback callback)
{
    g_criticalCallback = callback;
}

std::string logLevelName(int level)
{
    const std::map<int, std::string> &names = levelNames();
    const auto it = names.find(level);
    return it == names.end() ? std::string("UNKNOWN") : it->second;
}

std::string logLevelNameChecked(int lvl)
{
    if (!(lvl >= 0 && lvl <= LogLevel_DEVEL))
        logMessage(logAssertionText("lvl >= 0 && lvl <= LogLevel_DEVEL", __FILE__, kLevelCheckLine),
                   LogLevel_CRITICAL, std::string(), 0);
    return logLevelName(lvl);
}

std::string formatLogTime(const boost::posix_time::ptime &time, int format)
{
    if (format == 2)
        return boost::posix_time::to_iso_string(time);
    if (format != 0)
        return boost::posix_time::to_simple_string(time);

    std::string text = boost::posix_time::to_iso_string(time);
    if (text.size() > 8)
        text[8] = ' ';
    const std::pair<std::size_t, char> insertions[] = {{4, '-'}, {7, '-'}, {13, ':'}, {16, ':'}};
    for (const auto &insertion : insertions) {
        if (insertion.first <= text.size())
            text.insert(insertion.first, 1, insertion.second);
    }
    if (text.size() < 20)
        text += '.';
    return (boost::format("%026s") % text).str();
}

std::string formatLogTimestamp(int format)
{
    const boost::posix_time::ptime now = g_useLocalTime
        ? boost::posix_time::microsec_clock::local_time()
        : boost::posix_time::microsec_clock::universal_time();
    return formatLogTime(now, format);
}

void logMessage(const std::string &message, int level, const std::string &channel, u64 id)
{
    if (isDroppedMessage(message, channel))
        return;
    if (level > g_maxLevel) {
        if (level == LogLevel_CRITICAL)
            endProcessAfterCritical();
        return;
    }

    const std::string idText = id != 0 ? std::to_string(id) : std::string();
    const std::string timestamp = formatLogTimestamp(g_timestampFormat);
    const std::string prefix = (boost::format("%s|%-8s|%-14s|%-3s|") % timestamp
                                % logLevelName(level) % channel % idText)
                                   .str();

    std::string body = message;
    if (body.find('\n') != std::string::npos)
        boost::algorithm::replace_all(body, "\n", "\n" + std::string(prefix.size(), ' '));
    const std::string line = prefix + body;

    dispatchToLogOutputs(g_outputs, message, level, channel, id, timestamp, line);

    if (level == LogLevel_CRITICAL) {
        if (g_criticalCallback)
            g_criticalCallback(message, channel, id, timestamp, line);
        endProcessAfterCritical();
    }
}

void dispatchToLogOutputs(const LogOutputList &outputs, const std::string &message, int level,
                          const std::string &channel, u64 id, const std::string &timestamp,
                          const std::string &line)
{
    if (line.empty())
        return;
    for (LogBase *output = outputs.first; output;) {
        LogBase *next = output->m_next;
        output->write(message, level, channel, id, timestamp, line);
        if (level == LogLevel_CRITICAL)
            output->flush();
        output = next;
    }
}

void broadcastValue(u64 value)
{
    broadcastValue(g_outputs, value);
}

void broadcastValue(const LogOutputList &outputs, u64 value)
{
    for (LogBase *output = outputs.first; output;) {
        LogBase *next = output->m_next;
        output->receiveValue(value);
        output = next;
    }
}

void broadcastOptionalValue(u64 value)
{
    broadcastOptionalValue(g_outputs, value);
}

void broadcastOptionalValue(const LogOutputList &outputs, u64 value)
{
    for (LogBase *output = outputs.first; output;) {
        LogBase *next = output->m_next;
        output->receiveOptionalValue(value);
        output = next;
    }
}

void flushAllOutputs()
{
    flushAllOutputs(g_outputs);
}

void flushAllOutputs(const LogOutputList &outputs)
{
    for (LogBase *output = outputs.first; output;) {
        LogBase *next = output->m_next;
        output->flush();
        output = next;
    }
}

std::string logAssertionText(const char *condition, const char *file, int line)
{
    // Report the path as seen from the build folder two levels below the source root.
    std::string path = file ? file : "";
    std::size_t found = std::string::npos;
    for (std::size_t pos = path.find("deps/"); pos != std::string::npos;
         pos = path.find("deps/", pos + 1)) {
        if (pos == 0 || path[pos - 1] == '/')
            found = pos;
    }
    if (found != std::string::npos)
        path = "../../" + path.substr(found);
    return std::string("Assertion \"") + condition + "\" failed at " + path + ":"
        + std::to_string(line) + "; ";
}
