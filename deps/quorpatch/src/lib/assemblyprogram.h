#ifndef QUORPATCH_ASSEMBLYPROGRAM_H
#define QUORPATCH_ASSEMBLYPROGRAM_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <new>

#include "label.h"
#include "nothrowvector.h"
#include "types.h"

namespace quorpatch {

class EncodedProgram;

// Map nodes on the engine's non-throwing allocator. A failed node allocation throws bad_alloc
// into the map, which the label look-up catches; nothing leaves the program.
template<typename T> struct LabelMapAllocator
{
    typedef T value_type;
    LabelMapAllocator() = default;
    template<typename U> LabelMapAllocator(const LabelMapAllocator<U> &) { }
    T *allocate(std::size_t n)
    {
        void *memory = n <= ~std::size_t(0) / sizeof(T) ? AllocateNoThrow(n * sizeof(T)) : nullptr;
        if (!memory)
            throw std::bad_alloc();
        return static_cast<T *>(memory);
    }
    void deallocate(T *memory, std::size_t) { ReleaseNoThrow(memory); }
    template<typename U> bool operator==(const LabelMapAllocator<U> &) const { return true; }
    template<typename U> bool operator!=(const LabelMapAllocator<U> &) const { return false; }
};

// Instruction kinds; the low 4 bits of an instruction's first word.
enum InstructionKind : uint32_t {
    INSN_ORIGIN = 0, // the bytes that follow start at an RVA
    INSN_PE_RELOCS = 1, // a PE base relocation table stands here
    INSN_ELF_RELOCS = 2, // an ELF x86 relocation table stands here
    INSN_BYTE = 3, // one literal byte, its value in the info bits
    INSN_REL32 = 4, // 4-byte PC-relative reference to a label
    INSN_ABS32 = 5, // 4-byte absolute reference to a label
    INSN_REL32_ARM = 6, // ARM or Thumb branch to a label
    INSN_ELF_ARM_RELOCS = 7, // an ELF ARM relocation table stands here
    INSN_BYTES = 8, // a run of literal bytes in the image
};

class Instruction
{
public:
    virtual ~Instruction() = default;

    InstructionKind op() const { return static_cast<InstructionKind>(m_word & 0xFu); }
    uint32_t info() const { return m_word >> 4; }

    explicit Instruction(InstructionKind kind, uint32_t info = 0)
        : m_word((info << 4) | kind)
    { }

private:
    uint32_t m_word;

    Instruction(const Instruction &) = delete;
    Instruction &operator=(const Instruction &) = delete;
};

class OriginInstruction : public Instruction
{
public:
    explicit OriginInstruction(uint32_t rva)
        : Instruction(INSN_ORIGIN)
        , m_rva(rva)
    { }
    uint32_t originRva() const { return m_rva; }

private:
    uint32_t m_rva;
};

class ByteInstruction : public Instruction
{
public:
    explicit ByteInstruction(uint8_t value)
        : Instruction(INSN_BYTE, value)
    { }
    uint8_t byteValue() const { return static_cast<uint8_t>(info()); }
};

class BytesInstruction : public Instruction
{
public:
    BytesInstruction(const uint8_t *bytes, uint32_t count)
        : Instruction(INSN_BYTES)
        , m_bytes(bytes)
        , m_count(count)
    { }
    const uint8_t *bytes() const { return m_bytes; }
    uint32_t count() const { return m_count; }

private:
    const uint8_t *m_bytes;
    uint32_t m_count;
};

// INSN_REL32 and INSN_ABS32.
class InstructionWithLabel : public Instruction
{
public:
    InstructionWithLabel(InstructionKind kind, Label *label);
    Label *label() const { return m_label; }

private:
    Label *m_label;
};

// INSN_REL32_ARM: the compressed op and the branch's own bytes in the image (op size of them).
class InstructionWithLabelARM : public InstructionWithLabel
{
public:
    InstructionWithLabelARM(uint16_t compressedOp, Label *label, const uint8_t *armOp,
                            uint16_t opSize);
    uint16_t compressedOp() const { return m_compressedOp; }
    const uint8_t *armOp() const { return m_armOp; }
    uint16_t opSize() const { return m_opSize; }

private:
    uint16_t m_compressedOp;
    const uint8_t *m_armOp;
    uint16_t m_opSize;
};

// The machine-independent form of one executable image: instructions in image order and the
// labels they refer to. A disassembler fills it; Encode turns it into an EncodedProgram.
// INSN_BYTES and INSN_REL32_ARM point into the disassembled buffer, which must outlive the program.
// No operation throws when memory runs out: it returns false (or null) instead.
class AssemblyProgram
{
public:
    typedef std::map<uint32_t, Label *, std::less<uint32_t>,
                     LabelMapAllocator<std::pair<const uint32_t, Label *>>>
        RVAToLabel;

    explicit AssemblyProgram(ExecutableType kind);
    ~AssemblyProgram();

    ExecutableType kind() const { return m_kind; }

    uint64_t imageBase() const { return m_imageBase; }
    void setImageBase(uint64_t imageBase) { m_imageBase = imageBase; }

    bool EmitOrigin(uint32_t rva);
    bool EmitPeRelocs();
    bool EmitElfRelocs();
    bool EmitElfArmRelocs();
    bool EmitByte(uint8_t value);
    bool EmitBytes(const uint8_t *bytes, uint32_t count);
    bool EmitRel32(Label *label);
    bool EmitAbs32(Label *label);
    bool EmitRel32Arm(uint16_t compressedOp, Label *label, const uint8_t *armOp, uint16_t opSize);

    // The label of the RVA, made on first use; every look-up counts one reference.
    // Null when a new label cannot be allocated.
    Label *FindOrMakeRel32Label(uint32_t rva);
    Label *FindOrMakeAbs32Label(uint32_t rva);

    // Indices by RVA rank, abs32 labels first, then rel32.
    bool AssignIndexesInOrder();
    // Keeps assigned indices and gives the others nearby free ones.
    bool FillUnassignedIndexes();
    bool ClearIndexes();

    Label *Abs32LabelOf(const Instruction *instruction) const;
    Label *Rel32LabelOf(const Instruction *instruction) const;

    void PrintRel32LabelCounts() const;

    // ARM only: drops rel32 labels referenced 5 times or less and carries their branches as
    // literal bytes.
    bool TrimLabels();

    // Null on failure; the caller owns the result.
    EncodedProgram *Encode() const;

    size_t instructionCount() const { return m_instructions.size(); }
    const Instruction *instruction(size_t i) const { return m_instructions[i]; }
    const RVAToLabel &rel32Labels() const { return m_rel32Labels; }
    const RVAToLabel &abs32Labels() const { return m_abs32Labels; }

private:
    AssemblyProgram(const AssemblyProgram &) = delete;
    AssemblyProgram &operator=(const AssemblyProgram &) = delete;

    bool Emit(Instruction *instruction);
    bool EmitShared(Instruction *instruction);
    bool EmitLabelled(InstructionKind kind, Label *label);
    bool MakeSharedBytes();
    static Label *FindOrMakeLabel(RVAToLabel *labels, uint32_t rva);

    ExecutableType m_kind;
    Instruction **m_byteInstructions = nullptr; // 256 shared INSN_BYTE, made on first use
    uint64_t m_imageBase = 0;
    NoThrowVector<Instruction *> m_instructions;
    RVAToLabel m_rel32Labels;
    RVAToLabel m_abs32Labels;
    NoThrowVector<Label *> m_trimmedLabels; // removed from the map, still owned
};

// Status-code wrappers. Encode sets *output to null first; on success the caller owns it.
Status TrimLabels(AssemblyProgram *program);
Status Encode(AssemblyProgram *program, EncodedProgram **output);

} // namespace quorpatch

#endif // QUORPATCH_ASSEMBLYPROGRAM_H
