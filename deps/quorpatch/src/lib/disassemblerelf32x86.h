#ifndef QUORPATCH_DISASSEMBLERELF32X86_H
#define QUORPATCH_DISASSEMBLERELF32X86_H

#include "disassemblerelf32.h"

namespace quorpatch {

// 32-bit x86 ELF executables and shared libraries.
class DisassemblerElf32X86 : public DisassemblerElf32
{
public:
    typedef TypedRVARel32 TypedRVAX86;

    DisassemblerElf32X86(const void *start, size_t length);
    ~DisassemblerElf32X86() override;

    ExecutableType kind() const override;
    uint16_t ElfEM() const override { return 3; }
    bool ParseRelocationSection(const Section &section, AssemblyProgram *program) override;
    bool ParseRel32RelocsFromSection(const Section &section) override;
};

} // namespace quorpatch

#endif // QUORPATCH_DISASSEMBLERELF32X86_H
