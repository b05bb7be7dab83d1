#include "assemblyprogram.h"

#include <cstdio>
#include <new>
#include <utility>

#include "encodedprogram.h"
#include "logmessage.h"

namespace quorpatch {

namespace {

const int kLabelLowerLimit = 5; // labels referenced this often or less are trimmed

// Room for `needed` pointers. Grows into a new buffer first, so that a failed allocation leaves
// the list (and the objects it owns) as it was instead of a failed, emptied vector.
template<typename T> bool ReserveKeeping(NoThrowVector<T> *vector, size_t needed)
{
    if (vector->capacity() >= needed)
        return true;
    size_t capacity = vector->capacity() ? vector->capacity() : NoThrowVector<T>::Traits::kInitial;
    while (capacity < needed)
        capacity *= 2;
    NoThrowVector<T> grown;
    if (!grown.Reserve(capacity) || !grown.Append(vector->data(), vector->size()))
        return false;
    *vector = std::move(grown);
    return true;
}

void LogUnreachable()
{
    QP_LOG(LogLevel_ERROR) << "REACHED UNREACHABLE";
}

} // namespace

InstructionWithLabel::InstructionWithLabel(InstructionKind kind, Label *label)
    : Instruction(kind)
    , m_label(label)
{
    if (!label)
        LogUnreachable();
}

InstructionWithLabelARM::InstructionWithLabelARM(uint16_t compressedOp, Label *label,
                                                 const uint8_t *armOp, uint16_t opSize)
    : InstructionWithLabel(INSN_REL32_ARM, label)
    , m_compressedOp(compressedOp)
    , m_armOp(armOp)
    , m_opSize(opSize)
{
    if (!label)
        LogUnreachable();
}

AssemblyProgram::AssemblyProgram(ExecutableType kind)
    : m_kind(kind)
{ }

AssemblyProgram::~AssemblyProgram()
{
    for (Instruction *instruction : m_instructions) {
        if (instruction->op() != INSN_BYTE)
            DeleteNoThrow(instruction);
    }
    if (m_byteInstructions) {
        for (int i = 0; i < 256; ++i)
            DeleteNoThrow(m_byteInstructions[i]);
        ReleaseNoThrow(m_byteInstructions);
    }
    for (auto &entry : m_rel32Labels)
        DeleteNoThrow(entry.second);
    for (auto &entry : m_abs32Labels)
        DeleteNoThrow(entry.second);
    for (Label *label : m_trimmedLabels)
        DeleteNoThrow(label);
}

bool AssemblyProgram::Emit(Instruction *instruction)
{
    if (!instruction)
        return false;
    if (!EmitShared(instruction)) {
        DeleteNoThrow(instruction);
        return false;
    }
    return true;
}

bool AssemblyProgram::EmitShared(Instruction *instruction)
{
    return ReserveKeeping(&m_instructions, m_instructions.size() + 1)
        && m_instructions.Append(instruction);
}

bool AssemblyProgram::EmitOrigin(uint32_t rva)
{
    return Emit(NewNoThrow<OriginInstruction>(rva));
}

bool AssemblyProgram::EmitPeRelocs()
{
    return Emit(NewNoThrow<Instruction>(INSN_PE_RELOCS));
}

bool AssemblyProgram::EmitElfRelocs()
{
    return Emit(NewNoThrow<Instruction>(INSN_ELF_RELOCS));
}

bool AssemblyProgram::EmitElfArmRelocs()
{
    return Emit(NewNoThrow<Instruction>(INSN_ELF_ARM_RELOCS));
}

bool AssemblyProgram::MakeSharedBytes()
{
    auto **table = static_cast<Instruction **>(AllocateNoThrow(256 * sizeof(Instruction *)));
    if (!table)
        return false;
    for (int i = 0; i < 256; ++i) {
        table[i] = NewNoThrow<ByteInstruction>(static_cast<uint8_t>(i));
        if (!table[i]) {
            for (int j = 0; j < i; ++j)
                DeleteNoThrow(table[j]);
            ReleaseNoThrow(table);
            return false;
        }
    }
    m_byteInstructions = table;
    return true;
}

bool AssemblyProgram::EmitByte(uint8_t value)
{
    if (!m_byteInstructions && !MakeSharedBytes())
        return false;
    return EmitShared(m_byteInstructions[value]);
}

bool AssemblyProgram::EmitBytes(const uint8_t *bytes, uint32_t count)
{
    return Emit(NewNoThrow<BytesInstruction>(bytes, count));
}

bool AssemblyProgram::EmitLabelled(InstructionKind kind, Label *label)
{
    return Emit(NewNoThrow<InstructionWithLabel>(kind, label));
}

bool AssemblyProgram::EmitRel32(Label *label)
{
    return EmitLabelled(INSN_REL32, label);
}

bool AssemblyProgram::EmitAbs32(Label *label)
{
    return EmitLabelled(INSN_ABS32, label);
}

bool AssemblyProgram::EmitRel32Arm(uint16_t compressedOp, Label *label, const uint8_t *armOp,
                                   uint16_t opSize)
{
    return Emit(NewNoThrow<InstructionWithLabelARM>(compressedOp, label, armOp, opSize));
}

Label *AssemblyProgram::FindOrMakeLabel(RVAToLabel *labels, uint32_t rva)
{
    RVAToLabel::iterator slot;
    try {
        slot = labels->emplace(rva, nullptr).first;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
    if (!slot->second) {
        slot->second = NewNoThrow<Label>(rva);
        if (!slot->second) {
            // An empty slot would be a null label for every later walk.
            labels->erase(slot);
            return nullptr;
        }
    }
    ++slot->second->count;
    return slot->second;
}

Label *AssemblyProgram::FindOrMakeRel32Label(uint32_t rva)
{
    return FindOrMakeLabel(&m_rel32Labels, rva);
}

Label *AssemblyProgram::FindOrMakeAbs32Label(uint32_t rva)
{
    return FindOrMakeLabel(&m_abs32Labels, rva);
}

namespace {

void AssignInOrder(AssemblyProgram::RVAToLabel &labels)
{
    int32_t index = 0;
    for (auto &entry : labels) {
        Label *label = entry.second;
        if (label->index != Label::kNoIndex)
            LogUnreachable();
        label->index = index++;
    }
}

bool FillUnassigned(AssemblyProgram::RVAToLabel &labels)
{
    const uint8_t kFree = 1;
    NoThrowVector<uint8_t> available;
    if (!available.Resize(labels.size(), kFree))
        return false;
    size_t used = 0;
    for (auto &entry : labels) {
        const int32_t index = entry.second->index;
        if (index == Label::kNoIndex)
            continue;
        if (index < 0)
            return false; // no slot below 0 to keep it in
        if (available.size() <= static_cast<size_t>(index)
            && !available.Resize(static_cast<size_t>(index) + 1, kFree))
            return false;
        available[index] = 0;
        ++used;
    }
    QP_LOG(LogLevel_DEBUG) << used << " of " << labels.size() << " labels pre-assigned";

    // Neighbouring addresses get neighbouring indices where that is free, so that a reordered
    // table still delta-encodes well.
    size_t forward = 0;
    const Label *previous = nullptr;
    for (auto &entry : labels) {
        Label *label = entry.second;
        if (label->index == Label::kNoIndex) {
            size_t candidate = 0;
            if (previous && previous->index != Label::kNoIndex)
                candidate = static_cast<size_t>(previous->index) + 1;
            if (candidate < available.size() && available[candidate]) {
                label->index = static_cast<int32_t>(candidate);
                available[candidate] = false;
                ++forward;
            }
        }
        previous = label;
    }

    size_t backward = 0;
    previous = nullptr;
    for (auto it = labels.rbegin(); it != labels.rend(); ++it) {
        Label *label = it->second;
        if (label->index == Label::kNoIndex) {
            int64_t p = previous ? previous->index : static_cast<int64_t>(available.size());
            if (p != 0 && p != Label::kNoIndex && available[static_cast<size_t>(p - 1)]) {
                label->index = static_cast<int32_t>(p - 1);
                available[static_cast<size_t>(p - 1)] = false;
                ++backward;
            }
        }
        previous = label;
    }

    size_t infill = 0;
    size_t cursor = 0;
    for (auto &entry : labels) {
        Label *label = entry.second;
        if (label->index != Label::kNoIndex)
            continue;
        while (cursor < available.size() && !available[cursor])
            ++cursor;
        if (cursor == available.size())
            return false; // more labels than slots: indices were shared
        label->index = static_cast<int32_t>(cursor);
        available[cursor] = false;
        ++cursor;
        ++infill;
    }

    QP_LOG(LogLevel_DEBUG) << "  fill forward " << forward << "  backward " << backward
                           << "  infill " << infill;
    return true;
}

void Clear(AssemblyProgram::RVAToLabel &labels)
{
    for (auto &entry : labels)
        entry.second->index = Label::kNoIndex;
}

} // namespace

bool AssemblyProgram::AssignIndexesInOrder()
{
    AssignInOrder(m_abs32Labels);
    AssignInOrder(m_rel32Labels);
    return true;
}

bool AssemblyProgram::FillUnassignedIndexes()
{
    return FillUnassigned(m_abs32Labels) && FillUnassigned(m_rel32Labels);
}

bool AssemblyProgram::ClearIndexes()
{
    Clear(m_abs32Labels);
    Clear(m_rel32Labels);
    return true;
}

Label *AssemblyProgram::Abs32LabelOf(const Instruction *instruction) const
{
    if (instruction->op() == INSN_ABS32)
        return static_cast<const InstructionWithLabel *>(instruction)->label();
    return nullptr;
}

Label *AssemblyProgram::Rel32LabelOf(const Instruction *instruction) const
{
    if (instruction->op() == INSN_REL32 || instruction->op() == INSN_REL32_ARM)
        return static_cast<const InstructionWithLabel *>(instruction)->label();
    return nullptr;
}

void AssemblyProgram::PrintRel32LabelCounts() const
{
    for (const auto &entry : m_rel32Labels) {
        if (entry.second->index != Label::kNoIndex)
            std::printf("%d\n", entry.second->count);
    }
}

bool AssemblyProgram::TrimLabels()
{
    if (m_kind != ELF_32_ARM)
        return true;

    QP_LOG(LogLevel_DEBUG) << "TrimLabels: threshold " << kLabelLowerLimit;

    // Room for every trimmed label first, so that nothing is changed when it cannot be had.
    size_t trimmed = 0;
    for (const auto &entry : m_rel32Labels) {
        if (entry.second->count <= kLabelLowerLimit)
            ++trimmed;
    }
    if (!ReserveKeeping(&m_trimmedLabels, m_trimmedLabels.size() + trimmed))
        return false;
    for (auto it = m_rel32Labels.begin(); it != m_rel32Labels.end();) {
        if (it->second->count <= kLabelLowerLimit) {
            m_trimmedLabels.Append(it->second); // cannot fail after the reservation
            it = m_rel32Labels.erase(it);
        } else {
            ++it;
        }
    }

    for (Instruction *&instruction : m_instructions) {
        if (instruction->op() != INSN_REL32_ARM)
            continue;
        auto *branch = static_cast<InstructionWithLabelARM *>(instruction);
        if (branch->label() && branch->label()->count > kLabelLowerLimit)
            continue;
        if (branch->opSize() == 0)
            return false;
        Instruction *bytes = NewNoThrow<BytesInstruction>(branch->armOp(), branch->opSize());
        if (!bytes)
            return false;
        DeleteNoThrow(instruction);
        instruction = bytes;
    }
    return true;
}

EncodedProgram *AssemblyProgram::Encode() const
{
    EncodedProgram *encoded = new (std::nothrow) EncodedProgram();
    if (!encoded)
        return nullptr;
    encoded->setImageBase(m_imageBase);

    bool ok = true;
    for (const auto &entry : m_abs32Labels) {
        if (ok)
            ok = encoded->DefineAbs32Label(entry.second->index, entry.first);
    }
    for (const auto &entry : m_rel32Labels) {
        if (ok)
            ok = encoded->DefineRel32Label(entry.second->index, entry.first);
    }
    if (ok)
        ok = encoded->EndLabels();

    for (size_t i = 0; ok && i < m_instructions.size(); ++i) {
        const Instruction *instruction = m_instructions[i];
        switch (instruction->op()) {
        case INSN_ORIGIN:
            ok = encoded->AddOrigin(
                static_cast<const OriginInstruction *>(instruction)->originRva());
            break;
        case INSN_PE_RELOCS:
            ok = encoded->AddPeMakeRelocs(m_kind);
            break;
        case INSN_ELF_RELOCS:
            ok = encoded->AddElfMakeRelocs();
            break;
        case INSN_BYTE: {
            const uint8_t value = static_cast<const ByteInstruction *>(instruction)->byteValue();
            ok = encoded->AddCopy(1, &value);
            break;
        }
        case INSN_REL32:
        case INSN_ABS32:
        case INSN_REL32_ARM: {
            const Label *label = static_cast<const InstructionWithLabel *>(instruction)->label();
            // An unindexed (or missing) label has no slot in the table to refer to.
            if (!label || label->index < 0) {
                ok = false;
                break;
            }
            if (instruction->op() == INSN_REL32)
                ok = encoded->AddRel32(label->index);
            else if (instruction->op() == INSN_ABS32)
                ok = encoded->AddAbs32(label->index);
            else
                ok = encoded->AddRel32ARM(
                    static_cast<const InstructionWithLabelARM *>(instruction)->compressedOp(),
                    label->index);
            break;
        }
        case INSN_ELF_ARM_RELOCS:
            ok = encoded->AddElfARMMakeRelocs();
            break;
        case INSN_BYTES: {
            const auto *bytes = static_cast<const BytesInstruction *>(instruction);
            ok = encoded->AddCopy(bytes->count(), bytes->bytes());
            break;
        }
        default:
            QP_LOG(LogLevel_ERROR) << "REACHED UNREACHABLE"
                                   << "Unknown Insn OP kind";
            break;
        }
    }

    if (!ok) {
        DeleteEncodedProgram(encoded);
        return nullptr;
    }
    return encoded;
}

Status TrimLabels(AssemblyProgram *program)
{
    return program->TrimLabels() ? STATUS_OK : STATUS_TRIM_FAILED;
}

Status Encode(AssemblyProgram *program, EncodedProgram **output)
{
    *output = nullptr;
    EncodedProgram *encoded = program->Encode();
    if (!encoded)
        return STATUS_GENERAL_ERROR;
    *output = encoded;
    return STATUS_OK;
}

} // namespace quorpatch
