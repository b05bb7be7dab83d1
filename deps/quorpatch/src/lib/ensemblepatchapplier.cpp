#include "ensemblepatchapplier.h"

#include <algorithm>
#include <utility>

#include <zlib.h>

#include "lzmaioout.h"
#include "patcherx86_32.h"
#include "qvdiff.h"

namespace quorpatch {

namespace {

// CalculateCrc of the bytes of first followed by those of second.
u32 CalculateCrcOfBoth(const SinkStream *first, const SinkStream &second)
{
    uLong crc = crc32_z(0, nullptr, 0);
    if (first && first->Length() != 0)
        crc = crc32_z(crc, first->Buffer(), first->Length());
    if (second.Length() != 0)
        crc = crc32_z(crc, second.Buffer(), second.Length());
    return ~u32(crc);
}

} // namespace

EnsemblePatchApplier::EnsemblePatchApplier() = default;

EnsemblePatchApplier::~EnsemblePatchApplier()
{
    for (TransformationPatcher *patcher : m_patchers)
        DeleteNoThrow(patcher);
}

Status EnsemblePatchApplier::ReadHeader(SourceStream *header)
{
    u32 magic = 0;
    if (!header->ReadVarint32(&magic) || magic != kEnsemblePatchMagic)
        return STATUS_BAD_MAGIC;
    u32 version = 0;
    if (!header->ReadVarint32(&version) || version != kEnsemblePatchVersion)
        return STATUS_BAD_VERSION;
    if (!header->ReadVarint32(&m_sourceChecksum) || !header->ReadVarint32(&m_targetChecksum)
        || !header->ReadVarint32(&m_finalInputSize))
        return STATUS_BAD_HEADER;
    return STATUS_OK;
}

Status EnsemblePatchApplier::ReadInitialParameters(SourceStream *parameters)
{
    u32 count = 0;
    if (!parameters->ReadVarint32(&count))
        return STATUS_BAD_HEADER;

    for (u32 i = 0; i < count; ++i) {
        u32 type = 0;
        if (!parameters->ReadVarint32(&type) || type < WIN_32_X86 || type > MACHO_X64)
            return STATUS_BAD_HEADER;
        // Every executable type is carried the same way.
        TransformationPatcher *patcher = NewNoThrow<PatcherX86_32>(m_oldStart, m_oldLength);
        if (!patcher)
            return STATUS_STREAM_ERROR;
        if (!m_patchers.Append(patcher)) {
            DeleteNoThrow(patcher);
            return STATUS_STREAM_ERROR;
        }
    }

    for (TransformationPatcher *patcher : m_patchers) {
        const Status status = patcher->Init(parameters);
        if (status != STATUS_OK)
            return status;
    }

    return parameters->Empty() ? STATUS_OK : STATUS_BAD_HEADER;
}

Status EnsemblePatchApplier::SetOldRegion(const u8 *start, std::size_t length)
{
    m_oldStart = start;
    m_oldLength = length;
    return STATUS_OK;
}

Status EnsemblePatchApplier::CheckOldChecksum() const
{
    return CalculateCrc(m_oldStart, m_oldLength) == m_sourceChecksum ? STATUS_OK
                                                                     : STATUS_CHECKSUM_MISMATCH;
}

Status EnsemblePatchApplier::PredictParameters(SinkStreamSet *predicted)
{
    for (TransformationPatcher *patcher : m_patchers) {
        SinkStreamSet single;
        const Status status = patcher->PredictTransformParameters(&single);
        if (status != STATUS_OK)
            return status;
        if (!predicted->WriteNestedSet(&single))
            return STATUS_STREAM_ERROR;
    }
    return STATUS_OK;
}

Status EnsemblePatchApplier::ApplySubpatch(SinkStreamSet *predicted, SourceStream *diff,
                                           SourceStreamSet *out, SinkStream *storage)
{
    SinkStream serialised;
    if (!predicted->SerializeTo(&serialised))
        return STATUS_STREAM_ERROR;
    SourceStream old;
    old.Init(serialised);
    if (!ApplyBinaryPatch(&old, diff, storage, false))
        return STATUS_GENERAL_ERROR;
    if (!out->Parse(storage->Buffer(), storage->Length()))
        return STATUS_STREAM_ERROR;
    return STATUS_OK;
}

Status EnsemblePatchApplier::TransformElements(SourceStreamSet *correctedParameters,
                                               SinkStreamSet *transformed)
{
    for (TransformationPatcher *patcher : m_patchers) {
        SourceStreamSet parameters;
        if (!correctedParameters->ReadNestedSet(&parameters))
            return STATUS_STREAM_ERROR;
        SinkStreamSet single;
        const Status status = patcher->Transform(&parameters, &single);
        if (status != STATUS_OK)
            return status;
        if (!parameters.AllConsumed())
            return STATUS_STREAM_NOT_CONSUMED;
        if (!transformed->WriteNestedSet(&single))
            return STATUS_STREAM_ERROR;
    }
    return correctedParameters->AllConsumed() ? STATUS_OK : STATUS_STREAM_NOT_CONSUMED;
}

Status EnsemblePatchApplier::ReformElements(SourceStreamSet *correctedElements,
                                            SinkStream *reformed)
{
    // The stated size is only a hint, and a hostile one must not reserve gigabytes: cap it
    // near what the old data and the elements can make. The sink grows if it is short.
    const u64 plausible = u64(m_oldLength) + 8 * u64(m_correctedElementStorage.Length());
    const std::size_t hint = std::size_t(std::min<u64>(m_finalInputSize, plausible));
    if (!reformed->Reserve(hint + reformed->Length()))
        return STATUS_STREAM_ERROR;
    if (!reformed->Write(m_oldStart, m_oldLength))
        return STATUS_STREAM_ERROR;
    for (TransformationPatcher *patcher : m_patchers) {
        SourceStreamSet element;
        if (!correctedElements->ReadNestedSet(&element))
            return STATUS_STREAM_ERROR;
        const Status status = patcher->Reform(&element, reformed);
        if (status != STATUS_OK)
            return status;
        if (!element.AllConsumed())
            return STATUS_STREAM_NOT_CONSUMED;
    }
    if (!correctedElements->AllConsumed())
        return STATUS_STREAM_NOT_CONSUMED;
    m_correctedElementStorage.Release();
    return STATUS_OK;
}

Status EnsemblePatchApplier::ApplyFinalSubpatch(SourceStream *reformed, SourceStream *diff,
                                                SinkStream *output, const SinkStream *before)
{
    if (!ApplyBinaryPatch(reformed, diff, output, false))
        return STATUS_GENERAL_ERROR;
    return CalculateCrcOfBoth(before, *output) == m_targetChecksum ? STATUS_OK
                                                                   : STATUS_CHECKSUM_MISMATCH;
}

Status EnsemblePatchApplier::Apply(SourceStream *old, SourceStream *patch, SinkStream *output,
                                   const SinkStream *before)
{
    Status status = ReadHeader(patch);
    if (status != STATUS_OK)
        return status;

    SetOldRegion(old->Buffer(), old->Remaining());
    // A patch made for another old file fails here, before anything is decompressed.
    status = CheckOldChecksum();
    if (status != STATUS_OK)
        return status;
    // Hashed; read again only by the final diff, after the payload has been decoded.
    if (m_oldFile)
        m_oldFile->DropBefore(m_oldFile->Length());

    // The payload is decoded into the output's room: a plain diff's bytes, most of the
    // result's size, are then read in place as the result is written over them.
    std::size_t payloadLength = 0;
    if (!Lzma2DecodeBlockIntoRoom(patch, output, &payloadLength))
        return STATUS_STREAM_ERROR;
    SourceStreamSet payloadSet;
    const u8 *payload = output->Buffer() ? output->Buffer() + output->Length() : nullptr;
    if (!payloadSet.Parse(payload, payloadLength))
        return STATUS_STREAM_ERROR;
    // A set that parses may still lack some of the four streams; they are never read then.
    if (payloadSet.count() < kEnsemblePayloadStreams)
        return STATUS_STREAM_ERROR;

    status = ReadInitialParameters(payloadSet.stream(kInitialParametersStream));
    if (status != STATUS_OK)
        return status;

    SourceStreamSet correctedParameters;
    {
        SinkStreamSet predicted;
        status = PredictParameters(&predicted);
        if (status != STATUS_OK)
            return status;
        status = ApplySubpatch(&predicted, payloadSet.stream(kParametersPatchStream),
                               &correctedParameters, &m_correctedParameterStorage);
        if (status != STATUS_OK)
            return status;
    }

    SourceStreamSet correctedElements;
    {
        SinkStreamSet transformed;
        status = TransformElements(&correctedParameters, &transformed);
        if (status != STATUS_OK)
            return status;
        status = ApplySubpatch(&transformed, payloadSet.stream(kElementsPatchStream),
                               &correctedElements, &m_correctedElementStorage);
        if (status != STATUS_OK)
            return status;
    }

    // Without elements the reformed data is the old data itself: no copy of it.
    SinkStream reformed;
    SourceStream reformedSource(m_oldStart, m_oldLength);
    if (!m_patchers.empty()) {
        status = ReformElements(&correctedElements, &reformed);
        if (status != STATUS_OK)
            return status;
        reformedSource.Init(reformed);
    } else if (!correctedElements.AllConsumed()) {
        return STATUS_STREAM_NOT_CONSUMED;
    } else {
        m_correctedElementStorage.Release();
    }
    return ApplyFinalSubpatch(&reformedSource, payloadSet.stream(kFinalPatchStream), output,
                              before);
}

namespace {

// See ApplyEnsemblePatchStreams; oldFile (or null) is the mapping old reads.
Status applyStreams(SourceStream *old, SourceStream *patch, SinkStream *output,
                    const MappedFile *oldFile)
{
    // Built apart, so that a failure leaves nothing of a partial result in output.
    SinkStream result;
    Status status;
    {
        EnsemblePatchApplier applier;
        applier.SetOldFile(oldFile);
        status = applier.Apply(old, patch, &result, output);
    }
    if (status != STATUS_OK)
        return status;
    if (output->Length() == 0 && !output->Failed()) {
        *output = std::move(result);
        return STATUS_OK;
    }
    return output->Append(&result) ? STATUS_OK : STATUS_STREAM_ERROR;
}

} // namespace

Status ApplyEnsemblePatchStreams(SourceStream *old, SourceStream *patch, SinkStream *output)
{
    return applyStreams(old, patch, output, nullptr);
}

Status ApplyEnsemblePatchFiles(const quorvelin::strings::oschar *oldPath,
                               const quorvelin::strings::oschar *patchPath,
                               const quorvelin::strings::oschar *newPath)
{
    return ApplyEnsemblePatchFiles(oldPath, patchPath, newPath, nullptr);
}

Status ApplyEnsemblePatchFiles(const quorvelin::strings::oschar *oldPath,
                               const quorvelin::strings::oschar *patchPath,
                               const quorvelin::strings::oschar *newPath, int *systemError)
{
    int unused = 0;
    int &error = systemError ? *systemError : unused;
    error = 0;
    MappedFile patchFile(patchPath, 0, MappedFile::Normal);
    if (!patchFile.IsValid()) {
        const int mapError = patchFile.Error();
        // An empty patch file was read; it just holds nothing.
        if (!IsEmptyRegularFile(patchPath))
            error = mapError;
        return STATUS_PATCH_FILE_ERROR;
    }

    {
        SourceStream header(patchFile.Data(), patchFile.Length());
        EnsemblePatchApplier scratch;
        const Status status = scratch.ReadHeader(&header);
        if (status != STATUS_OK)
            return status;
    }

    MappedFile oldFile(oldPath, 0, MappedFile::Normal);
    if (!oldFile.IsValid()) {
        const int mapError = oldFile.Error();
        if (!IsEmptyRegularFile(oldPath)) {
            error = mapError;
            return STATUS_FILE_ERROR;
        }
    }

    SourceStream old(oldFile.Data(), oldFile.Length());
    SourceStream patch(patchFile.Data(), patchFile.Length());
    SinkStream output;
    const Status status = applyStreams(&old, &patch, &output, &oldFile);
    if (status != STATUS_OK)
        return status;

    if (WriteFileBytes(newPath, output.Buffer(), output.Length(), &error) != output.Length())
        return STATUS_FILE_ERROR;
    return STATUS_OK;
}

} // namespace quorpatch
