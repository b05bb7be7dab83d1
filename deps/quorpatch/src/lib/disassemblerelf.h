#ifndef QUORPATCH_DISASSEMBLERELF_H
#define QUORPATCH_DISASSEMBLERELF_H

#include <memory>
#include <vector>

#include "disassembler.h"

namespace quorpatch {

class AssemblyProgram;

// What the 32- and 64-bit ELF disassemblers share: the header checks, address mapping, the
// relocation and branch location lists and the walk over the file. The two word sizes differ
// only in where the header fields lie, which a layout describes.
class DisassemblerElf : public Disassembler
{
public:
    // One relative branch location.
    class TypedRVA
    {
    public:
        explicit TypedRVA(uint32_t rva);
        virtual ~TypedRVA();

        uint32_t rva() const { return m_rva; }
        uint32_t relative_target() const { return m_relativeTarget; }
        void set_relative_target(uint32_t target) { m_relativeTarget = target; }
        uint64_t file_offset() const { return m_fileOffset; }
        void set_file_offset(uint64_t offset) { m_fileOffset = offset; }

        // Reads the branch at location and stores the distance to its target.
        virtual bool ComputeRelativeTarget(const uint8_t *location) = 0;
        virtual bool EmitInstruction(AssemblyProgram *program, uint32_t targetRva) = 0;
        // Bytes the reference covers.
        virtual uint16_t op_size() const = 0;

        static bool IsLessThanByRVA(const std::unique_ptr<TypedRVA> &a,
                                    const std::unique_ptr<TypedRVA> &b)
        {
            return a->rva() < b->rva();
        }

    private:
        uint32_t m_rva;
        uint32_t m_relativeTarget;
        uint64_t m_fileOffset;
    };

    // A 4-byte x86 / x86-64 PC-relative field.
    class TypedRVARel32 : public TypedRVA
    {
    public:
        explicit TypedRVARel32(uint32_t rva)
            : TypedRVA(rva)
        { }
        bool ComputeRelativeTarget(const uint8_t *location) override;
        bool EmitInstruction(AssemblyProgram *program, uint32_t targetRva) override;
        uint16_t op_size() const override { return 4; }
    };

    // A section header, widened to 64 bits.
    struct Section
    {
        uint32_t type;
        uint64_t addr;
        uint64_t offset;
        uint64_t size;
        uint64_t entsize;
    };

    // A program header, widened to 64 bits.
    struct Segment
    {
        uint32_t type;
        uint64_t offset;
        uint64_t vaddr;
        uint64_t filesz;
        uint64_t memsz;
    };

    enum {
        SHT_PROGBITS = 1,
        SHT_NOBITS = 8,
        SHT_REL = 9,
        SHT_INIT_ARRAY = 14,
        SHT_FINI_ARRAY = 15,
        PT_LOAD = 1,
    };

    // Where the fields of the headers lie for one word size.
    struct Layout
    {
        size_t headerSize;
        size_t wordSize; // 4 or 8: e_phoff, e_shoff and the widened fields
        size_t phoffAt, shoffAt, phnumAt, shentsizeAt, shnumAt, shstrndxAt;
        size_t sectionHeaderSize;
        size_t shAddrAt, shOffsetAt, shSizeAt, shEntsizeAt;
        size_t programHeaderSize;
        size_t pOffsetAt, pVaddrAt, pFileszAt, pMemszAt;
        size_t relocationSize; // r_offset then r_info, one word each
    };

    ~DisassemblerElf() override;

    bool ParseHeader() override;
    bool Disassemble(AssemblyProgram *program) override;

    // The e_machine this disassembler takes.
    virtual uint16_t ElfEM() const = 0;
    // True when the relocation entry names an absolute address to follow; its RVA then.
    virtual bool RelToRVA(const uint8_t *entry, uint32_t *rva) const = 0;
    // Emits a relocation section (the entries read are inside the image, checked by
    // ParseHeader).
    virtual bool ParseRelocationSection(const Section &section, AssemblyProgram *program) = 0;
    // Adds the relative branches of a code section to the rel32 locations.
    virtual bool ParseRel32RelocsFromSection(const Section &section) = 0;
    // False when RelToRVA never looks at an entry; such entries need not lie in the image.
    virtual bool ReadsRelocationEntries() const { return true; }

    uint16_t SectionCount() const { return m_sectionCount; }
    Section SectionAt(uint16_t index) const;
    uint16_t SegmentCount() const { return m_segmentCount; }
    Segment SegmentAt(uint16_t index) const;

    bool IsValidRVA(uint32_t rva) const;
    bool RVAToFileOffset(uint32_t rva, uint64_t *offset) const;
    uint32_t FileOffsetToRVA(uint64_t offset) const;
    bool CheckSection(uint32_t rva) const;

    const std::vector<uint32_t> &abs32_locations() const { return m_abs32Locations; }
    const std::vector<std::unique_ptr<TypedRVA>> &rel32_locations() const
    {
        return m_rel32Locations;
    }

protected:
    DisassemblerElf(const void *start, size_t length, const Layout &layout);

    const Layout &layout() const { return m_layout; }
    uint64_t Word(const uint8_t *p) const { return m_layout.wordSize == 8 ? Read64(p) : Read32(p); }
    // Relocation entries of a section: sh_size / sh_entsize, laid out relocationSize apart.
    uint64_t RelocationCount(const Section &section) const
    {
        return section.size / section.entsize;
    }
    const uint8_t *RelocationAt(const Section &section, uint64_t index) const
    {
        return PointerAt(section.offset + index * m_layout.relocationSize);
    }

    // The scan of ELF x86 and x86-64 code.
    bool ParseRel32RelocsFromSectionX86(const Section &section, bool x64Forms);

    // Literal bytes [offset, offset + count) of the image.
    bool EmitBytes(AssemblyProgram *program, uint64_t offset, uint64_t count) const;
    // Literal bytes from offset to the section's end; nothing when offset is past it, as the
    // entries read from a section of small sh_entsize may be.
    bool EmitRestOfSection(AssemblyProgram *program, const Section &section, uint64_t offset) const;

    std::vector<uint32_t> m_abs32Locations;
    std::vector<std::unique_ptr<TypedRVA>> m_rel32Locations;

private:
    bool ParseAbs32Relocs();
    bool ParseRel32Relocs();
    bool ParseFile(AssemblyProgram *program);
    bool ParseProgbitsSection(const Section &section, std::vector<uint64_t>::const_iterator *absCur,
                              std::vector<uint64_t>::const_iterator absEnd, size_t *relCur,
                              AssemblyProgram *program);

    Layout m_layout;
    const uint8_t *m_header;
    const uint8_t *m_sectionHeaders;
    uint16_t m_sectionCount;
    const uint8_t *m_programHeaders;
    uint16_t m_segmentCount;
    const uint8_t *m_sectionNames;
};

} // namespace quorpatch

#endif // QUORPATCH_DISASSEMBLERELF_H
