#include "logmessage.h"

namespace quorpatch {

LogMessage::LogMessage(int level, const std::string &channel, u64 id)
    : m_channel(channel)
    , m_id(id)
    , m_level(level)
{ }

LogMessage::~LogMessage()
{
    logMessage(m_stream.str(), m_level, m_channel, m_id);
}

} // namespace quorpatch
