#ifndef QUORPATCH_DISASSEMBLER_H
#define QUORPATCH_DISASSEMBLER_H

#include <boost/noncopyable.hpp>

#include <cstddef>
#include <cstdint>

#include "types.h"

namespace quorpatch {

class AssemblyProgram;

// Common ground of the executable disassemblers. A disassembler looks at a buffer it does not
// own; the buffer has to outlive the disassembler and every program made from it.
class Disassembler : boost::noncopyable
{
public:
    virtual ~Disassembler();

    // The executable type this disassembler recognises.
    virtual ExecutableType kind() const;

    // Checks the headers; true when the buffer is an executable this disassembler handles.
    virtual bool ParseHeader() = 0;

    // Fills the program. Only valid after ParseHeader() returned true.
    virtual bool Disassemble(AssemblyProgram *program) = 0;

    // "uninitialized" before ParseHeader(), null after it succeeded, else the reason it failed.
    const char *failure_reason() const { return m_failureReason; }

    // Bytes of the buffer that belong to the executable; only ever shrinks.
    size_t length() const { return m_length; }

    const uint8_t *start() const { return m_start; }
    const uint8_t *end() const { return m_end; }

    const uint8_t *PointerAt(size_t offset) const { return m_start + offset; }

protected:
    Disassembler(const void *start, size_t length);

    bool MarkGood();
    bool MarkBad(const char *reason);
    void ClampLength(size_t length);

    bool good() const { return m_failureReason == nullptr; }

    // Executables are little-endian whatever the host is; fields may be unaligned.
    static uint16_t Read16(const uint8_t *p) { return uint16_t(p[0] | (p[1] << 8)); }
    static uint32_t Read32(const uint8_t *p)
    {
        return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16)
            | (uint32_t(p[3]) << 24);
    }
    static uint64_t Read64(const uint8_t *p)
    {
        return uint64_t(Read32(p)) | (uint64_t(Read32(p + 4)) << 32);
    }

    // The forms of x86 instructions that carry a 4-byte PC-relative field.
    enum Rel32Form {
        kNoRel32 = 0,
        kDirectRel32 = 1, // call, jmp, jcc: the field is a code address
        kMemoryRel32 = 2, // RIP-relative operand: the field may point to data
    };

    // Looks for an instruction at p (never reading at or past end) with a 4-byte relative
    // field; sets *field to it. The memory forms (FF 15/25, REX.W 8B/8D with RIP-relative
    // ModRM) only exist in 64-bit code and are looked for when x64Forms is set.
    static Rel32Form FindX86Rel32(const uint8_t *p, const uint8_t *end, bool x64Forms,
                                  const uint8_t **field);

private:
    const char *m_failureReason;
    size_t m_length;
    const uint8_t *m_start;
    const uint8_t *m_end;
};

} // namespace quorpatch

#endif // QUORPATCH_DISASSEMBLER_H
