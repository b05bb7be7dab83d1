#ifndef TEST_ASSEMBLYLOG_H
#define TEST_ASSEMBLYLOG_H

#include <string>
#include <utility>
#include <vector>

#include "log.h"

// Collects the engine's log lines (level, message) while it lives.
class ProgramLogLines : public LogBase
{
public:
    void flush() override { }
    void receiveValue(u64) override { }
    void write(const std::string &message, int level, const std::string &, u64, const std::string &,
               const std::string &) override
    {
        lines.emplace_back(level, message);
    }

    std::vector<std::pair<int, std::string>> lines;
};

#endif // TEST_ASSEMBLYLOG_H
