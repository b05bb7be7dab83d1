#include "disassemblerelf32arm.h"

#include "assemblyprogram.h"

namespace quorpatch {

namespace {
const uint32_t R_ARM_RELATIVE = 23;
}

DisassemblerElf32ARM::TypedRVAARM::TypedRVAARM(uint32_t branchKind, uint32_t rva)
    : TypedRVA(rva)
    , m_branchKind(branchKind)
    , m_compressedOp(0)
    , m_armOp(nullptr)
{ }

bool DisassemblerElf32ARM::TypedRVAARM::ComputeRelativeTarget(const uint8_t *location)
{
    uint32_t instruction;
    switch (m_branchKind) {
    case kThumbBcond:
    case kThumbB:
        instruction = Read16(location);
        break;
    case kArmB:
        instruction = Read32(location);
        break;
    case kThumb2BL:
    case kThumb2Bcond:
        instruction = (uint32_t(Read16(location)) << 16) | Read16(location + 2);
        break;
    default:
        return false;
    }
    uint16_t compressedOp;
    uint32_t offset;
    if (!Compress(m_branchKind, instruction, rva(), &compressedOp, &offset))
        return false;
    m_compressedOp = compressedOp;
    m_armOp = location;
    set_relative_target(offset);
    return true;
}

bool DisassemblerElf32ARM::TypedRVAARM::EmitInstruction(AssemblyProgram *program,
                                                        uint32_t targetRva)
{
    Label *label = program->FindOrMakeRel32Label(targetRva);
    return label && program->EmitRel32Arm(m_compressedOp, label, m_armOp, op_size());
}

DisassemblerElf32ARM::DisassemblerElf32ARM(const void *start, size_t length)
    : DisassemblerElf32(start, length, R_ARM_RELATIVE)
{ }

DisassemblerElf32ARM::~DisassemblerElf32ARM() = default;

ExecutableType DisassemblerElf32ARM::kind() const
{
    return ELF_32_ARM;
}

bool DisassemblerElf32ARM::ParseRelocationSection(const Section &section, AssemblyProgram *program)
{
    const uint64_t entrySize = layout().relocationSize;
    if (m_abs32Locations.empty())
        return EmitBytes(program, section.offset, section.size);

    // Entries before the first abs32 location stay literal, one entry at a time.
    const uint64_t count = RelocationCount(section);
    uint64_t k = 0;
    while (k < count && Read32(RelocationAt(section, k)) != m_abs32Locations[0]) {
        if (!EmitBytes(program, section.offset + k * entrySize, entrySize))
            return false;
        ++k;
    }
    const uint64_t runStart = section.offset + k * entrySize;
    if (k == count || m_abs32Locations.size() > count)
        return EmitRestOfSection(program, section, runStart);

    size_t matched = 0;
    while (k < count && matched < m_abs32Locations.size()) {
        const uint8_t *entry = RelocationAt(section, k);
        if (Read32(entry + 4) != R_ARM_RELATIVE || Read32(entry) != m_abs32Locations[matched])
            break;
        ++k;
        ++matched;
    }
    if (matched == m_abs32Locations.size()) {
        if (!program->EmitElfArmRelocs())
            return false;
        return EmitRestOfSection(program, section, section.offset + k * entrySize);
    }
    // A run that stops short loses its matched entries and the entry that stopped it: the
    // table that gets rebuilt from this program is shorter than the file's.
    return EmitRestOfSection(program, section, runStart + (uint64_t(matched) + 1) * entrySize);
}

bool DisassemblerElf32ARM::ParseRel32RelocsFromSection(const Section &section)
{
    const uint8_t *code = PointerAt(section.offset);
    const uint64_t size = section.size;
    const uint32_t base = uint32_t(section.addr);
    uint64_t at = 0;
    bool on32 = true;
    while (at < size) {
        const uint64_t room = size - at;
        const uint8_t *p = code + at;
        int branchKind = -1;
        if (room >= 3) {
            const uint16_t half = Read16(p);
            if ((half & 0xF000) == 0xD000)
                branchKind = kThumbBcond;
            else if ((half & 0xF800) == 0xE000)
                branchKind = kThumbB;
        }
        if (branchKind < 0 && room >= 5) {
            const uint32_t word = (uint32_t(Read16(p)) << 16) | Read16(p + 2);
            if ((word & 0xF8008000) == 0xF0008000)
                branchKind = (word & 0x5000) != 0 ? kThumb2BL : kThumb2Bcond;
        }
        if (branchKind < 0 && on32 && room >= 5 && (Read32(p) & 0x0E000000) == 0x0A000000)
            branchKind = kArmB;

        if (branchKind >= 0) {
            const uint32_t rva = base + uint32_t(at);
            std::unique_ptr<TypedRVA> location(new TypedRVAARM(uint32_t(branchKind), rva));
            if (!location->ComputeRelativeTarget(p))
                return false;
            if (IsValidRVA(rva + location->relative_target())) {
                at += location->op_size();
                on32 = true;
                m_rel32Locations.push_back(std::move(location));
                continue;
            }
        }
        at += 2;
        on32 = !on32;
    }
    return true;
}

} // namespace quorpatch
