#include "disassemblerelf32x86.h"

#include "assemblyprogram.h"

namespace quorpatch {

namespace {
const uint32_t R_386_RELATIVE = 8;
}

DisassemblerElf32X86::DisassemblerElf32X86(const void *start, size_t length)
    : DisassemblerElf32(start, length, R_386_RELATIVE)
{ }

DisassemblerElf32X86::~DisassemblerElf32X86() = default;

ExecutableType DisassemblerElf32X86::kind() const
{
    return EXE_ELF_32_X86;
}

bool DisassemblerElf32X86::ParseRelocationSection(const Section &section, AssemblyProgram *program)
{
    // The table is regenerated only when it starts with exactly the abs32 locations, in order.
    const uint64_t count = RelocationCount(section);
    const size_t locations = m_abs32Locations.size();
    uint64_t done = 0;
    if (locations != 0 && locations <= count) {
        bool match = true;
        for (size_t k = 0; k < locations && match; ++k) {
            const uint8_t *entry = RelocationAt(section, k);
            match = Read32(entry + 4) == R_386_RELATIVE && Read32(entry) == m_abs32Locations[k];
        }
        if (match) {
            if (!program->EmitElfRelocs())
                return false;
            done = uint64_t(locations) * layout().relocationSize;
        }
    }
    return EmitRestOfSection(program, section, section.offset + done);
}

bool DisassemblerElf32X86::ParseRel32RelocsFromSection(const Section &section)
{
    return ParseRel32RelocsFromSectionX86(section, false);
}

} // namespace quorpatch
