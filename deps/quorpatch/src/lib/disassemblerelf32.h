#ifndef QUORPATCH_DISASSEMBLERELF32_H
#define QUORPATCH_DISASSEMBLERELF32_H

#include "disassemblerelf.h"

namespace quorpatch {

// ELF32 images: 52-byte header, 40-byte section headers, 32-byte program headers and 8-byte
// relocation entries.
class DisassemblerElf32 : public DisassemblerElf
{
public:
    ~DisassemblerElf32() override;

    // An entry names an absolute address when its whole r_info is the class's relocation type,
    // so entries that refer to a symbol never do.
    bool RelToRVA(const uint8_t *entry, uint32_t *rva) const override;

protected:
    DisassemblerElf32(const void *start, size_t length, uint32_t relocationType);

    uint32_t relocation_type() const { return m_relocationType; }

private:
    uint32_t m_relocationType;
};

} // namespace quorpatch

#endif // QUORPATCH_DISASSEMBLERELF32_H
