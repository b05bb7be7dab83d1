#ifndef ERRNOCHANGINGLOG_H
#define ERRNOCHANGINGLOG_H

#include <cerrno>
#include <string>

#include "log.h"

// An output of the engine's log, registered while it lives, that leaves errno changed after
// every line. Formatting a line's local time does the same once (when TZ names a zone that does
// not exist, errno is ENOENT afterwards), but only on the first line of a process: this one does
// it every time, so that a reason taken from errno after an engine call shows as wrong.
class ErrnoChangingLog : public LogBase
{
public:
    explicit ErrnoChangingLog(int value = ENOENT)
        : m_value(value)
    { }

    void flush() override { }
    void receiveValue(u64) override { }
    void write(const std::string &, int, const std::string &, u64, const std::string &,
               const std::string &) override
    {
        ++lines;
        errno = m_value;
    }

    int lines = 0;

private:
    int m_value;
};

#endif // ERRNOCHANGINGLOG_H
