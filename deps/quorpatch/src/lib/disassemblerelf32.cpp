#include "disassemblerelf32.h"

namespace quorpatch {

namespace {

const DisassemblerElf::Layout kElf32Layout = {
    52, 4, // header size, word size
    28, 32, 44, 46, 48, 50, // e_phoff, e_shoff, e_phnum, e_shentsize, e_shnum, e_shstrndx
    40, 12, 16, 20, 36, // section header: size, sh_addr, sh_offset, sh_size, sh_entsize
    32, 4,  8,  16, 20, // program header: size, p_offset, p_vaddr, p_filesz, p_memsz
    8, // relocation entry
};

} // namespace

DisassemblerElf32::DisassemblerElf32(const void *start, size_t length, uint32_t relocationType)
    : DisassemblerElf(start, length, kElf32Layout)
    , m_relocationType(relocationType)
{ }

DisassemblerElf32::~DisassemblerElf32() = default;

bool DisassemblerElf32::RelToRVA(const uint8_t *entry, uint32_t *rva) const
{
    if (Read32(entry + 4) != m_relocationType)
        return false;
    *rva = Read32(entry);
    return true;
}

} // namespace quorpatch
