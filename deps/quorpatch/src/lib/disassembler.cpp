#include "disassembler.h"

namespace quorpatch {

Disassembler::Disassembler(const void *start, size_t length)
    : m_failureReason("uninitialized")
    , m_length(length)
    , m_start(static_cast<const uint8_t *>(start))
    , m_end(static_cast<const uint8_t *>(start) + length)
{ }

Disassembler::~Disassembler() = default;

ExecutableType Disassembler::kind() const
{
    return static_cast<ExecutableType>(0);
}

bool Disassembler::MarkGood()
{
    m_failureReason = nullptr;
    return true;
}

bool Disassembler::MarkBad(const char *reason)
{
    m_failureReason = reason;
    return false;
}

void Disassembler::ClampLength(size_t length)
{
    if (length < m_length)
        m_length = length;
}

Disassembler::Rel32Form Disassembler::FindX86Rel32(const uint8_t *p, const uint8_t *end,
                                                   bool x64Forms, const uint8_t **field)
{
    const size_t room = size_t(end - p);
    // The tests look at distinct first bytes, so at most one of them matches.
    if (room >= 5 && (p[0] == 0xE8 || p[0] == 0xE9)) {
        *field = p + 1;
        return kDirectRel32;
    }
    if (room >= 6 && p[0] == 0x0F && (p[1] & 0xF0) == 0x80 && p[1] != 0x8A && p[1] != 0x8B) {
        // Every jcc but jp / jnp.
        *field = p + 2;
        return kDirectRel32;
    }
    if (!x64Forms)
        return kNoRel32;
    if (room >= 6 && p[0] == 0xFF && (p[1] == 0x25 || p[1] == 0x15)) {
        *field = p + 2;
        return kMemoryRel32;
    }
    if (room >= 7 && (p[0] == 0x48 || p[0] == 0x49) && (p[1] == 0x8B || p[1] == 0x8D)
        && (p[2] & 0xC7) == 0x05) {
        *field = p + 3;
        return kMemoryRel32;
    }
    return kNoRel32;
}

} // namespace quorpatch
