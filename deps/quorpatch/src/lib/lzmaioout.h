#ifndef QUORPATCH_LZMAIOOUT_H
#define QUORPATCH_LZMAIOOUT_H

#include <cstddef>

#include "streams.h"
#include "types.h"

namespace quorpatch {

class MappedFile;

// An LZMA2 block: the dictionary property byte, the unpacked size as varint32, then the raw
// LZMA2 stream up to its end marker. The block carries no length of its own.

// Decodes the block at the source's position and appends its bytes to the sink. On success
// the source stands right after the block; on failure neither the source nor the sink's
// contents have changed.
bool Lzma2DecodeBlock(SourceStream *source, SinkStream *sink);

// The same for a source inside file's mapping: the pages the decoder has read are let go as
// it goes, so that a large block is not held twice, compressed and decoded.
bool Lzma2DecodeBlock(SourceStream *source, SinkStream *sink, const MappedFile &file);

// The same into capacity bytes at dest, for callers that place the bytes themselves; a block
// needing more room than capacity fails as an allocation failure. *produced: the unpacked size.
bool Lzma2DecodeBlockInto(SourceStream *source, u8 *dest, std::size_t capacity,
                          std::size_t *produced);

// The same into the room behind the sink's bytes, which are left uncommitted: a result is then
// built over them. The room reserved is twice the block's, so that a plain diff can be moved
// up far enough to be read in place; pages never written cost nothing. *produced: the
// unpacked size, at sink->Buffer() + sink->Length().
bool Lzma2DecodeBlockIntoRoom(SourceStream *source, SinkStream *sink, std::size_t *produced);

// The unpacked size that the block at the source's position states; the source does not move.
bool Lzma2PeekBlockSize(const SourceStream &source, u32 *unpackedSize);

// The most room decoding a block stating unpackedSize takes when compressedBytes follow its
// header: a valid stream cannot unpack more than that from so few bytes.
std::size_t Lzma2BlockRoom(u32 unpackedSize, std::size_t compressedBytes);

// Encodes the source's unread bytes as one block appended to the sink; the source is read
// to its end.
bool Lzma2EncodeStream(SourceStream *source, SinkStream *sink);

// Encodes length bytes at data as one block appended to the sink.
bool Lzma2EncodeBuffer(const u8 *data, std::size_t length, SinkStream *sink);

} // namespace quorpatch

#endif // QUORPATCH_LZMAIOOUT_H
