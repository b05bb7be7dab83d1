#include "patcherx86_32.h"

#include "assemblyprogram.h"
#include "detection.h"
#include "encodedprogram.h"
#include "streams.h"

namespace quorpatch {

PatcherX86_32::PatcherX86_32(const u8 *oldStart, std::size_t oldLength)
    : m_oldStart(oldStart)
    , m_oldLength(oldLength)
{ }

PatcherX86_32::~PatcherX86_32() = default;

Status PatcherX86_32::Init(SourceStream *parameters)
{
    u32 offset = 0;
    u32 length = 0;
    if (!parameters->ReadVarint32(&offset) || !parameters->ReadVarint32(&length))
        return STATUS_BAD_ELEMENT;
    if (offset > m_oldLength || length > m_oldLength - offset)
        return STATUS_BAD_ELEMENT;
    m_baseOffset = offset;
    m_baseLength = length;
    return STATUS_OK;
}

Status PatcherX86_32::PredictTransformParameters(SinkStreamSet *)
{
    // The element needs no parameters: the prediction is empty.
    return STATUS_OK;
}

Status PatcherX86_32::Transform(SourceStreamSet *parameters, SinkStreamSet *transformed)
{
    if (!parameters->AllConsumed())
        return STATUS_GENERAL_ERROR;

    AssemblyProgram *program = nullptr;
    Status status = ParseDetectedExecutable(m_oldStart + m_baseOffset, m_baseLength, &program);
    if (status != STATUS_OK)
        return status;

    EncodedProgram *encoded = nullptr;
    status = TrimLabels(program);
    if (status == STATUS_OK)
        status = Encode(program, &encoded);
    DeleteAssemblyProgram(program);
    if (status != STATUS_OK)
        return status;

    status = WriteEncodedProgram(encoded, transformed);
    DeleteEncodedProgram(encoded);
    return status;
}

Status PatcherX86_32::Reform(SourceStreamSet *transformed, SinkStream *output)
{
    EncodedProgram *encoded = nullptr;
    Status status = ReadEncodedProgram(transformed, &encoded);
    if (status != STATUS_OK)
        return status;
    status = Assemble(encoded, output);
    DeleteEncodedProgram(encoded);
    return status;
}

} // namespace quorpatch
