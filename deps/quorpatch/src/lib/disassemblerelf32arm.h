#ifndef QUORPATCH_DISASSEMBLERELF32ARM_H
#define QUORPATCH_DISASSEMBLERELF32ARM_H

#include "armbranch.h"
#include "disassemblerelf32.h"

namespace quorpatch {

// 32-bit ARM ELF executables and shared libraries, ARM and Thumb code alike. Compress and
// Decompress (from ArmBranchCompression) split a branch into its compressed op and its target
// offset and back.
class DisassemblerElf32ARM : public DisassemblerElf32, public ArmBranchCompression
{
public:
    // An ARM or Thumb branch of one of the five branch kinds.
    class TypedRVAARM : public TypedRVA
    {
    public:
        TypedRVAARM(uint32_t branchKind, uint32_t rva);

        uint32_t branch_kind() const { return m_branchKind; }
        uint16_t compressed_op() const { return m_compressedOp; }
        const uint8_t *arm_op() const { return m_armOp; }

        bool ComputeRelativeTarget(const uint8_t *location) override;
        bool EmitInstruction(AssemblyProgram *program, uint32_t targetRva) override;
        uint16_t op_size() const override { return OpSize(m_branchKind); }

    private:
        uint32_t m_branchKind;
        uint16_t m_compressedOp;
        const uint8_t *m_armOp;
    };

    DisassemblerElf32ARM(const void *start, size_t length);
    ~DisassemblerElf32ARM() override;

    ExecutableType kind() const override;
    uint16_t ElfEM() const override { return 40; }
    bool ParseRelocationSection(const Section &section, AssemblyProgram *program) override;
    bool ParseRel32RelocsFromSection(const Section &section) override;
};

} // namespace quorpatch

#endif // QUORPATCH_DISASSEMBLERELF32ARM_H
