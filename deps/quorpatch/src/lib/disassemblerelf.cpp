#include "disassemblerelf.h"

#include <algorithm>
#include <new>

#include "assemblyprogram.h"
#include "logmessage.h"

namespace quorpatch {

DisassemblerElf::TypedRVA::TypedRVA(uint32_t rva)
    : m_rva(rva)
    , m_relativeTarget(0)
    , m_fileOffset(~uint64_t(0))
{ }

DisassemblerElf::TypedRVA::~TypedRVA() = default;

bool DisassemblerElf::TypedRVARel32::ComputeRelativeTarget(const uint8_t *location)
{
    set_relative_target(Read32(location) + 4);
    return true;
}

bool DisassemblerElf::TypedRVARel32::EmitInstruction(AssemblyProgram *program, uint32_t targetRva)
{
    Label *label = program->FindOrMakeRel32Label(targetRva);
    return label && program->EmitRel32(label);
}

DisassemblerElf::DisassemblerElf(const void *start, size_t length, const Layout &layout)
    : Disassembler(start, length)
    , m_layout(layout)
    , m_header(nullptr)
    , m_sectionHeaders(nullptr)
    , m_sectionCount(0)
    , m_programHeaders(nullptr)
    , m_segmentCount(0)
    , m_sectionNames(nullptr)
{ }

DisassemblerElf::~DisassemblerElf() = default;

DisassemblerElf::Section DisassemblerElf::SectionAt(uint16_t index) const
{
    const uint8_t *p = m_sectionHeaders + size_t(index) * m_layout.sectionHeaderSize;
    Section s;
    s.type = Read32(p + 4);
    s.addr = Word(p + m_layout.shAddrAt);
    s.offset = Word(p + m_layout.shOffsetAt);
    s.size = Word(p + m_layout.shSizeAt);
    s.entsize = Word(p + m_layout.shEntsizeAt);
    return s;
}

DisassemblerElf::Segment DisassemblerElf::SegmentAt(uint16_t index) const
{
    const uint8_t *p = m_programHeaders + size_t(index) * m_layout.programHeaderSize;
    Segment s;
    s.type = Read32(p);
    s.offset = Word(p + m_layout.pOffsetAt);
    s.vaddr = Word(p + m_layout.pVaddrAt);
    s.filesz = Word(p + m_layout.pFileszAt);
    s.memsz = Word(p + m_layout.pMemszAt);
    return s;
}

bool DisassemblerElf::ParseHeader()
{
    const Layout &l = m_layout;
    const uint64_t bufferLength = length();
    if (bufferLength < l.headerSize)
        return MarkBad("Too small");
    const uint8_t *h = start();
    if (h[0] != 0x7F || h[1] != 'E' || h[2] != 'L' || h[3] != 'F')
        return MarkBad("No Magic Number");
    const uint16_t type = Read16(h + 16);
    if (type != 2 && type != 3)
        return MarkBad("Not an executable file or shared library");
    if (Read16(h + 18) != ElfEM())
        return MarkBad("Not a supported architecture");
    if (Read32(h + 20) != 1)
        return MarkBad("Unknown file version");
    if (Read16(h + l.shentsizeAt) != l.sectionHeaderSize)
        return MarkBad("Unexpected section header size");

    const uint64_t shoff = Word(h + l.shoffAt);
    if (shoff >= bufferLength)
        return MarkBad("Out of bounds section header table offset");
    const uint16_t sectionCount = Read16(h + l.shnumAt);
    const uint64_t sectionTableSize = uint64_t(sectionCount) * l.sectionHeaderSize;
    if (sectionTableSize > bufferLength - shoff)
        return MarkBad("Out of bounds section header table");
    const uint64_t phoff = Word(h + l.phoffAt);
    if (phoff >= bufferLength)
        return MarkBad("Out of bounds program header table offset");
    const uint16_t segmentCount = Read16(h + l.phnumAt);
    const uint64_t programTableSize = uint64_t(segmentCount) * l.programHeaderSize;
    if (programTableSize > bufferLength - phoff)
        return MarkBad("Out of bounds program header table");

    m_header = h;
    m_sectionHeaders = PointerAt(shoff);
    m_sectionCount = sectionCount;
    m_programHeaders = PointerAt(phoff);
    m_segmentCount = segmentCount;

    // The headers leave these ranges unchecked; everything below reads inside them only.
    const uint16_t namesIndex = Read16(h + l.shstrndxAt);
    if (sectionCount != 0 && namesIndex >= sectionCount)
        return MarkBad("Out of bounds section name table index");
    uint64_t imageLength = std::max(shoff + sectionTableSize, phoff + programTableSize);
    for (uint16_t i = 0; i < sectionCount; ++i) {
        const Section s = SectionAt(i);
        if (s.type == SHT_NOBITS)
            continue;
        if (s.offset > bufferLength || s.size > bufferLength - s.offset)
            return MarkBad("Out of bounds section");
        imageLength = std::max(imageLength, s.offset + s.size);
        if (s.type == SHT_REL && s.entsize == 0)
            return MarkBad("Bad relocation entry size");
    }
    for (uint16_t i = 0; i < segmentCount; ++i) {
        const Segment s = SegmentAt(i);
        if (s.offset > bufferLength || s.filesz > bufferLength - s.offset)
            return MarkBad("Out of bounds segment");
        imageLength = std::max(imageLength, s.offset + s.filesz);
    }
    m_sectionNames = sectionCount != 0 ? PointerAt(SectionAt(namesIndex).offset) : nullptr;
    ClampLength(imageLength);
    for (uint16_t i = 0; i < sectionCount; ++i) {
        const Section s = SectionAt(i);
        // The walk over the file goes up to where each empty section would lie.
        if (s.type == SHT_NOBITS && s.offset > length())
            return MarkBad("Out of bounds section");
        // sh_size / sh_entsize entries are read a whole entry apart, also where sh_entsize is
        // smaller, so the last ones may lie past the section; they must lie in the image.
        if (s.type == SHT_REL && ReadsRelocationEntries()
            && RelocationCount(s) * l.relocationSize > length() - s.offset)
            return MarkBad("Bad relocation entry size");
    }
    return MarkGood();
}

bool DisassemblerElf::IsValidRVA(uint32_t rva) const
{
    for (uint16_t i = 0; i < m_segmentCount; ++i) {
        const Segment s = SegmentAt(i);
        if (s.type == PT_LOAD && s.vaddr <= rva && rva - s.vaddr < s.memsz)
            return true;
    }
    return false;
}

bool DisassemblerElf::RVAToFileOffset(uint32_t rva, uint64_t *offset) const
{
    for (uint16_t i = 0; i < m_segmentCount; ++i) {
        const Segment s = SegmentAt(i);
        if (s.vaddr <= rva && rva - s.vaddr < s.memsz && rva - s.vaddr < s.filesz) {
            *offset = rva - s.vaddr + s.offset;
            return true;
        }
    }
    return false;
}

uint32_t DisassemblerElf::FileOffsetToRVA(uint64_t offset) const
{
    for (uint16_t i = 0; i < m_sectionCount; ++i) {
        const Section s = SectionAt(i);
        if (s.type != SHT_NOBITS && s.offset <= offset && offset - s.offset < s.size)
            return uint32_t(offset - s.offset + s.addr);
    }
    return 0;
}

bool DisassemblerElf::CheckSection(uint32_t rva) const
{
    uint64_t offset;
    if (!RVAToFileOffset(rva, &offset))
        return false;
    for (uint16_t i = 0; i < m_sectionCount; ++i) {
        const Section s = SectionAt(i);
        if ((s.type == SHT_PROGBITS || s.type == SHT_REL) && s.offset <= offset
            && offset - s.offset < s.size)
            return true;
    }
    return false;
}

bool DisassemblerElf::Disassemble(AssemblyProgram *program)
{
    if (!good())
        return false;
    try {
        program->setImageBase(0);
        if (!ParseAbs32Relocs() || !ParseRel32Relocs() || !ParseFile(program))
            return false;
        program->AssignIndexesInOrder();
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

bool DisassemblerElf::ParseAbs32Relocs()
{
    m_abs32Locations.clear();
    for (uint16_t i = 0; i < m_sectionCount; ++i) {
        const Section s = SectionAt(i);
        if (s.type != SHT_REL || !ReadsRelocationEntries())
            continue;
        const uint64_t count = RelocationCount(s);
        for (uint64_t k = 0; k < count; ++k) {
            uint32_t rva;
            if (RelToRVA(RelocationAt(s, k), &rva) && CheckSection(rva))
                m_abs32Locations.push_back(rva);
        }
    }
    std::sort(m_abs32Locations.begin(), m_abs32Locations.end());
    return true;
}

bool DisassemblerElf::ParseRel32Relocs()
{
    m_rel32Locations.clear();
    for (uint16_t i = 0; i < m_sectionCount; ++i) {
        const Section s = SectionAt(i);
        if (s.type == SHT_PROGBITS && !ParseRel32RelocsFromSection(s))
            return false;
    }
    std::stable_sort(m_rel32Locations.begin(), m_rel32Locations.end(), TypedRVA::IsLessThanByRVA);
    return true;
}

bool DisassemblerElf::ParseRel32RelocsFromSectionX86(const Section &section, bool x64Forms)
{
    const uint8_t *sectionStart = PointerAt(section.offset);
    const uint8_t *sectionEnd = sectionStart + section.size;
    const uint32_t base = uint32_t(section.addr);
    const uint8_t *p = sectionStart;
    while (p < sectionEnd) {
        const uint8_t *field;
        if (FindX86Rel32(p, sectionEnd, x64Forms, &field) != kNoRel32) {
            const uint32_t rva = base + uint32_t(field - sectionStart);
            std::unique_ptr<TypedRVA> location(new TypedRVARel32(rva));
            if (location->ComputeRelativeTarget(field)
                && IsValidRVA(rva + location->relative_target())) {
                m_rel32Locations.push_back(std::move(location));
                p = field + 4;
                continue;
            }
        }
        ++p;
    }
    return true;
}

bool DisassemblerElf::EmitBytes(AssemblyProgram *program, uint64_t offset, uint64_t count) const
{
    if (count == 0)
        return true;
    if (offset > length() || count > length() - offset || count > UINT32_MAX)
        return false;
    return program->EmitBytes(PointerAt(offset), uint32_t(count));
}

bool DisassemblerElf::EmitRestOfSection(AssemblyProgram *program, const Section &section,
                                        uint64_t offset) const
{
    const uint64_t end = section.offset + section.size;
    return offset >= end || EmitBytes(program, offset, end - offset);
}

bool DisassemblerElf::ParseFile(AssemblyProgram *program)
{
    std::vector<uint64_t> absOffsets;
    absOffsets.reserve(m_abs32Locations.size());
    for (uint32_t rva : m_abs32Locations) {
        uint64_t offset;
        if (!RVAToFileOffset(rva, &offset))
            return false;
        absOffsets.push_back(offset);
    }
    for (const std::unique_ptr<TypedRVA> &location : m_rel32Locations) {
        uint64_t offset;
        if (!RVAToFileOffset(location->rva(), &offset))
            return false;
        location->set_file_offset(offset);
    }

    std::vector<uint64_t>::const_iterator absCur = absOffsets.cbegin();
    const std::vector<uint64_t>::const_iterator absEnd = absOffsets.cend();
    size_t relCur = 0;
    uint64_t fileOffset = 0;
    for (uint16_t i = 0; i < m_sectionCount; ++i) {
        const Section s = SectionAt(i);
        if (s.offset > fileOffset && !EmitBytes(program, fileOffset, s.offset - fileOffset))
            return false;
        fileOffset = s.offset;
        const auto absInside = [&]() {
            return absCur != absEnd && *absCur >= s.offset && *absCur - s.offset < s.size;
        };
        switch (s.type) {
        case SHT_REL:
            if (!ParseRelocationSection(s, program))
                return false;
            fileOffset = s.offset + s.size;
            break;
        case SHT_PROGBITS:
            if (!ParseProgbitsSection(s, &absCur, absEnd, &relCur, program))
                return false;
            fileOffset = s.offset + s.size;
            break;
        case SHT_NOBITS:
        case SHT_INIT_ARRAY:
        case SHT_FINI_ARRAY:
            while (absInside()) {
                QP_LOG(LogLevel_DEBUG)
                    << "Skipping relocation entry for unsupported section: " << s.type;
                ++absCur;
            }
            break;
        default:
            if (absInside())
                QP_LOG(LogLevel_DEBUG)
                    << "Relocation address in unrecognized ELF section: " << s.type;
            break;
        }
    }
    if (length() > fileOffset && !EmitBytes(program, fileOffset, length() - fileOffset))
        return false;
    return absCur == absEnd;
}

bool DisassemblerElf::ParseProgbitsSection(const Section &section,
                                           std::vector<uint64_t>::const_iterator *absCur,
                                           std::vector<uint64_t>::const_iterator absEnd,
                                           size_t *relCur, AssemblyProgram *program)
{
    if (!program->EmitOrigin(uint32_t(section.addr)))
        return false;
    const size_t relEnd = m_rel32Locations.size();
    uint64_t offset = section.offset;
    const uint64_t end = section.offset + section.size;
    while (offset < end) {
        if (*absCur != absEnd && offset > **absCur)
            return false;
        while (*relCur < relEnd && m_rel32Locations[*relCur]->file_offset() < offset)
            ++*relCur;
        TypedRVA *rel = *relCur < relEnd ? m_rel32Locations[*relCur].get() : nullptr;

        uint64_t next = end;
        if (*absCur != absEnd && **absCur < next)
            next = **absCur;
        if (rel && next > rel->file_offset() + 3)
            next = rel->file_offset();

        if (next > offset) {
            if (!EmitBytes(program, offset, next - offset))
                return false;
            offset = next;
        } else if (*absCur != absEnd && offset == **absCur) {
            if (offset + 4 > length())
                return false;
            Label *label = program->FindOrMakeAbs32Label(Read32(PointerAt(offset)));
            if (!label || !program->EmitAbs32(label))
                return false;
            offset += 4;
            ++*absCur;
        } else if (rel && offset == rel->file_offset()) {
            const uint32_t rva = uint32_t(section.addr - section.offset + offset);
            if (!rel->EmitInstruction(program, rva + rel->relative_target()))
                return false;
            offset += rel->op_size();
            ++*relCur;
        } else {
            return false; // cannot happen: next is one of the two locations here
        }
    }
    return true;
}

} // namespace quorpatch
