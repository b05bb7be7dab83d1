#ifndef QUORPATCH_ENCODEDPROGRAM_H
#define QUORPATCH_ENCODEDPROGRAM_H

#include <cstddef>
#include <cstdint>
#include <new>

#include "nothrowvector.h"
#include "types.h"

namespace quorpatch {

class SinkStream;
class SinkStreamSet;
class SourceStreamSet;

// The serialisable form of an executable image: label address tables, an op stream, literal
// bytes, and for each reference only the index of its label. Two builds that differ by shifted
// addresses then differ mostly in the small address tables. Nothing here throws; every failure
// is a false result.
class EncodedProgram
{
public:
    // Ops of the op stream. ARM branches use their compressed op (0x1000 and up) as the op.
    enum OP : uint32_t {
        OP_ORIGIN = 0,
        OP_COPY = 1,
        OP_COPY1 = 2,
        OP_REL32 = 3,
        OP_ABS32 = 4,
        OP_PE_RELOCS = 5,
        OP_ELF_RELOCS = 6,
        OP_ELF_ARM_RELOCS = 7,
        OP_PE64_RELOCS = 8,
    };

    // A label slot that nobody defined, until EndLabels.
    static constexpr uint32_t kUnassignedRVA = 0xFFFFFFFFu;

    EncodedProgram();
    ~EncodedProgram();

    // On the engine's allocator whichever way a program is made, so that `delete`,
    // DeleteEncodedProgram and the programs handed out by the wrappers all agree.
    static void *operator new(std::size_t size);
    static void *operator new(std::size_t size, const std::nothrow_t &) noexcept;
    static void operator delete(void *memory) noexcept;
    static void operator delete(void *memory, const std::nothrow_t &) noexcept;

    uint64_t imageBase() const { return m_imageBase; }
    void setImageBase(uint64_t imageBase) { m_imageBase = imageBase; }

    // Building; false only when a table cannot grow (or the index is negative).
    bool DefineRel32Label(int32_t index, uint32_t rva);
    bool DefineAbs32Label(int32_t index, uint32_t rva);
    bool EndLabels();
    bool AddOrigin(uint32_t rva);
    bool AddCopy(uint32_t count, const void *bytes);
    bool AddRel32(int32_t labelIndex);
    bool AddAbs32(int32_t labelIndex);
    bool AddRel32ARM(uint16_t compressedOp, int32_t labelIndex);
    bool AddPeMakeRelocs(ExecutableType executableType);
    bool AddElfMakeRelocs();
    bool AddElfARMMakeRelocs();

    bool WriteTo(SinkStreamSet *streams);
    bool ReadFrom(SourceStreamSet *streams);
    // Writes the image's bytes, regenerating the relocation tables.
    bool AssembleTo(SinkStream *output);
    void LogSummary() const;

    typedef NoThrowVector<uint32_t> U32Vector;
    typedef NoThrowVector<uint8_t> U8Vector;
    const U32Vector &rel32Rvas() const { return m_rel32Rva; }
    const U32Vector &abs32Rvas() const { return m_abs32Rva; }
    const U32Vector &ops() const { return m_ops; }
    const U32Vector &origins() const { return m_origins; }
    const U32Vector &copyCounts() const { return m_copyCounts; }
    const U8Vector &copyBytes() const { return m_copyBytes; }
    const U32Vector &rel32Indices() const { return m_rel32Ix; }
    const U32Vector &abs32Indices() const { return m_abs32Ix; }
    const U32Vector &abs32RelocRvas() const { return m_abs32Relocs; }

private:
    EncodedProgram(const EncodedProgram &) = delete;
    EncodedProgram &operator=(const EncodedProgram &) = delete;

    bool DefineLabel(U32Vector *rvas, int32_t index, uint32_t rva);
    bool AddOp(uint32_t op);
    bool WritePeRelocs(uint32_t entryType, SinkStream *output);
    bool WriteElfRelocs(uint32_t entryType, SinkStream *output);

    uint64_t m_imageBase = 0;
    U32Vector m_rel32Rva;
    U32Vector m_abs32Rva;
    U32Vector m_ops;
    U32Vector m_origins;
    U32Vector m_copyCounts;
    U8Vector m_copyBytes;
    U32Vector m_rel32Ix;
    U32Vector m_abs32Ix;
    U32Vector m_abs32Relocs;
};

// Status-code wrappers.
Status WriteEncodedProgram(EncodedProgram *program, SinkStreamSet *streams);
// On success the caller owns *output; on failure it is null.
Status ReadEncodedProgram(SourceStreamSet *streams, EncodedProgram **output);
Status Assemble(EncodedProgram *program, SinkStream *output);
// Null is allowed.
void DeleteEncodedProgram(EncodedProgram *program);

} // namespace quorpatch

#endif // QUORPATCH_ENCODEDPROGRAM_H
