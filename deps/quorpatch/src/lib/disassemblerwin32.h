#ifndef QUORPATCH_DISASSEMBLERWIN32_H
#define QUORPATCH_DISASSEMBLERWIN32_H

#include <string>
#include <vector>

#include "disassembler.h"

namespace quorpatch {

// What the PE32 and PE32+ disassemblers share. Absolute references come from the base
// relocation table, relative ones from a scan of ".text"; the relocation table itself becomes
// one marker from which it is rebuilt.
class DisassemblerWin32 : public Disassembler
{
public:
    struct DataDirectory
    {
        uint32_t rva;
        uint32_t size;
    };

    ~DisassemblerWin32() override;

    bool ParseHeader() override;
    bool Disassemble(AssemblyProgram *program) override;

    // 2^32 - 1 when the RVA has no file offset.
    uint32_t RVAToFileOffset(uint32_t rva) const;
    // Null when the RVA has no file offset inside the image.
    const uint8_t *RVAToPointer(uint32_t rva) const;
    // 0 when no section's raw data holds the offset.
    uint32_t FileOffsetToRVA(uint32_t offset) const;
    // The section with raw data that starts first at or after the offset; null when none.
    const uint8_t *FindNextSection(uint32_t offset) const;
    // A diagnostic: the RVA in hexadecimal, with its section and the offset inside it.
    std::string DescribeRVA(uint32_t rva) const;

    bool is_pe32_plus() const { return m_isPe32Plus; }
    uint64_t image_base() const { return m_imageBase; }
    uint32_t size_of_image() const { return m_sizeOfImage; }
    const DataDirectory &base_relocation_table() const { return m_baseRelocationTable; }
    const std::vector<uint32_t> &abs32_locations() const { return m_abs32Locations; }
    const std::vector<uint32_t> &rel32_locations() const { return m_rel32Locations; }

    // Fields of an entry of the section table.
    static uint32_t SectionVirtualSize(const uint8_t *section) { return Read32(section + 8); }
    static uint32_t SectionVirtualAddress(const uint8_t *section) { return Read32(section + 12); }
    static uint32_t SectionRawSize(const uint8_t *section) { return Read32(section + 16); }
    static uint32_t SectionRawOffset(const uint8_t *section) { return Read32(section + 20); }
    static bool IsTextSection(const uint8_t *section);
    uint16_t SectionCount() const { return m_sectionCount; }
    const uint8_t *SectionAt(uint16_t index) const { return m_sectionTable + size_t(index) * 40; }

protected:
    DisassemblerWin32(const void *start, size_t length, bool pe32Plus, uint16_t relocationType);

private:
    bool ReadDataDirectory(int index, DataDirectory *directory);
    bool ParseRelocs();
    void ParseRel32RelocsFromSection(const uint8_t *section);
    bool ParseFile(AssemblyProgram *program);
    bool ParseFileRegion(const uint8_t *section, uint32_t start, uint32_t end,
                         AssemblyProgram *program);

    // The class: which bitness it takes and the relocation entry type of its images.
    const bool m_classIsPe32Plus;
    const uint16_t m_relocationType;

    std::vector<uint32_t> m_abs32Locations;
    std::vector<uint32_t> m_rel32Locations;
    bool m_isPe32Plus;
    bool m_hasText;
    const uint8_t *m_optionalHeader;
    uint16_t m_optionalHeaderSize;
    uint16_t m_dataDirectoriesOffset;
    uint16_t m_machine;
    uint16_t m_sectionCount;
    const uint8_t *m_sectionTable;
    uint32_t m_sizeOfCode;
    uint32_t m_sizeOfInitializedData;
    uint32_t m_sizeOfUninitializedData;
    uint32_t m_baseOfCode;
    uint32_t m_baseOfData;
    uint64_t m_imageBase;
    uint32_t m_sizeOfImage;
    uint32_t m_numberOfRvaAndSizes;
    DataDirectory m_exportTable;
    DataDirectory m_importTable;
    DataDirectory m_resourceTable;
    DataDirectory m_exceptionTable;
    DataDirectory m_baseRelocationTable;
    DataDirectory m_boundImportTable;
    DataDirectory m_importAddressTable;
    DataDirectory m_delayImportDescriptor;
    DataDirectory m_clrRuntimeHeader;
};

} // namespace quorpatch

#endif // QUORPATCH_DISASSEMBLERWIN32_H
