#ifndef QUORPATCH_DISASSEMBLERELF64_H
#define QUORPATCH_DISASSEMBLERELF64_H

#include "disassemblerelf.h"

namespace quorpatch {

// ELF64 images: 64-byte header, 64-byte section headers, 56-byte program headers and 16-byte
// relocation entries. RVAs are the low 32 bits of the addresses.
class DisassemblerElf64 : public DisassemblerElf
{
public:
    ~DisassemblerElf64() override;

protected:
    DisassemblerElf64(const void *start, size_t length);
};

} // namespace quorpatch

#endif // QUORPATCH_DISASSEMBLERELF64_H
