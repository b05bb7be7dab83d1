#include "disassemblermacho.h"

#include <algorithm>
#include <new>

#include "assemblyprogram.h"
#include "logmessage.h"

namespace quorpatch {

namespace {

const uint32_t MH_MAGIC = 0xFEEDFACE;
const uint32_t MH_MAGIC_64 = 0xFEEDFACF;
const uint32_t CPU_TYPE_X86 = 7;
const uint32_t CPU_TYPE_X86_64 = 0x01000007;
const uint32_t LC_SEGMENT = 1;
const uint32_t LC_SEGMENT_64 = 25;
const size_t kSegment32Size = 56;
const size_t kSection32Size = 68;
const size_t kSegment64Size = 72;
const size_t kSection64Size = 80;

// Pure instructions of the regular section type.
bool IsCodeSection(uint32_t flags)
{
    return (flags & 0x800000FF) == 0x80000000;
}

} // namespace

DisassemblerMacho::DisassemblerMacho(const void *start, size_t length)
    : Disassembler(start, length)
    , m_type(EXE_UNKNOWN)
    , m_imageLength(0)
    , m_is64(false)
{ }

DisassemblerMacho::~DisassemblerMacho() = default;

bool DisassemblerMacho::Narrow(uint64_t value, uint32_t *narrowed)
{
    if (value > UINT32_MAX)
        return MarkBad("overflow");
    *narrowed = uint32_t(value);
    return true;
}

bool DisassemblerMacho::ParseHeader()
{
    m_imageLength = 0;
    m_segments.clear();
    m_codeSections.clear();
    if (length() < 32)
        return MarkBad("Too small");
    const uint32_t magic = Read32(start());
    const uint32_t cpuType = Read32(start() + 4);
    if (magic == MH_MAGIC_64) {
        if (cpuType != CPU_TYPE_X86_64)
            return MarkBad("unsupported cpu type");
        m_is64 = true;
        m_type = MACHO_X64;
    } else if (magic == MH_MAGIC) {
        if (cpuType != CPU_TYPE_X86)
            return MarkBad("unsupported cpu type");
        m_is64 = false;
        m_type = MACHO_X86;
    } else {
        return MarkBad("Unknown magic type");
    }
    const uint32_t fileType = Read32(start() + 12);
    if (fileType != 2 && fileType != 5 && fileType != 6 && fileType != 8)
        return MarkBad("Unsupported filetype in header");

    try {
        const uint32_t commandCount = Read32(start() + 16);
        size_t at = m_is64 ? 32 : 28;
        for (uint32_t i = 0; i < commandCount; ++i) {
            if (length() - at < 8)
                return MarkBad("file to small in load commands");
            const uint8_t *command = PointerAt(at);
            const uint32_t type = Read32(command);
            const uint32_t size = Read32(command + 4);
            if (size > length() - at)
                return MarkBad("file to small in load commands");
            // A size below the command's own fields would read the same bytes again.
            if (size < 8)
                return MarkBad("bad load command size");
            if (type == LC_SEGMENT && !ParseSegment32(command, size))
                return false;
            if (type == LC_SEGMENT_64 && !ParseSegment64(command, size))
                return false;
            at += size;
        }
    } catch (const std::bad_alloc &) {
        return MarkBad("out of memory");
    }

    if (!m_segments.empty()) {
        uint64_t lowest = m_segments.front().vmAddress;
        for (const Segment &s : m_segments)
            lowest = std::min(lowest, s.vmAddress);
        for (Segment &s : m_segments) {
            s.vmAddress -= lowest;
            if (s.vmAddress + s.vmSize > UINT32_MAX)
                return MarkBad("overflow");
        }
        for (CodeSection &c : m_codeSections)
            c.address -= lowest;
    }
    if (m_codeSections.empty())
        return MarkBad("Resource-only executables are not yet supported");
    std::stable_sort(
        m_codeSections.begin(), m_codeSections.end(),
        [](const CodeSection &a, const CodeSection &b) { return a.fileOffset < b.fileOffset; });
    ClampLength(m_imageLength);
    // Segments hold their sections in their address ranges, not necessarily in their file
    // ranges; code is read from the file, so it has to lie inside the image.
    for (const CodeSection &c : m_codeSections) {
        if (uint64_t(c.fileOffset) + c.size > length())
            return MarkBad("section outside image");
    }
    return MarkGood();
}

bool DisassemblerMacho::ParseSegment32(const uint8_t *command, uint32_t commandSize)
{
    if (m_is64)
        return MarkBad("LC_SEGMENT not supported");
    if (commandSize < kSegment32Size)
        return MarkBad("bad LC_SEGMENT");
    Segment segment;
    segment.vmAddress = Read32(command + 24);
    segment.vmSize = Read32(command + 28);
    segment.fileOffset = Read32(command + 32);
    segment.fileSize = Read32(command + 36);
    const uint32_t sectionCount = Read32(command + 48);
    m_segments.push_back(segment);
    const uint64_t fileEnd = uint64_t(segment.fileOffset) + segment.fileSize;
    m_imageLength = uint32_t(std::max<uint64_t>(m_imageLength, fileEnd));
    if (fileEnd > length())
        return MarkBad("segment too large");
    if (commandSize < kSegment32Size + uint64_t(sectionCount) * kSection32Size)
        return MarkBad("sections too small");
    for (uint32_t i = 0; i < sectionCount; ++i) {
        const uint8_t *section = command + kSegment32Size + size_t(i) * kSection32Size;
        if (!IsCodeSection(Read32(section + 56)))
            continue;
        CodeSection code;
        code.address = Read32(section + 32);
        code.size = Read32(section + 36);
        code.fileOffset = Read32(section + 40);
        if (code.address < segment.vmAddress
            || code.address + code.size - segment.vmAddress > segment.vmSize)
            return MarkBad("section larger than segment");
        m_codeSections.push_back(code);
    }
    return true;
}

bool DisassemblerMacho::ParseSegment64(const uint8_t *command, uint32_t commandSize)
{
    if (!m_is64)
        return MarkBad("LC_SEGMENT_64 not supported");
    if (commandSize < kSegment64Size)
        return MarkBad("bad LC_SEGMENT_64");
    const uint32_t sectionCount = Read32(command + 64);
    if (sectionCount == 0)
        return true;
    Segment segment;
    segment.vmAddress = Read64(command + 24);
    if (!Narrow(Read64(command + 32), &segment.vmSize)
        || !Narrow(Read64(command + 40), &segment.fileOffset)
        || !Narrow(Read64(command + 48), &segment.fileSize))
        return false;
    m_segments.push_back(segment);
    const uint64_t fileEnd = uint64_t(segment.fileOffset) + segment.fileSize;
    m_imageLength = uint32_t(std::max<uint64_t>(m_imageLength, fileEnd));
    if (fileEnd > length())
        return MarkBad("segment too large");
    if (commandSize < kSegment64Size + uint64_t(sectionCount) * kSection64Size)
        return MarkBad("sections too small");
    for (uint32_t i = 0; i < sectionCount; ++i) {
        const uint8_t *section = command + kSegment64Size + size_t(i) * kSection64Size;
        if (!IsCodeSection(Read32(section + 64)))
            continue;
        CodeSection code;
        code.address = Read64(section + 32);
        if (!Narrow(Read64(section + 40), &code.size))
            return false;
        code.fileOffset = Read32(section + 48);
        if (code.address < segment.vmAddress
            || code.address - segment.vmAddress + code.size > segment.vmSize)
            return MarkBad("section larger than segment");
        m_codeSections.push_back(code);
    }
    return true;
}

uint32_t DisassemblerMacho::RVAToFileOffset(uint32_t rva) const
{
    for (const Segment &s : m_segments) {
        if (s.vmAddress <= rva && rva - s.vmAddress < s.vmSize) {
            const uint64_t delta = rva - s.vmAddress;
            return delta < s.fileSize ? uint32_t(s.fileOffset + delta) : UINT32_MAX;
        }
    }
    QP_LOG(LogLevel_WARNING) << "RVAToFileOffset reached invalid point";
    return UINT32_MAX;
}

const uint8_t *DisassemblerMacho::RVAToPointer(uint32_t rva) const
{
    const uint32_t offset = RVAToFileOffset(rva);
    return offset == UINT32_MAX || offset >= length() ? nullptr : PointerAt(offset);
}

const DisassemblerMacho::Segment *DisassemblerMacho::SegmentAtFileOffset(uint64_t offset) const
{
    for (const Segment &s : m_segments) {
        if (s.fileOffset <= offset && offset - s.fileOffset < s.fileSize)
            return &s;
    }
    return nullptr;
}

uint32_t DisassemblerMacho::FileOffsetToRVA(uint32_t offset) const
{
    return FileOffsetToRVAOrZero(offset);
}

uint32_t DisassemblerMacho::FileOffsetToRVAOrZero(uint64_t offset) const
{
    const Segment *s = SegmentAtFileOffset(offset);
    return s ? uint32_t(offset - s->fileOffset + s->vmAddress) : 0;
}

bool DisassemblerMacho::IsRVAInSegment(uint32_t rva) const
{
    for (const Segment &s : m_segments) {
        if (s.vmAddress <= rva && rva - s.vmAddress < s.vmSize)
            return true;
    }
    return false;
}

bool DisassemblerMacho::Disassemble(AssemblyProgram *program)
{
    if (!good())
        return false;
    try {
        program->setImageBase(0);
        m_rel32Locations.clear();
        for (const CodeSection &section : m_codeSections) {
            if (!ParseRel32Locations(section))
                return false;
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

bool DisassemblerMacho::ParseRel32Locations(const CodeSection &section)
{
    const uint8_t *sectionStart = PointerAt(section.fileOffset);
    const uint8_t *sectionEnd = sectionStart + section.size;
    const uint32_t base = FileOffsetToRVAOrZero(section.fileOffset);
    const uint8_t *p = sectionStart;
    while (p < sectionEnd) {
        const uint8_t *field;
        const Rel32Form form = FindX86Rel32(p, sectionEnd, true, &field);
        if (form == kDirectRel32 || (form == kMemoryRel32 && m_is64)) {
            const uint32_t rva = base + uint32_t(field - sectionStart);
            if (IsRVAInSegment(rva + Read32(field) + 4)) {
                m_rel32Locations.push_back(rva);
                p = field + 4;
                continue;
            }
        }
        ++p;
    }
    return true;
}

bool DisassemblerMacho::EmitBytes(AssemblyProgram *program, uint64_t from, uint64_t to)
{
    for (uint64_t at = from; at < to; ++at) {
        if (!program->EmitByte(*PointerAt(at)))
            return false;
    }
    return true;
}

bool DisassemblerMacho::ParseFile(AssemblyProgram *program)
{
    uint64_t offset = 0;
    // Sections are taken in file order, each once: an empty section would otherwise be the next
    // one again and again.
    size_t index = 0;
    while (true) {
        while (index < m_codeSections.size() && m_codeSections[index].fileOffset < offset)
            ++index;
        if (index == m_codeSections.size())
            return EmitBytes(program, offset, m_imageLength);
        const CodeSection &next = m_codeSections[index++];
        if (!EmitBytes(program, offset, next.fileOffset))
            return false;
        const uint64_t end = uint64_t(next.fileOffset) + next.size;
        if (!ParseCodeRegion(program, next.fileOffset, end))
            return false;
        offset = end;
        if (offset >= m_imageLength)
            return true;
    }
}

bool DisassemblerMacho::ParseCodeRegion(AssemblyProgram *program, uint64_t from, uint64_t to)
{
    const uint32_t origin = FileOffsetToRVAOrZero(from);
    if (!program->EmitOrigin(origin))
        return false;
    std::vector<uint32_t>::const_iterator cursor = m_rel32Locations.cbegin();
    const std::vector<uint32_t>::const_iterator end = m_rel32Locations.cend();
    uint64_t at = from;
    while (at < to) {
        const uint32_t rva = origin + uint32_t(at - from);
        while (cursor != end && *cursor < rva)
            ++cursor;
        if (cursor != end && *cursor == rva) {
            if (at + 4 > length())
                return false;
            Label *label = program->FindOrMakeRel32Label(rva + Read32(PointerAt(at)) + 4);
            if (!label || !program->EmitRel32(label))
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
