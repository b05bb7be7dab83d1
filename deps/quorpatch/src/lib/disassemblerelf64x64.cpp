#include "disassemblerelf64x64.h"

namespace quorpatch {

DisassemblerElf64X64::DisassemblerElf64X64(const void *start, size_t length)
    : DisassemblerElf64(start, length)
{ }

DisassemblerElf64X64::~DisassemblerElf64X64() = default;

ExecutableType DisassemblerElf64X64::kind() const
{
    return ELF_64_X64;
}

bool DisassemblerElf64X64::RelToRVA(const uint8_t *, uint32_t *) const
{
    return false;
}

bool DisassemblerElf64X64::ParseRelocationSection(const Section &section, AssemblyProgram *program)
{
    return EmitBytes(program, section.offset, section.size);
}

bool DisassemblerElf64X64::ParseRel32RelocsFromSection(const Section &section)
{
    return ParseRel32RelocsFromSectionX86(section, true);
}

} // namespace quorpatch
