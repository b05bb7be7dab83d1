#ifndef QUORPATCH_DISASSEMBLERELF64X64_H
#define QUORPATCH_DISASSEMBLERELF64X64_H

#include "disassemblerelf64.h"

namespace quorpatch {

// 64-bit x86-64 ELF executables and shared libraries. Their relocations are not followed, so
// they have relative references only.
class DisassemblerElf64X64 : public DisassemblerElf64
{
public:
    typedef TypedRVARel32 TypedRVAX64;

    DisassemblerElf64X64(const void *start, size_t length);
    ~DisassemblerElf64X64() override;

    ExecutableType kind() const override;
    uint16_t ElfEM() const override { return 62; }
    bool RelToRVA(const uint8_t *entry, uint32_t *rva) const override;
    bool ParseRelocationSection(const Section &section, AssemblyProgram *program) override;
    bool ParseRel32RelocsFromSection(const Section &section) override;
    bool ReadsRelocationEntries() const override { return false; }
};

} // namespace quorpatch

#endif // QUORPATCH_DISASSEMBLERELF64X64_H
