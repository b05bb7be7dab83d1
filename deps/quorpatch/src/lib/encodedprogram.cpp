#include "encodedprogram.h"

#include <algorithm>
#include <new>

#include "armbranch.h"
#include "logmessage.h"
#include "streams.h"

namespace quorpatch {

namespace {

// Positions of the fields in the stream set.
enum {
    kStreamMisc = 0,
    kStreamOps = 1,
    kStreamBytes = 2,
    kStreamAbs32Indexes = 3,
    kStreamRel32Indexes = 4,
    kStreamAbs32Addresses = 5,
    kStreamRel32Addresses = 6,
    kStreamCopyCounts = 7,
    kStreamOriginAddresses = kStreamMisc,
    kStreamLimit = 9,
};

// Entries of one PE base relocation block: one per byte of its 4 KiB page.
const size_t kMaxPeBlockEntries = 4096;

bool Append1(NoThrowVector<uint32_t> *vector, uint32_t value)
{
    return vector->Append(value);
}

bool WriteU32(SinkStream *sink, uint32_t value)
{
    const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return sink->Write(bytes, 4);
}

bool WriteU16(SinkStream *sink, uint32_t value)
{
    const uint8_t bytes[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
    return sink->Write(bytes, 2);
}

bool WriteU32Delta(const NoThrowVector<uint32_t> &set, SinkStream *stream)
{
    if (!stream->WriteSize(set.size()))
        return false;
    uint32_t prev = 0;
    for (size_t i = 0; i < set.size(); ++i) {
        if (!stream->WriteVarint32(set[i] - prev))
            return false;
        prev = set[i];
    }
    return true;
}

bool WriteVector(const NoThrowVector<uint32_t> &items, SinkStream *stream)
{
    if (!stream->WriteSize(items.size()))
        return false;
    for (size_t i = 0; i < items.size(); ++i) {
        if (!stream->WriteSize(items[i]))
            return false;
    }
    return true;
}

bool WriteBytes(const NoThrowVector<uint8_t> &bytes, SinkStream *stream)
{
    if (!stream->WriteSize(bytes.size()))
        return false;
    return stream->Write(bytes.data(), bytes.size());
}

// Every item takes at least one byte, so a count beyond the bytes left is corrupt; refusing it
// early keeps a hostile count from reserving gigabytes.
bool ReadCount(SourceStream *stream, uint32_t *count)
{
    return stream->ReadVarint32(count) && *count <= stream->Remaining();
}

bool ReadU32Delta(NoThrowVector<uint32_t> *set, SourceStream *stream)
{
    set->clear();
    uint32_t count = 0;
    if (!ReadCount(stream, &count) || !set->Reserve(count))
        return false;
    uint32_t prev = 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t delta = 0;
        if (!stream->ReadVarint32(&delta))
            return false;
        prev += delta;
        if (!Append1(set, prev))
            return false;
    }
    return true;
}

bool ReadVector(NoThrowVector<uint32_t> *items, SourceStream *stream)
{
    items->clear();
    uint32_t count = 0;
    if (!ReadCount(stream, &count) || !items->Reserve(count))
        return false;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t item = 0;
        if (!stream->ReadVarint32(&item) || !Append1(items, item))
            return false;
    }
    return true;
}

bool ReadBytes(NoThrowVector<uint8_t> *bytes, SourceStream *stream)
{
    bytes->clear();
    uint32_t count = 0;
    if (!ReadCount(stream, &count) || !bytes->Resize(count, 0))
        return false;
    return stream->Read(bytes->data(), count);
}

} // namespace

EncodedProgram::EncodedProgram() = default;

EncodedProgram::~EncodedProgram() = default;

void *EncodedProgram::operator new(std::size_t size)
{
    void *memory = AllocateNoThrow(size);
    if (!memory)
        throw std::bad_alloc();
    return memory;
}

void *EncodedProgram::operator new(std::size_t size, const std::nothrow_t &) noexcept
{
    return AllocateNoThrow(size);
}

void EncodedProgram::operator delete(void *memory) noexcept
{
    ReleaseNoThrow(memory);
}

void EncodedProgram::operator delete(void *memory, const std::nothrow_t &) noexcept
{
    ReleaseNoThrow(memory);
}

bool EncodedProgram::DefineLabel(U32Vector *rvas, int32_t index, uint32_t rva)
{
    if (index < 0)
        return false;
    const size_t slot = static_cast<size_t>(index);
    if (rvas->size() <= slot && !rvas->Resize(slot + 1, kUnassignedRVA))
        return false;
    (*rvas)[slot] = rva;
    return true;
}

bool EncodedProgram::DefineRel32Label(int32_t index, uint32_t rva)
{
    return DefineLabel(&m_rel32Rva, index, rva);
}

bool EncodedProgram::DefineAbs32Label(int32_t index, uint32_t rva)
{
    return DefineLabel(&m_abs32Rva, index, rva);
}

bool EncodedProgram::EndLabels()
{
    // An undefined slot repeats its predecessor, so that it delta-encodes to zero.
    for (U32Vector *rvas : {&m_abs32Rva, &m_rel32Rva}) {
        for (size_t i = 0; i < rvas->size(); ++i) {
            if ((*rvas)[i] == kUnassignedRVA)
                (*rvas)[i] = i == 0 ? 0 : (*rvas)[i - 1];
        }
    }
    return true;
}

bool EncodedProgram::AddOp(uint32_t op)
{
    return Append1(&m_ops, op);
}

bool EncodedProgram::AddOrigin(uint32_t rva)
{
    return AddOp(OP_ORIGIN) && Append1(&m_origins, rva);
}

bool EncodedProgram::AddCopy(uint32_t count, const void *bytes)
{
    const uint8_t *source = static_cast<const uint8_t *>(bytes);

    // A literal run right after another one extends it instead of starting a new op.
    if (m_ops.size() > 0) {
        uint32_t &last = m_ops[m_ops.size() - 1];
        if (last == OP_COPY1) {
            last = OP_COPY;
            if (!Append1(&m_copyCounts, 1))
                return false;
        }
        if (last == OP_COPY) {
            if (m_copyCounts.empty())
                return false; // only a program read from corrupt streams gets here
            m_copyCounts[m_copyCounts.size() - 1] += count;
            return m_copyBytes.Append(source, count);
        }
    }

    if (count == 1)
        return AddOp(OP_COPY1) && m_copyBytes.Append(source, 1);
    return AddOp(OP_COPY) && Append1(&m_copyCounts, count) && m_copyBytes.Append(source, count);
}

bool EncodedProgram::AddRel32(int32_t labelIndex)
{
    return AddOp(OP_REL32) && Append1(&m_rel32Ix, static_cast<uint32_t>(labelIndex));
}

bool EncodedProgram::AddAbs32(int32_t labelIndex)
{
    return AddOp(OP_ABS32) && Append1(&m_abs32Ix, static_cast<uint32_t>(labelIndex));
}

bool EncodedProgram::AddRel32ARM(uint16_t compressedOp, int32_t labelIndex)
{
    return AddOp(compressedOp) && Append1(&m_rel32Ix, static_cast<uint32_t>(labelIndex));
}

bool EncodedProgram::AddPeMakeRelocs(ExecutableType executableType)
{
    return AddOp(executableType == WIN_32_X86 ? OP_PE_RELOCS : OP_PE64_RELOCS);
}

bool EncodedProgram::AddElfMakeRelocs()
{
    return AddOp(OP_ELF_RELOCS);
}

bool EncodedProgram::AddElfARMMakeRelocs()
{
    return AddOp(OP_ELF_ARM_RELOCS);
}

bool EncodedProgram::WriteTo(SinkStreamSet *streams)
{
    SinkStream *misc = streams->stream(kStreamMisc);
    if (!misc || !misc->WriteVarint32(static_cast<uint32_t>(m_imageBase)))
        return false;

    SinkStream *abs32Addresses = streams->stream(kStreamAbs32Addresses);
    SinkStream *rel32Addresses = streams->stream(kStreamRel32Addresses);
    SinkStream *ops = streams->stream(kStreamOps);
    SinkStream *copyCounts = streams->stream(kStreamCopyCounts);
    SinkStream *bytes = streams->stream(kStreamBytes);
    SinkStream *abs32Indexes = streams->stream(kStreamAbs32Indexes);
    SinkStream *rel32Indexes = streams->stream(kStreamRel32Indexes);

    // Every part is written even after one failed; the result reports all of them.
    bool ok = abs32Addresses && WriteU32Delta(m_abs32Rva, abs32Addresses);
    ok &= rel32Addresses && WriteU32Delta(m_rel32Rva, rel32Addresses);
    ok &= WriteVector(m_origins, misc);
    ok &= ops && ops->Reserve(ops->Length() + m_ops.size() + 5);
    ok &= ops && WriteVector(m_ops, ops);
    ok &= copyCounts && WriteVector(m_copyCounts, copyCounts);
    ok &= bytes && WriteBytes(m_copyBytes, bytes);
    ok &= abs32Indexes && WriteVector(m_abs32Ix, abs32Indexes);
    ok &= rel32Indexes && WriteVector(m_rel32Ix, rel32Indexes);
    return ok;
}

bool EncodedProgram::ReadFrom(SourceStreamSet *streams)
{
    if (streams->count() < kStreamLimit)
        return false;

    SourceStream *misc = streams->stream(kStreamMisc);
    uint32_t imageBase = 0;
    if (!misc->ReadVarint32(&imageBase))
        return false;
    m_imageBase = imageBase;

    if (!ReadU32Delta(&m_abs32Rva, streams->stream(kStreamAbs32Addresses)))
        return false;
    if (!ReadU32Delta(&m_rel32Rva, streams->stream(kStreamRel32Addresses)))
        return false;
    if (!ReadVector(&m_origins, streams->stream(kStreamOriginAddresses)))
        return false;
    if (!ReadVector(&m_ops, streams->stream(kStreamOps)))
        return false;
    if (!ReadVector(&m_copyCounts, streams->stream(kStreamCopyCounts)))
        return false;
    if (!ReadBytes(&m_copyBytes, streams->stream(kStreamBytes)))
        return false;
    if (!ReadVector(&m_abs32Ix, streams->stream(kStreamAbs32Indexes)))
        return false;
    if (!ReadVector(&m_rel32Ix, streams->stream(kStreamRel32Indexes)))
        return false;

    for (int i = 0; i < kStreamLimit; ++i) {
        if (!streams->stream(i)->Empty())
            return false;
    }
    return true;
}

bool EncodedProgram::AssembleTo(SinkStream *finalBuffer)
{
    // The relocation tables list this assembly's absolute values only; a second assembly would
    // otherwise list every one twice.
    m_abs32Relocs.clear();

    uint32_t currentRva = 0;
    size_t ixOrigins = 0;
    size_t ixCopyCounts = 0;
    size_t ixCopyBytes = 0;
    size_t ixRel32Ix = 0;
    size_t ixAbs32Ix = 0;

    bool pendingPeRelocs = false;
    uint32_t peRelocType = 3;
    bool pendingElfRelocs = false;
    uint32_t elfRelocType = 0;

    // Relocation tables precede the bytes after them but are known only at the end: everything
    // after a table op goes to a side buffer first.
    SinkStream bytesFollowingRelocs;
    SinkStream *output = finalBuffer;

    for (size_t ixOps = 0; ixOps < m_ops.size(); ++ixOps) {
        const uint32_t op = m_ops[ixOps];
        switch (op) {
        case OP_ORIGIN:
            if (ixOrigins >= m_origins.size())
                return false;
            currentRva = m_origins[ixOrigins++];
            break;

        case OP_COPY: {
            if (ixCopyCounts >= m_copyCounts.size())
                return false;
            const uint32_t count = m_copyCounts[ixCopyCounts++];
            const size_t left = m_copyBytes.size() - ixCopyBytes;
            const size_t available = std::min<size_t>(count, left);
            if (!output->Write(m_copyBytes.data() + ixCopyBytes, available))
                return false;
            ixCopyBytes += available;
            if (available < count)
                return false;
            currentRva += count;
            break;
        }

        case OP_COPY1:
            if (ixCopyBytes >= m_copyBytes.size())
                return false;
            if (!output->Write(m_copyBytes.data() + ixCopyBytes, 1))
                return false;
            ++ixCopyBytes;
            currentRva += 1;
            break;

        case OP_REL32: {
            if (ixRel32Ix >= m_rel32Ix.size())
                return false;
            const uint32_t index = m_rel32Ix[ixRel32Ix++];
            if (index >= m_rel32Rva.size())
                return false;
            if (!WriteU32(output, m_rel32Rva[index] - 4 - currentRva))
                return false;
            currentRva += 4;
            break;
        }

        case OP_ABS32: {
            if (ixAbs32Ix >= m_abs32Ix.size())
                return false;
            const uint32_t index = m_abs32Ix[ixAbs32Ix++];
            if (index >= m_abs32Rva.size())
                return false;
            const uint32_t value = m_abs32Rva[index] + static_cast<uint32_t>(m_imageBase);
            if (!Append1(&m_abs32Relocs, currentRva))
                return false;
            if (!WriteU32(output, value))
                return false;
            currentRva += 4;
            break;
        }

        case OP_PE_RELOCS:
        case OP_PE64_RELOCS:
            if (pendingPeRelocs)
                return false;
            pendingPeRelocs = true;
            peRelocType = op == OP_PE_RELOCS ? 3 : 10;
            output = &bytesFollowingRelocs;
            break;

        case OP_ELF_RELOCS:
        case OP_ELF_ARM_RELOCS:
            if (pendingElfRelocs)
                return false;
            pendingElfRelocs = true;
            elfRelocType = op == OP_ELF_RELOCS ? 8 : 23;
            output = &bytesFollowingRelocs;
            break;

        default: {
            const uint32_t kind = ((op >> 12) & 0xFu) - 1;
            if (kind > ArmBranchCompression::kThumb2Bcond)
                return false;
            if (ixRel32Ix >= m_rel32Ix.size())
                return false;
            const uint32_t index = m_rel32Ix[ixRel32Ix++];
            if (index >= m_rel32Rva.size())
                return false;
            uint32_t instruction = 0;
            if (!ArmBranchCompression::Decompress(kind, static_cast<uint16_t>(op),
                                                  m_rel32Rva[index] - currentRva, &instruction))
                return false;
            bool written = false;
            switch (kind) {
            case ArmBranchCompression::kThumbBcond:
            case ArmBranchCompression::kThumbB:
                written = WriteU16(output, instruction);
                break;
            case ArmBranchCompression::kArmB:
                written = WriteU32(output, instruction);
                break;
            default: // Thumb-2: first halfword first
                written = WriteU16(output, instruction >> 16) && WriteU16(output, instruction);
                break;
            }
            if (!written)
                return false;
            currentRva += ArmBranchCompression::OpSize(kind);
            break;
        }
        }
    }

    if (pendingPeRelocs) {
        if (!WritePeRelocs(peRelocType, finalBuffer) || !finalBuffer->Append(&bytesFollowingRelocs))
            return false;
    }
    if (pendingElfRelocs) {
        if (!WriteElfRelocs(elfRelocType, finalBuffer)
            || !finalBuffer->Append(&bytesFollowingRelocs))
            return false;
    }

    return ixCopyCounts == m_copyCounts.size() && ixCopyBytes == m_copyBytes.size()
        && ixAbs32Ix == m_abs32Ix.size() && ixRel32Ix == m_rel32Ix.size();
}

bool EncodedProgram::WritePeRelocs(uint32_t entryType, SinkStream *output)
{
    std::sort(m_abs32Relocs.data(), m_abs32Relocs.data() + m_abs32Relocs.size());

    // Page RVA, block size, then the entries; one spare entry for the padding.
    uint8_t block[8 + 2 * (kMaxPeBlockEntries + 1)];
    uint32_t page = 0xFFFFFFFFu;
    size_t entries = 0;

    auto flush = [&]() -> bool {
        if (entries == 0)
            return true;
        if (entries % 2 != 0) {
            block[8 + 2 * entries] = 0;
            block[8 + 2 * entries + 1] = 0;
            ++entries;
        }
        const uint32_t size = static_cast<uint32_t>(8 + 2 * entries);
        for (int i = 0; i < 4; ++i) {
            block[i] = static_cast<uint8_t>(page >> (8 * i));
            block[4 + i] = static_cast<uint8_t>(size >> (8 * i));
        }
        entries = 0;
        return output->Write(block, size);
    };

    for (size_t i = 0; i < m_abs32Relocs.size(); ++i) {
        const uint32_t rva = m_abs32Relocs[i];
        const uint32_t rvaPage = rva & ~0xFFFu;
        if (rvaPage != page) {
            if (!flush())
                return false;
            page = rvaPage;
        }
        // More entries than bytes in the page: only a corrupt op stream writes one RVA twice.
        if (entries == kMaxPeBlockEntries)
            return false;
        const uint32_t entry = (rva & 0xFFFu) | (entryType << 12);
        block[8 + 2 * entries] = static_cast<uint8_t>(entry);
        block[8 + 2 * entries + 1] = static_cast<uint8_t>(entry >> 8);
        ++entries;
    }
    return flush();
}

bool EncodedProgram::WriteElfRelocs(uint32_t entryType, SinkStream *output)
{
    std::sort(m_abs32Relocs.data(), m_abs32Relocs.data() + m_abs32Relocs.size());
    for (size_t i = 0; i < m_abs32Relocs.size(); ++i) {
        if (!WriteU32(output, m_abs32Relocs[i]) || !WriteU32(output, entryType))
            return false;
    }
    return true;
}

void EncodedProgram::LogSummary() const
{
    QP_LOG(LogLevel_DEBUG) << "EncodedProgram Summary"
                           << "\n  image base  " << m_imageBase << "\n  abs32 rvas  "
                           << m_abs32Rva.size() << "\n  rel32 rvas  " << m_rel32Rva.size()
                           << "\n  ops         " << m_ops.size() << "\n  origins     "
                           << m_origins.size() << "\n  copy_counts " << m_copyCounts.size()
                           << "\n  copy_bytes  " << m_copyBytes.size() << "\n  abs32_ix    "
                           << m_abs32Ix.size() << "\n  rel32_ix    " << m_rel32Ix.size();
}

Status WriteEncodedProgram(EncodedProgram *program, SinkStreamSet *streams)
{
    return program->WriteTo(streams) ? STATUS_OK : STATUS_STREAM_ERROR;
}

Status ReadEncodedProgram(SourceStreamSet *streams, EncodedProgram **output)
{
    *output = nullptr;
    EncodedProgram *program = new (std::nothrow) EncodedProgram();
    if (!program)
        return STATUS_READ_PROGRAM_FAILED;
    if (!program->ReadFrom(streams)) {
        delete program;
        return STATUS_READ_PROGRAM_FAILED;
    }
    *output = program;
    return STATUS_OK;
}

Status Assemble(EncodedProgram *program, SinkStream *output)
{
    return program->AssembleTo(output) ? STATUS_OK : STATUS_ASSEMBLY_FAILED;
}

void DeleteEncodedProgram(EncodedProgram *program)
{
    delete program;
}

} // namespace quorpatch
