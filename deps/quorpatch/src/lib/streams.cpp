#include "streams.h"

#include <cstring>
#include <functional>
#include <utility>

#include <zlib.h>

#include "logmessage.h"
#include "nothrowvector.h"

namespace quorpatch {

namespace {

const std::size_t kSinkInitialCapacity = 256;
const std::size_t kMaxSize = ~std::size_t(0);
// The serialised magic, the shortest varint32 form of kStreamSetMagic.
const u8 kMagicBytes[4] = {0xEA, 0x9A, 0xCA, 0x09};
// The line the size check reports is part of its logged text and stays fixed.
const int kWriteSizeCheckLine = 209;

std::size_t encodeVarint32(u32 value, u8 *out)
{
    std::size_t n = 0;
    while (value >= 0x80) {
        out[n++] = u8(value | 0x80);
        value >>= 7;
    }
    out[n++] = u8(value);
    return n;
}

bool pointsInto(const void *pointer, const u8 *buffer, std::size_t length)
{
    const u8 *p = static_cast<const u8 *>(pointer);
    return buffer && std::less_equal<const u8 *>()(buffer, p)
        && std::less<const u8 *>()(p, buffer + length);
}

} // namespace

const u8 *ParseVarint32(const u8 *pointer, const u8 *limit, u32 *out)
{
    u32 result = 0;
    for (int i = 0; i < 4; ++i) {
        if (pointer >= limit)
            return nullptr;
        const u8 byte = *pointer++;
        result |= u32(byte & 0x7F) << (7 * i);
        if (!(byte & 0x80)) {
            *out = result;
            return pointer;
        }
    }
    if (pointer >= limit)
        return nullptr;
    const u8 last = *pointer++;
    if (last & 0x80)
        return nullptr;
    *out = result | (u32(last & 0x0F) << 28);
    return pointer;
}

u32 CalculateCrc(const u8 *buffer, std::size_t length)
{
    if (length == 0)
        return ~u32(0);
    return ~u32(crc32_z(0, buffer, length));
}

// SourceStream

void SourceStream::Init(const void *pointer, std::size_t length)
{
    m_start = static_cast<const u8 *>(pointer);
    m_end = m_start ? m_start + length : m_start;
    m_current = m_start;
}

void SourceStream::Init(const SinkStream &sink)
{
    Init(sink.Buffer(), sink.Length());
}

bool SourceStream::Read(void *dest, std::size_t n)
{
    if (n > Remaining())
        return false;
    if (n) {
        std::memcpy(dest, m_current, n);
        m_current += n;
    }
    return true;
}

bool SourceStream::ReadVarint32(u32 *out)
{
    const u8 *next = ParseVarint32(m_current, m_end, out);
    if (!next)
        return false;
    m_current = next;
    return true;
}

bool SourceStream::ReadSignedVarint32(i32 *out)
{
    u32 zigzag;
    if (!ReadVarint32(&zigzag))
        return false;
    *out = i32((zigzag >> 1) ^ (0u - (zigzag & 1)));
    return true;
}

bool SourceStream::Skip(std::size_t n)
{
    if (n > Remaining())
        return false;
    m_current += n;
    return true;
}

bool SourceStream::SubstreamAt(std::size_t offset, std::size_t length, SourceStream *sub) const
{
    const std::size_t remaining = Remaining();
    if (offset > remaining || length > remaining - offset)
        return false;
    sub->Init(m_current + offset, length);
    return true;
}

bool SourceStream::TakeSubstream(std::size_t length, SourceStream *sub)
{
    if (length > Remaining())
        return false;
    sub->Init(m_current, length);
    m_current += length;
    return true;
}

// SinkStream

SinkStream::~SinkStream()
{
    ReleaseNoThrow(m_buffer);
}

SinkStream::SinkStream(SinkStream &&other) noexcept
    : m_buffer(other.m_buffer)
    , m_length(other.m_length)
    , m_capacity(other.m_capacity)
{
    other.m_buffer = nullptr;
    other.m_length = 0;
    other.m_capacity = 0;
}

SinkStream &SinkStream::operator=(SinkStream &&other) noexcept
{
    if (this != &other) {
        Release();
        std::swap(m_buffer, other.m_buffer);
        std::swap(m_length, other.m_length);
        std::swap(m_capacity, other.m_capacity);
    }
    return *this;
}

bool SinkStream::Write(const void *data, std::size_t n)
{
    if (Failed() || n > kMaxSize - m_length)
        return false;
    if (n == 0)
        return true;
    if (m_capacity - m_length < n) {
        std::size_t capacity = m_capacity ? m_capacity : kSinkInitialCapacity;
        while (capacity < m_length + n)
            capacity = capacity > kMaxSize / 2 ? kMaxSize : capacity * 2;
        // The data may be this sink's own bytes, which growing moves.
        const bool own = pointsInto(data, m_buffer, m_length);
        const std::size_t offset = own ? std::size_t(static_cast<const u8 *>(data) - m_buffer) : 0;
        if (!Reserve(capacity))
            return false;
        if (own)
            data = m_buffer + offset;
    }
    std::memcpy(m_buffer + m_length, data, n);
    m_length += n;
    return true;
}

bool SinkStream::WriteVarint32(u32 value)
{
    u8 bytes[5];
    return Write(bytes, encodeVarint32(value, bytes));
}

bool SinkStream::WriteSignedVarint32(i32 value)
{
    const u32 zigzag = (u32(value) << 1) ^ u32(value >> 31);
    return WriteVarint32(zigzag);
}

bool SinkStream::WriteSize(std::size_t value)
{
    const u32 narrowed_value = u32(value);
    QP_CHECK_AT(value == narrowed_value, kWriteSizeCheckLine);
    return WriteVarint32(narrowed_value);
}

bool SinkStream::Append(SinkStream *other)
{
    // A failed sink lost its bytes: appending it as empty would report lost data as written.
    if (other == this || other->Failed())
        return false;
    if (!Write(other->m_buffer, other->m_length))
        return false;
    other->Release();
    return true;
}

bool SinkStream::Reserve(std::size_t n)
{
    if (Failed())
        return false;
    if (n <= m_capacity)
        return true;
    const std::size_t capacity = n > kSinkInitialCapacity ? n : kSinkInitialCapacity;
    // A capacity equal to the failed marker could not be told from the failed state.
    u8 *buffer
        = capacity == kFailedCapacity ? nullptr : static_cast<u8 *>(AllocateNoThrow(capacity));
    if (!buffer) {
        Release();
        m_capacity = kFailedCapacity;
        return false;
    }
    if (m_length)
        std::memcpy(buffer, m_buffer, m_length);
    ReleaseNoThrow(m_buffer);
    m_buffer = buffer;
    m_capacity = capacity;
    return true;
}

void SinkStream::Release()
{
    ReleaseNoThrow(m_buffer);
    m_buffer = nullptr;
    m_length = 0;
    m_capacity = 0;
}

bool SinkStream::Commit(std::size_t n)
{
    if (Failed() || n > m_capacity - m_length)
        return false;
    m_length += n;
    return true;
}

// SourceStreamSet

SourceStreamSet::SourceStreamSet()
    : m_count(kMaxStreams)
{ }

bool SourceStreamSet::Parse(const u8 *buffer, std::size_t length)
{
    // An unusable set holds no streams.
    m_count = 0;
    for (SourceStream &stream : m_streams)
        stream = SourceStream();

    SourceStream header(buffer, length);
    u32 magic;
    if (!header.ReadVarint32(&magic) || magic != kStreamSetMagic)
        return false;
    u32 count;
    if (!header.ReadVarint32(&count) || count > kMaxStreams)
        return false;
    u32 lengths[kMaxStreams];
    u64 total = 0;
    for (u32 i = 0; i < count; ++i) {
        if (!header.ReadVarint32(&lengths[i]))
            return false;
        total += lengths[i];
    }
    if (total != header.Remaining())
        return false;
    for (u32 i = 0; i < count; ++i)
        header.TakeSubstream(lengths[i], &m_streams[i]);
    m_count = count;
    return true;
}

bool SourceStreamSet::Parse(const SourceStream &source)
{
    return Parse(source.Buffer(), source.Remaining());
}

bool SourceStreamSet::ReadNestedSet(SourceStreamSet *inner)
{
    *inner = SourceStreamSet();
    SourceStream *control = stream(0);
    if (!control)
        return false;
    u32 n;
    if (!control->ReadVarint32(&n))
        return false;
    if (n == 0)
        return true;
    if (n > kMaxStreams)
        return false;
    u32 lengths[kMaxStreams];
    for (u32 i = 0; i < n; ++i) {
        if (!control->ReadVarint32(&lengths[i]))
            return false;
    }
    for (u32 i = 0; i < n; ++i) {
        SourceStream *outer = stream(i);
        if (!outer || !outer->TakeSubstream(lengths[i], &inner->m_streams[i]))
            return false;
    }
    return true;
}

bool SourceStreamSet::AllConsumed() const
{
    for (std::size_t i = 0; i < m_count; ++i) {
        if (!m_streams[i].Empty())
            return false;
    }
    return true;
}

// SinkStreamSet

SinkStreamSet::SinkStreamSet()
    : m_count(kMaxStreams)
{ }

SinkStreamSet::~SinkStreamSet() = default;

bool SinkStreamSet::SetCount(std::size_t count)
{
    if (count > kMaxStreams)
        return false;
    m_count = count;
    return true;
}

bool SinkStreamSet::WriteHeader(SinkStream *sink) const
{
    if (!sink->Write(kMagicBytes, sizeof kMagicBytes) || !sink->WriteSize(m_count))
        return false;
    for (std::size_t i = 0; i < m_count; ++i) {
        if (!sink->WriteSize(m_streams[i].Length()))
            return false;
    }
    return true;
}

bool SinkStreamSet::SerializeTo(SinkStream *out)
{
    SinkStream header;
    if (!WriteHeader(&header))
        return false;
    std::size_t total = out->Length() + header.Length();
    for (std::size_t i = 0; i < m_count; ++i)
        total += m_streams[i].Length();
    if (!out->Reserve(total) || !out->Append(&header))
        return false;
    for (std::size_t i = 0; i < m_count; ++i) {
        if (!out->Append(&m_streams[i]))
            return false;
    }
    return true;
}

bool SinkStreamSet::WriteNestedSet(SinkStreamSet *inner)
{
    std::size_t n = 0;
    for (std::size_t i = 0; i < inner->m_count; ++i) {
        if (inner->m_streams[i].Length() != 0 || inner->m_streams[i].Failed())
            n = i + 1;
    }
    // Every stream the nested set needs must exist here.
    if (m_count == 0 || n > m_count)
        return false;
    SinkStream &control = m_streams[0];
    if (!control.WriteSize(n))
        return false;
    for (std::size_t i = 0; i < n; ++i) {
        if (!control.WriteSize(inner->m_streams[i].Length()))
            return false;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (!m_streams[i].Append(&inner->m_streams[i]))
            return false;
    }
    return true;
}

} // namespace quorpatch
