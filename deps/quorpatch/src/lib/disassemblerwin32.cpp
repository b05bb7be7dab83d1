#include "disassemblerwin32.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "assemblyprogram.h"
#include "logmessage.h"

namespace quorpatch {

namespace {
const size_t kSectionHeaderSize = 40;
}

DisassemblerWin32::DisassemblerWin32(const void *start, size_t length, bool pe32Plus,
                                     uint16_t relocationType)
    : Disassembler(start, length)
    , m_classIsPe32Plus(pe32Plus)
    , m_relocationType(relocationType)
    , m_isPe32Plus(false)
    , m_hasText(false)
    , m_optionalHeader(nullptr)
    , m_optionalHeaderSize(0)
    , m_dataDirectoriesOffset(0)
    , m_machine(0)
    , m_sectionCount(0)
    , m_sectionTable(nullptr)
    , m_sizeOfCode(0)
    , m_sizeOfInitializedData(0)
    , m_sizeOfUninitializedData(0)
    , m_baseOfCode(0)
    , m_baseOfData(0)
    , m_imageBase(0)
    , m_sizeOfImage(0)
    , m_numberOfRvaAndSizes(0)
    , m_exportTable()
    , m_importTable()
    , m_resourceTable()
    , m_exceptionTable()
    , m_baseRelocationTable()
    , m_boundImportTable()
    , m_importAddressTable()
    , m_delayImportDescriptor()
    , m_clrRuntimeHeader()
{ }

DisassemblerWin32::~DisassemblerWin32() = default;

bool DisassemblerWin32::IsTextSection(const uint8_t *section)
{
    return std::memcmp(section, ".text", 6) == 0;
}

bool DisassemblerWin32::ReadDataDirectory(int index, DataDirectory *directory)
{
    if (m_numberOfRvaAndSizes <= uint32_t(index)) {
        directory->rva = 0;
        directory->size = 0;
        return true;
    }
    const size_t entry = size_t(m_dataDirectoriesOffset) + 8 * size_t(index);
    if (entry >= m_optionalHeaderSize)
        return MarkBad("number of data directories inconsistent");
    const size_t entryOffset = size_t(m_optionalHeader - start()) + entry;
    if (entryOffset + 8 > length())
        return MarkBad("data directory outside image");
    directory->rva = Read32(m_optionalHeader + entry);
    directory->size = Read32(m_optionalHeader + entry + 4);
    if (directory->size > m_sizeOfImage)
        return MarkBad("data directory size too big");
    return true;
}

bool DisassemblerWin32::ParseHeader()
{
    if (length() < 64)
        return MarkBad("Too small");
    if (start()[0] != 'M' || start()[1] != 'Z')
        return MarkBad("Not MZ");
    const uint32_t peOffset = Read32(start() + 60);
    if (peOffset >= length() || peOffset == 0 || length() - peOffset <= 24)
        return MarkBad("Bad offset to PE header");
    if (peOffset % 8 != 0)
        return MarkBad("Misaligned PE header");
    const uint8_t *pe = PointerAt(peOffset);
    if (std::memcmp(pe, "PE\0\0", 4) != 0)
        return MarkBad("no PE signature");

    const uint8_t *coff = pe + 4;
    m_machine = Read16(coff);
    m_sectionCount = Read16(coff + 2);
    m_optionalHeaderSize = Read16(coff + 16);
    const size_t optionalOffset = size_t(peOffset) + 24;
    if (optionalOffset + m_optionalHeaderSize >= length())
        return MarkBad("optional header past end of file");
    m_optionalHeader = PointerAt(optionalOffset);
    if (m_optionalHeaderSize < 2)
        return MarkBad("optional header no magic");
    const uint16_t magic = Read16(m_optionalHeader);
    if (magic == 0x10B) {
        m_isPe32Plus = false;
        m_dataDirectoriesOffset = 96;
    } else if (magic == 0x20B) {
        m_isPe32Plus = true;
        m_dataDirectoriesOffset = 112;
    } else {
        return MarkBad("unrecognized magic");
    }
    if (m_optionalHeaderSize < m_dataDirectoriesOffset)
        return MarkBad("optional header too short");

    const uint8_t *o = m_optionalHeader;
    m_sizeOfCode = Read32(o + 4);
    m_sizeOfInitializedData = Read32(o + 8);
    m_sizeOfUninitializedData = Read32(o + 12);
    m_baseOfCode = Read32(o + 20);
    m_baseOfData = m_isPe32Plus ? 0 : Read32(o + 24);
    m_imageBase = m_isPe32Plus ? Read64(o + 24) : Read32(o + 28);
    m_sizeOfImage = Read32(o + 56);
    m_numberOfRvaAndSizes = Read32(o + (m_isPe32Plus ? 108 : 92));

    const struct
    {
        int index;
        DataDirectory *directory;
    } directories[] = {
        {0, &m_exportTable},         {1, &m_importTable},
        {2, &m_resourceTable},       {3, &m_exceptionTable},
        {5, &m_baseRelocationTable}, {11, &m_boundImportTable},
        {12, &m_importAddressTable}, {13, &m_delayImportDescriptor},
        {14, &m_clrRuntimeHeader},
    };
    for (const auto &d : directories) {
        if (!ReadDataDirectory(d.index, d.directory))
            return MarkBad("malformed data directory");
    }

    // The headers do not bound the section table; it is read in place.
    const size_t tableOffset = optionalOffset + m_optionalHeaderSize;
    if (size_t(m_sectionCount) * kSectionHeaderSize > length() - tableOffset)
        return MarkBad("section table past end of file");
    m_sectionTable = PointerAt(tableOffset);
    m_hasText = false;
    uint64_t detectedLength = 0;
    for (uint16_t i = 0; i < m_sectionCount; ++i) {
        const uint8_t *section = SectionAt(i);
        if (IsTextSection(section))
            m_hasText = true;
        detectedLength = std::max<uint64_t>(
            detectedLength, uint64_t(SectionRawOffset(section)) + SectionRawSize(section));
    }
    ClampLength(detectedLength);

    if (m_isPe32Plus && !m_classIsPe32Plus)
        return MarkBad("64 bit executables are not supported by this disassembler");
    if (!m_isPe32Plus && m_classIsPe32Plus)
        return MarkBad("32 bit executables are not supported by this disassembler");
    if (!m_hasText)
        return MarkBad("Resource-only executables are not yet supported");
    // Raw data is read in place too.
    for (uint16_t i = 0; i < m_sectionCount; ++i) {
        const uint8_t *section = SectionAt(i);
        if (SectionRawSize(section) != 0
            && uint64_t(SectionRawOffset(section)) + SectionRawSize(section) > length())
            return MarkBad("section raw data past end of file");
    }
    return MarkGood();
}

uint32_t DisassemblerWin32::RVAToFileOffset(uint32_t rva) const
{
    for (uint16_t i = 0; i < m_sectionCount; ++i) {
        const uint8_t *section = SectionAt(i);
        const uint32_t address = SectionVirtualAddress(section);
        if (address <= rva && rva - address < SectionVirtualSize(section)) {
            const uint32_t delta = rva - address;
            return delta < SectionRawSize(section) ? SectionRawOffset(section) + delta : UINT32_MAX;
        }
    }
    // The headers' own RVAs.
    if (rva == 0 || rva == 2)
        return rva;
    QP_LOG(LogLevel_ERROR) << "REACHED UNREACHABLE";
    return UINT32_MAX;
}

const uint8_t *DisassemblerWin32::RVAToPointer(uint32_t rva) const
{
    const uint32_t offset = RVAToFileOffset(rva);
    return offset == UINT32_MAX || offset >= length() ? nullptr : PointerAt(offset);
}

uint32_t DisassemblerWin32::FileOffsetToRVA(uint32_t offset) const
{
    for (uint16_t i = 0; i < m_sectionCount; ++i) {
        const uint8_t *section = SectionAt(i);
        const uint32_t raw = SectionRawOffset(section);
        if (raw <= offset && offset - raw < SectionRawSize(section))
            return offset - raw + SectionVirtualAddress(section);
    }
    return 0;
}

const uint8_t *DisassemblerWin32::FindNextSection(uint32_t offset) const
{
    const uint8_t *best = nullptr;
    for (uint16_t i = 0; i < m_sectionCount; ++i) {
        const uint8_t *section = SectionAt(i);
        if (SectionRawSize(section) == 0 || SectionRawOffset(section) < offset)
            continue;
        if (!best || SectionRawOffset(section) < SectionRawOffset(best))
            best = section;
    }
    return best;
}

std::string DisassemblerWin32::DescribeRVA(uint32_t rva) const
{
    char text[64];
    std::snprintf(text, sizeof text, "%x", rva);
    std::string description = text;
    for (uint16_t i = 0; i < m_sectionCount; ++i) {
        const uint8_t *section = SectionAt(i);
        const uint32_t address = SectionVirtualAddress(section);
        if (address <= rva && rva - address < SectionVirtualSize(section)) {
            std::string name(reinterpret_cast<const char *>(section),
                             strnlen(reinterpret_cast<const char *>(section), 8));
            std::snprintf(text, sizeof text, "%x", rva - address);
            description += " (" + (name.empty() ? std::string("<none>") : name) + "+" + text + ")";
            break;
        }
    }
    return description;
}

bool DisassemblerWin32::Disassemble(AssemblyProgram *program)
{
    if (!good())
        return false;
    try {
        program->setImageBase(m_imageBase);
        if (!ParseRelocs())
            return false;
        std::sort(m_abs32Locations.begin(), m_abs32Locations.end());

        m_rel32Locations.clear();
        uint64_t offset = 0;
        while (offset < length()) {
            const uint8_t *section = FindNextSection(uint32_t(offset));
            if (!section)
                break;
            ParseRel32RelocsFromSection(section);
            offset
                = std::max<uint64_t>(offset, SectionRawOffset(section)) + SectionRawSize(section);
        }
        std::sort(m_rel32Locations.begin(), m_rel32Locations.end());

        if (!ParseFile(program))
            return false;
        program->AssignIndexesInOrder();
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

bool DisassemblerWin32::ParseRelocs()
{
    m_abs32Locations.clear();
    const uint32_t size = m_baseRelocationTable.size;
    if (size == 0)
        return true;
    const uint32_t tableOffset = RVAToFileOffset(m_baseRelocationTable.rva);
    if (tableOffset == UINT32_MAX || tableOffset >= length() || size > length() - tableOffset)
        return MarkBad(".relocs outside image");

    // The walk ends once 8 bytes or fewer are left, so a table of 8 bytes or less holds no
    // block.
    const uint64_t tableEnd = uint64_t(tableOffset) + size;
    uint64_t block = tableOffset;
    while (tableEnd - block > 8) {
        const uint32_t page = Read32(PointerAt(block));
        const uint32_t blockSize = Read32(PointerAt(block + 4));
        if (blockSize < 8 || blockSize % 4 != 0)
            return MarkBad("unreasonable relocs block");
        const uint64_t blockEnd = block + blockSize;
        if (blockEnd > length())
            return MarkBad(".relocs block outside image");
        for (uint64_t at = block + 8; at < blockEnd; at += 2) {
            const uint16_t entry = Read16(PointerAt(at));
            if (entry <= 0xFFF)
                continue; // padding
            if (entry >> 12 != m_relocationType)
                return MarkBad("unknown type of reloc");
            m_abs32Locations.push_back(page + (entry & 0xFFF));
        }
        block = blockEnd;
        if (block >= tableEnd)
            break;
    }
    return true;
}

void DisassemblerWin32::ParseRel32RelocsFromSection(const uint8_t *section)
{
    if (!IsTextSection(section))
        return;
    const uint32_t startRva = FileOffsetToRVA(SectionRawOffset(section));
    const uint64_t endRva = uint64_t(startRva) + SectionVirtualSize(section);
    const uint8_t *raw = PointerAt(SectionRawOffset(section));
    const uint64_t size = SectionRawSize(section);
    const uint8_t *rawEnd = raw + size;
    const uint32_t relocRva = m_baseRelocationTable.rva;
    const uint32_t relocSize = m_baseRelocationTable.size;

    std::vector<uint32_t>::const_iterator abs = m_abs32Locations.cbegin();
    const std::vector<uint32_t>::const_iterator absEnd = m_abs32Locations.cend();
    uint64_t at = 0;
    while (at < size) {
        const uint32_t rva = startRva + uint32_t(at);
        if (rva == relocRva && relocSize != 0) {
            at += relocSize;
            continue;
        }
        const uint8_t *field;
        const Rel32Form form = FindX86Rel32(raw + at, rawEnd, m_isPe32Plus, &field);
        if (form == kNoRel32) {
            ++at;
            continue;
        }
        const uint32_t fieldRva = startRva + uint32_t(field - raw);
        // A field that overlaps an absolute reference is no branch.
        while (abs != absEnd && uint64_t(*abs) + 3 < fieldRva)
            ++abs;
        if (abs != absEnd && uint64_t(*abs) < uint64_t(fieldRva) + 4) {
            at = uint64_t(*abs) + 4 - startRva;
            continue;
        }
        const uint32_t target = fieldRva + Read32(field) + 4;
        if (target < m_sizeOfImage
            && (form == kMemoryRel32 || (startRva <= target && target < endRva))) {
            m_rel32Locations.push_back(fieldRva);
            at = uint64_t(field - raw) + 4;
        } else {
            ++at;
        }
    }
}

bool DisassemblerWin32::ParseFile(AssemblyProgram *program)
{
    uint64_t offset = 0;
    while (offset < length()) {
        const uint8_t *section = FindNextSection(uint32_t(offset));
        if (!section)
            break;
        const uint32_t raw = SectionRawOffset(section);
        for (; offset < raw; ++offset) {
            if (!program->EmitByte(*PointerAt(offset)))
                return false;
        }
        const uint64_t end = uint64_t(raw) + SectionRawSize(section);
        if (!ParseFileRegion(section, raw, uint32_t(end), program))
            return false;
        offset = end;
    }
    return true;
}

bool DisassemblerWin32::ParseFileRegion(const uint8_t *, uint32_t start, uint32_t end,
                                        AssemblyProgram *program)
{
    const uint32_t startRva = FileOffsetToRVA(start);
    if (!program->EmitOrigin(startRva))
        return false;
    const uint32_t relocRva = m_baseRelocationTable.rva;
    const uint32_t relocSize = m_baseRelocationTable.size;
    std::vector<uint32_t>::const_iterator abs = m_abs32Locations.cbegin();
    const std::vector<uint32_t>::const_iterator absEnd = m_abs32Locations.cend();
    std::vector<uint32_t>::const_iterator rel = m_rel32Locations.cbegin();
    const std::vector<uint32_t>::const_iterator relEnd = m_rel32Locations.cend();

    uint64_t at = start;
    while (at < end) {
        const uint32_t rva = startRva + uint32_t(at - start);
        if (rva == relocRva) {
            if (!program->EmitPeRelocs())
                return false;
            if (relocSize != 0) {
                at += relocSize;
                continue;
            }
        }
        while (abs != absEnd && *abs < rva)
            ++abs;
        while (rel != relEnd && *rel < rva)
            ++rel;
        const bool isAbs = abs != absEnd && *abs == rva;
        if (isAbs || (rel != relEnd && *rel == rva)) {
            if (at + 4 > length())
                return false;
            const uint32_t value = Read32(PointerAt(at));
            Label *label = isAbs ? program->FindOrMakeAbs32Label(value - uint32_t(m_imageBase))
                                 : program->FindOrMakeRel32Label(rva + value + 4);
            if (!label || !(isAbs ? program->EmitAbs32(label) : program->EmitRel32(label)))
                return false;
            at += 4;
        } else {
            if (!program->EmitByte(*PointerAt(at)))
                return false;
            ++at;
        }
    }
    return true;
}

} // namespace quorpatch
