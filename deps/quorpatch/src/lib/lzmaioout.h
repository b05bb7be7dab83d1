#ifndef QUORPATCH_LZMAIOOUT_H
#define QUORPATCH_LZMAIOOUT_H

#include <cstddef>

#include "streams.h"
#include "types.h"

namespace quorpatch {

// An LZMA2 block: the dictionary property byte, the unpacked size as varint32, then the raw
// LZMA2 stream up to its end marker. The block carries no length of its own.

// Decodes the block at the source's position and appends its bytes to the sink. On success
// the source stands right after the block; on failure neither the source nor the sink's
// contents have changed.
bool Lzma2DecodeBlock(SourceStream *source, SinkStream *sink);

// Encodes the source's unread bytes as one block appended to the sink; the source is read
// to its end.
bool Lzma2EncodeStream(SourceStream *source, SinkStream *sink);

// Encodes length bytes at data as one block appended to the sink.
bool Lzma2EncodeBuffer(const u8 *data, std::size_t length, SinkStream *sink);

} // namespace quorpatch

#endif // QUORPATCH_LZMAIOOUT_H
