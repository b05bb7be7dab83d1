#ifndef QUORPATCH_QVDIFF_H
#define QUORPATCH_QVDIFF_H

#include <cstddef>

namespace quorpatch {

class SinkStream;
class SourceStream;

// Starts a diff written with the header flag, followed by the varint32 checksum of the new data.
constexpr char kBinaryPatchMagic[] = "QVDIFF10";
constexpr std::size_t kBinaryPatchMagicLength = 8;

// How the body of a QVDIFF10 diff is stored.
enum BinaryPatchMethod {
    BINARY_PATCH_RAW = 0, // lengths and the three strings as they are
    BINARY_PATCH_LZMA2_STREAMS = 1, // control, diff and extra bytes each as one LZMA2 block
    BINARY_PATCH_LZMA2_BODY = 2 // the raw body as one LZMA2 block
};

// Reads one diff at the patch stream's position, moves the patch stream past it and appends
// the new data to output. The old data is old_stream's unread part; old_stream does not move.
// With header, the diff starts with "QVDIFF10" and the checksum of the new data, which is
// verified. On failure the patch stream stays where it was and output may hold a partial
// result. The diff may lie in output's room behind its bytes: the result is then written over
// it and over what follows it there.
bool ApplyBinaryPatch(SourceStream *old_stream, SourceStream *patch_stream, SinkStream *output,
                      bool header);

// Appends one diff from old_stream's unread part to new_stream's unread part to output, stored
// by method (a BinaryPatchMethod); both input streams are read to their ends.
bool GenerateBinaryPatch(SourceStream *old_stream, SourceStream *new_stream, SinkStream *output,
                         bool header, int method);

} // namespace quorpatch

#endif // QUORPATCH_QVDIFF_H
