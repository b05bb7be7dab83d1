#include "disassemblerelf64.h"

namespace quorpatch {

namespace {

const DisassemblerElf::Layout kElf64Layout = {
    64, 8, // header size, word size
    32, 40, 56, 58, 60, 62, // e_phoff, e_shoff, e_phnum, e_shentsize, e_shnum, e_shstrndx
    64, 16, 24, 32, 56, // section header: size, sh_addr, sh_offset, sh_size, sh_entsize
    56, 8,  16, 32, 40, // program header: size, p_offset, p_vaddr, p_filesz, p_memsz
    16, // relocation entry
};

} // namespace

DisassemblerElf64::DisassemblerElf64(const void *start, size_t length)
    : DisassemblerElf(start, length, kElf64Layout)
{ }

DisassemblerElf64::~DisassemblerElf64() = default;

} // namespace quorpatch
