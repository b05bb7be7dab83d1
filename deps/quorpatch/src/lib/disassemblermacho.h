#ifndef QUORPATCH_DISASSEMBLERMACHO_H
#define QUORPATCH_DISASSEMBLERMACHO_H

#include <vector>

#include "disassembler.h"

namespace quorpatch {

// Thin Mach-O images for 32- and 64-bit Intel. Mach-O relocations are not followed: the program
// has relative references in code sections and literal bytes everywhere else.
class DisassemblerMacho : public Disassembler
{
public:
    struct Segment
    {
        uint64_t vmAddress;
        uint32_t vmSize;
        uint32_t fileOffset;
        uint32_t fileSize;
    };

    struct CodeSection
    {
        uint64_t address;
        uint32_t size;
        uint32_t fileOffset;
    };

    DisassemblerMacho(const void *start, size_t length);
    ~DisassemblerMacho() override;

    ExecutableType kind() const override { return m_type; }
    bool ParseHeader() override;
    bool Disassemble(AssemblyProgram *program) override;

    // 2^32 - 1 when the RVA has no file offset.
    uint32_t RVAToFileOffset(uint32_t rva) const;
    // Null when the RVA has no file offset.
    const uint8_t *RVAToPointer(uint32_t rva) const;
    // 0 when no segment holds the offset.
    uint32_t FileOffsetToRVA(uint32_t offset) const;
    bool IsRVAInSegment(uint32_t rva) const;

    const std::vector<Segment> &segments() const { return m_segments; }
    const std::vector<CodeSection> &code_sections() const { return m_codeSections; }
    const std::vector<uint32_t> &rel32_locations() const { return m_rel32Locations; }

private:
    bool ParseSegment32(const uint8_t *command, uint32_t commandSize);
    bool ParseSegment64(const uint8_t *command, uint32_t commandSize);
    // Stores "overflow" as the failure reason when the value does not fit 32 bits.
    bool Narrow(uint64_t value, uint32_t *narrowed);
    const Segment *SegmentAtFileOffset(uint64_t offset) const;
    uint32_t FileOffsetToRVAOrZero(uint64_t offset) const;

    bool ParseRel32Locations(const CodeSection &section);
    bool ParseFile(AssemblyProgram *program);
    bool EmitBytes(AssemblyProgram *program, uint64_t from, uint64_t to);
    bool ParseCodeRegion(AssemblyProgram *program, uint64_t from, uint64_t to);

    std::vector<uint32_t> m_rel32Locations;
    std::vector<Segment> m_segments;
    std::vector<CodeSection> m_codeSections;
    ExecutableType m_type;
    uint32_t m_imageLength;
    bool m_is64;
};

} // namespace quorpatch

#endif // QUORPATCH_DISASSEMBLERMACHO_H
