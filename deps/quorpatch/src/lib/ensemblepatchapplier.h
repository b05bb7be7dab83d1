#ifndef QUORPATCH_ENSEMBLEPATCHAPPLIER_H
#define QUORPATCH_ENSEMBLEPATCHAPPLIER_H

#include <cstddef>

#include "mappedfile.h"
#include "nothrowvector.h"
#include "streams.h"
#include "types.h"

namespace quorpatch {

class TransformationPatcher;

// An ensemble patch starts with these two varint32 values.
constexpr u32 kEnsemblePatchMagic = 0x756F43;
constexpr u32 kEnsemblePatchVersion = 20110216;

// The payload's stream set: initial parameters, then the three sub-patches.
enum EnsemblePayloadStream {
    kInitialParametersStream = 0,
    kParametersPatchStream = 1,
    kElementsPatchStream = 2,
    kFinalPatchStream = 3,
    kEnsemblePayloadStreams = 4
};

// The state of one patch application. The sets it hands out point into its storages and the
// old data, so they are valid only while both live.
class EnsemblePatchApplier
{
public:
    EnsemblePatchApplier();
    ~EnsemblePatchApplier();

    Status ReadHeader(SourceStream *header);
    Status ReadInitialParameters(SourceStream *parameters);

    Status SetOldRegion(const u8 *start, std::size_t length);
    // The mapping the old data lies in (null: none): its pages are let go while the payload
    // is decoded.
    void SetOldFile(const MappedFile *file) { m_oldFile = file; }
    Status CheckOldChecksum() const;
    Status PredictParameters(SinkStreamSet *predicted);
    Status ApplySubpatch(SinkStreamSet *predicted, SourceStream *diff, SourceStreamSet *out,
                         SinkStream *storage);
    Status TransformElements(SourceStreamSet *correctedParameters, SinkStreamSet *transformed);
    Status ReformElements(SourceStreamSet *correctedElements, SinkStream *reformed);
    // The target checksum is over before's bytes (those that output will follow; null: none)
    // and output's together.
    Status ApplyFinalSubpatch(SourceStream *reformed, SourceStream *diff, SinkStream *output,
                              const SinkStream *before = nullptr);

    // The whole application, from the header to the checked result in output; see
    // ApplyFinalSubpatch for before. The payload is decoded into output's room, so on failure
    // output's bytes are kept but its room may have grown (or, out of memory, it failed).
    Status Apply(SourceStream *old, SourceStream *patch, SinkStream *output,
                 const SinkStream *before = nullptr);

    u32 sourceChecksum() const { return m_sourceChecksum; }
    u32 targetChecksum() const { return m_targetChecksum; }
    u32 finalInputSize() const { return m_finalInputSize; }
    std::size_t patcherCount() const { return m_patchers.size(); }

private:
    EnsemblePatchApplier(const EnsemblePatchApplier &) = delete;
    EnsemblePatchApplier &operator=(const EnsemblePatchApplier &) = delete;

    const MappedFile *m_oldFile = nullptr;
    const u8 *m_oldStart = nullptr;
    std::size_t m_oldLength = 0;
    u32 m_sourceChecksum = 0;
    u32 m_targetChecksum = 0;
    u32 m_finalInputSize = 0;
    NoThrowVector<TransformationPatcher *> m_patchers;
    SinkStream m_correctedParameterStorage;
    SinkStream m_correctedElementStorage;
};

// Turns the old file into the new one. STATUS_OK only when the new file was written
// completely; on any failure nothing is written and an existing file at newPath is kept.
Status ApplyEnsemblePatchFiles(const quorvelin::strings::oschar *oldPath,
                               const quorvelin::strings::oschar *patchPath,
                               const quorvelin::strings::oschar *newPath);
// As above; with STATUS_PATCH_FILE_ERROR or STATUS_FILE_ERROR *systemError (when not null)
// gets the errno of the system call that failed (0: an empty patch file, or no reason given);
// with any other status it is 0.
Status ApplyEnsemblePatchFiles(const quorvelin::strings::oschar *oldPath,
                               const quorvelin::strings::oschar *patchPath,
                               const quorvelin::strings::oschar *newPath, int *systemError);

// Appends the new data to output. The old data is old's unread part. The target checksum is
// over all of output as it would be afterwards, its earlier bytes included, so a patch for an
// output that is not empty gives STATUS_CHECKSUM_MISMATCH unless made for those bytes too.
// The new data is built apart and appended only once checked, so a failure leaves output as
// it was; only a failed allocation while appending leaves it failed and empty.
Status ApplyEnsemblePatchStreams(SourceStream *old, SourceStream *patch, SinkStream *output);

} // namespace quorpatch

#endif // QUORPATCH_ENSEMBLEPATCHAPPLIER_H
