#ifndef TEST_LZMA2_LOGCAPTURE_H
#define TEST_LZMA2_LOGCAPTURE_H

#include <string>
#include <vector>

#include "log.h"

// Collects the engine's log lines while it lives.
class Lzma2LogCapture : public LogBase
{
public:
    struct Line
    {
        int level;
        std::string message;
    };

    void flush() override { }
    void receiveValue(u64) override { }
    void write(const std::string &message, int level, const std::string &, u64, const std::string &,
               const std::string &) override
    {
        lines.push_back({level, message});
    }

    std::vector<std::string> messages() const
    {
        std::vector<std::string> out;
        for (const Line &line : lines)
            out.push_back(line.message);
        return out;
    }

    std::vector<Line> lines;
};

#endif // TEST_LZMA2_LOGCAPTURE_H
