#ifndef ENSEMBLEPATCHWRITER_H
#define ENSEMBLEPATCHWRITER_H

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "types.h"

// Makes ensemble patches for the tests, in exactly the form the applier reads. Every step is
// exposed, so that a test can build a patch that is wrong in one chosen place.
namespace qvxtest {

typedef std::vector<quorpatch::u8> Bytes;

// One executable found in both files: where it lies in the old and in the new file.
struct EnsembleElement
{
    std::size_t oldOffset;
    std::size_t oldLength;
    std::size_t newOffset;
    std::size_t newLength;
    quorpatch::ExecutableType type;
};

// The fields of a patch before it is serialised.
struct EnsemblePatchParts
{
    quorpatch::u32 magic;
    quorpatch::u32 version;
    quorpatch::u32 sourceChecksum;
    quorpatch::u32 targetChecksum;
    quorpatch::u32 finalInputSize;
    std::vector<Bytes> streams; // the payload set; ten streams, the last six empty
};

// One element when both files are executables of the same type, else none.
std::vector<EnsembleElement> FindEnsembleElements(const Bytes &oldFile, const Bytes &newFile);

// False when an element cannot be transformed or a diff cannot be made.
bool MakeEnsemblePatchParts(const Bytes &oldFile, const Bytes &newFile,
                            const std::vector<EnsembleElement> &elements,
                            EnsemblePatchParts *parts);

// The header, then the payload set as one LZMA2 block.
Bytes SerializeEnsemblePatch(const EnsemblePatchParts &parts);
// The header fields alone.
Bytes EnsemblePatchHeader(const EnsemblePatchParts &parts);
// The payload set of count streams (streams beyond parts.streams are empty), uncompressed.
Bytes SerializePayloadSet(const std::vector<Bytes> &streams);

// A whole patch with the elements FindEnsembleElements gives; empty when it cannot be made.
Bytes MakeEnsemblePatch(const Bytes &oldFile, const Bytes &newFile);

// Building blocks of the payload.
Bytes InitialParameters(const std::vector<EnsembleElement> &elements);
Bytes PredictedParameters(std::size_t elementCount);
// The serialised set of the encoded programs of the given ranges of file (offset, length),
// one nested set per range; empty when one cannot be made.
Bytes TransformedElements(const Bytes &file,
                          const std::vector<std::pair<std::size_t, std::size_t>> &ranges, bool *ok);
// The old file followed by the images assembled from a serialised set of encoded programs.
bool ReformedData(const Bytes &oldFile, const Bytes &transformedElements, std::size_t count,
                  Bytes *reformed);
// A QVDIFF10 body without header (method 0).
bool MakeBinaryDiff(const Bytes &oldData, const Bytes &newData, Bytes *diff);
// Bytes as one LZMA2 block.
Bytes Lzma2Block(const Bytes &data);

quorpatch::u32 Checksum(const Bytes &data);
Bytes ReadFileBytes(const std::string &path);
bool WriteBytes(const std::string &path, const Bytes &data);

} // namespace qvxtest

#endif // ENSEMBLEPATCHWRITER_H
