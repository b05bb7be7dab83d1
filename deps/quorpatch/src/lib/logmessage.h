#ifndef QUORPATCH_LOGMESSAGE_H
#define QUORPATCH_LOGMESSAGE_H

#include <sstream>
#include <string>

#include "log.h"
#include "types.h"

namespace quorpatch {

// One log statement: the text streamed into it becomes one line, logged when the object is
// destroyed at the end of the statement. A level-0 line ends the process.
class LogMessage
{
public:
    explicit LogMessage(int level, const std::string &channel = std::string(), u64 id = 0);
    ~LogMessage();

    std::ostream &stream() { return m_stream; }

private:
    LogMessage(const LogMessage &) = delete;
    LogMessage &operator=(const LogMessage &) = delete;

    std::string m_channel;
    u64 m_id;
    std::ostringstream m_stream;
    int m_level;
};

} // namespace quorpatch

// QP_LOG(LogLevel_ERROR) << "text" << value;
#define QP_LOG(level) ::quorpatch::LogMessage(level).stream()

// A failed condition logs "Assertion "<cond>" failed at <file>:<line>; " at level 0, which
// ends the process. QP_CHECK_AT keeps the reported line fixed where the logged text is relied on.
#define QP_CHECK_AT(cond, line)                                                                    \
    do {                                                                                           \
        if (!(cond))                                                                               \
            QP_LOG(LogLevel_CRITICAL) << logAssertionText(#cond, __FILE__, (line));                \
    } while (0)
#define QP_CHECK(cond) QP_CHECK_AT(cond, __LINE__)

#endif // QUORPATCH_LOGMESSAGE_H
