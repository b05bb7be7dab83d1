#ifndef QUORPATCH_STREAMS_H
#define QUORPATCH_STREAMS_H

#include <cstddef>

#include "types.h"

namespace quorpatch {

constexpr std::size_t kMaxStreams = 10;
constexpr u32 kStreamSetMagic = 20090218;

// Decodes one varint32 in [pointer, limit): the position after it, or null when the range ends
// first or a fifth byte announces a sixth.
const u8 *ParseVarint32(const u8 *pointer, const u8 *limit, u32 *out);

// The bitwise complement of the standard CRC-32: the register before its final inversion.
u32 CalculateCrc(const u8 *buffer, std::size_t length);

class SinkStream;

// A read cursor over bytes it does not own. A failed call leaves the cursor where it was.
class SourceStream
{
public:
    SourceStream() = default;
    SourceStream(const void *pointer, std::size_t length) { Init(pointer, length); }

    void Init(const void *pointer, std::size_t length);
    void Init(const SinkStream &sink);

    bool Read(void *dest, std::size_t n);
    bool ReadVarint32(u32 *out);
    bool ReadSignedVarint32(i32 *out);
    bool Skip(std::size_t n);
    // [current + offset, current + offset + length); this stream does not move.
    bool SubstreamAt(std::size_t offset, std::size_t length, SourceStream *sub) const;
    // The next length bytes; this stream moves past them.
    bool TakeSubstream(std::size_t length, SourceStream *sub);

    const u8 *Buffer() const { return m_current; }
    std::size_t Remaining() const { return std::size_t(m_end - m_current); }
    // Consumed: nothing left to read.
    bool Empty() const { return m_current == m_end; }
    const u8 *Start() const { return m_start; }
    std::size_t OriginalLength() const { return std::size_t(m_end - m_start); }
    std::size_t Position() const { return std::size_t(m_current - m_start); }

private:
    const u8 *m_start = nullptr;
    const u8 *m_end = nullptr;
    const u8 *m_current = nullptr;
};

// A growable output buffer. A failed allocation leaves it failed: its contents are gone and
// every later write or reserve returns false until it is released.
class SinkStream
{
public:
    static constexpr std::size_t kFailedCapacity = 0xFFFFFFFFu;

    SinkStream() = default;
    ~SinkStream();
    SinkStream(SinkStream &&other) noexcept;
    SinkStream &operator=(SinkStream &&other) noexcept;

    bool Write(const void *data, std::size_t n);
    bool WriteVarint32(u32 value);
    bool WriteSignedVarint32(i32 value);
    // Sizes must fit in 32 bits; a larger one is a programming error that ends the process.
    bool WriteSize(std::size_t value);
    // Moves other's bytes to the end of this sink; other is left untouched on failure.
    bool Append(SinkStream *other);
    bool Reserve(std::size_t n);
    void Release();

    const u8 *Buffer() const { return m_buffer; }
    u8 *Buffer() { return m_buffer; }
    std::size_t Length() const { return m_length; }
    std::size_t Capacity() const { return m_capacity; }
    bool Failed() const { return m_capacity == kFailedCapacity; }
    // For writers that fill reserved room directly (such as a decoder): marks n more bytes
    // after Length() as written. False when they were not reserved.
    bool Commit(std::size_t n);

private:
    SinkStream(const SinkStream &) = delete;
    SinkStream &operator=(const SinkStream &) = delete;

    u8 *m_buffer = nullptr;
    std::size_t m_length = 0;
    std::size_t m_capacity = 0;
};

// Up to ten byte streams read from one serialised byte string; they point into that string,
// which must outlive the set. Streams at or beyond the count are absent (null).
class SourceStreamSet
{
public:
    SourceStreamSet();

    bool Parse(const u8 *buffer, std::size_t length);
    // Parses the unread part of source without moving it.
    bool Parse(const SourceStream &source);
    bool ReadNestedSet(SourceStreamSet *inner);
    bool AllConsumed() const;

    SourceStream *stream(std::size_t index)
    {
        return index < m_count ? &m_streams[index] : nullptr;
    }
    std::size_t count() const { return m_count; }

private:
    std::size_t m_count;
    SourceStream m_streams[kMaxStreams];
};

// Up to ten output streams written as one byte string. Streams at or beyond the count are
// absent (null).
class SinkStreamSet
{
public:
    SinkStreamSet();
    ~SinkStreamSet();

    // False (and nothing changed) for more than ten streams.
    bool SetCount(std::size_t count);
    bool WriteHeader(SinkStream *sink) const;
    // Appends the header and every stream to out; the streams are emptied on success.
    bool SerializeTo(SinkStream *out);
    // Stores inner as a nested set in this set's streams; inner's streams are emptied.
    bool WriteNestedSet(SinkStreamSet *inner);

    SinkStream *stream(std::size_t index) { return index < m_count ? &m_streams[index] : nullptr; }
    std::size_t count() const { return m_count; }

private:
    SinkStreamSet(const SinkStreamSet &) = delete;
    SinkStreamSet &operator=(const SinkStreamSet &) = delete;

    std::size_t m_count;
    SinkStream m_streams[kMaxStreams];
};

} // namespace quorpatch

#endif // QUORPATCH_STREAMS_H
