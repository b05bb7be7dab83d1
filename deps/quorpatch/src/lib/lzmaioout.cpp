#include "lzmaioout.h"

#include <algorithm>
#include <new>

#include "logmessage.h"
#include "lzma2coder.h"
#include "mappedfile.h"

namespace quorpatch {

namespace {

// Encoder settings of one block. Made and dropped per block.
struct Lzma2Encoder
{
    u8 property = 0;
};

class SinkOutput : public lzma2::Output
{
public:
    explicit SinkOutput(SinkStream *sink)
        : m_sink(sink)
    { }
    bool Write(const uint8_t *data, size_t size) override { return m_sink->Write(data, size); }

private:
    SinkStream *m_sink;
};

bool Lzma2WriteBlockHeader(Lzma2Encoder *encoder, std::size_t unpackedSize, SinkStream *sink)
{
    encoder->property = lzma2::PropertyOfDictionarySize(lzma2::kEncoderDictionarySize);
    // The size field is 32 bits wide; refuse rather than write a block nobody can read.
    if (unpackedSize > 0xFFFFFFFFu) {
        QP_LOG(LogLevel_ERROR) << "LZMA2 block too large";
        return false;
    }
    return sink->Write(&encoder->property, 1) && sink->WriteSize(unpackedSize);
}

bool Lzma2EncodeToSink(Lzma2Encoder *, const u8 *data, std::size_t length, SinkStream *sink)
{
    SinkOutput out(sink);
    if (lzma2::Encode(data, length, out) != lzma2::kOk) {
        QP_LOG(LogLevel_ERROR) << "Error Lzma2Enc_Encode";
        return false;
    }
    return true;
}

bool EncodeBlock(const u8 *data, std::size_t length, SinkStream *sink, int assertLine)
{
    Lzma2Encoder *encHandle = new (std::nothrow) Lzma2Encoder;
    QP_CHECK_AT(encHandle, assertLine);
    const bool ok = Lzma2WriteBlockHeader(encHandle, length, sink)
        && Lzma2EncodeToSink(encHandle, data, length, sink);
    delete encHandle;
    return ok;
}

} // namespace

namespace {

// Reads the block's header, asks room(n) for n bytes to decode into (null: no memory) and
// decodes the block there. On success the source stands after the block and *produced holds
// the unpacked size; on failure the source has not moved.
template<typename Room>
bool DecodeBlock(SourceStream *source, Room room, size_t *produced,
                 lzma2::InputProgress *progress = nullptr)
{
    const SourceStream blockStart = *source;

    u8 property = 0;
    if (!source->Read(&property, 1)) {
        QP_LOG(LogLevel_ERROR) << "Error read LZMA2 properties";
        return false;
    }
    u32 unpackedSize = 0;
    if (!source->ReadVarint32(&unpackedSize)) {
        *source = blockStart;
        QP_LOG(LogLevel_ERROR) << "Error read LZMA2 unpack size";
        return false;
    }
    // A tiny block must not reserve the huge size it states. LZMA2 cannot unpack more than
    // about 7 KiB per input byte (a 273-byte match costs at least 0.3 bits), so 16 KiB per
    // remaining byte holds every valid stream; one stating more fails below as too short.
    const size_t roomSize = Lzma2BlockRoom(unpackedSize, source->Remaining());
    u8 *dest = room(roomSize);
    if (!dest && roomSize != 0) {
        *source = blockStart;
        QP_LOG(LogLevel_ERROR) << "unable to allocate sink space";
        return false;
    }

    // Straight into the caller's room: no intermediate buffer.
    *produced = roomSize;
    size_t consumed = source->Remaining();
    const int result
        = lzma2::Decode(dest, produced, source->Buffer(), &consumed, property, progress);
    if (result != lzma2::kOk || *produced != unpackedSize) {
        *source = blockStart;
        QP_LOG(LogLevel_ERROR) << "Error uncompressing data " << result;
        return false;
    }
    return source->Skip(consumed);
}

// n bytes of room after the sink's contents, or null.
u8 *SinkRoom(SinkStream *sink, size_t n)
{
    if (!sink->Reserve(sink->Length() + n))
        return nullptr;
    return sink->Buffer() ? sink->Buffer() + sink->Length() : nullptr;
}

} // namespace

size_t Lzma2BlockRoom(u32 unpackedSize, size_t compressedBytes)
{
    return size_t(std::min<u64>(unpackedSize, u64(compressedBytes) << 14));
}

bool Lzma2PeekBlockSize(const SourceStream &source, u32 *unpackedSize)
{
    SourceStream header = source;
    u8 property = 0;
    return header.Read(&property, 1) && header.ReadVarint32(unpackedSize);
}

bool Lzma2DecodeBlock(SourceStream *source, SinkStream *sink)
{
    auto room = [sink](size_t n) { return SinkRoom(sink, n); };
    size_t produced = 0;
    return DecodeBlock(source, room, &produced) && sink->Commit(produced);
}

bool Lzma2DecodeBlock(SourceStream *source, SinkStream *sink, const MappedFile &file)
{
    // Drops the file's pages behind the decoder as it goes.
    class Dropper : public lzma2::InputProgress
    {
    public:
        explicit Dropper(const MappedFile &file)
            : m_file(file)
        { }
        void Consumed(const u8 *end) override { m_file.DropBefore(size_t(end - m_file.Data())); }

    private:
        const MappedFile &m_file;
    };
    auto room = [sink](size_t n) { return SinkRoom(sink, n); };
    const bool inFile = file.IsValid() && source->Buffer() >= file.Data()
        && source->Buffer() + source->Remaining() <= file.Data() + file.Length();
    Dropper dropper(file);
    size_t produced = 0;
    return DecodeBlock(source, room, &produced, inFile ? &dropper : nullptr)
        && sink->Commit(produced);
}

bool Lzma2DecodeBlockInto(SourceStream *source, u8 *dest, size_t capacity, size_t *produced)
{
    auto room = [dest, capacity](size_t n) -> u8 * { return n <= capacity ? dest : nullptr; };
    *produced = 0;
    return DecodeBlock(source, room, produced);
}

bool Lzma2DecodeBlockIntoRoom(SourceStream *source, SinkStream *sink, size_t *produced)
{
    u32 stated = 0;
    size_t room = 0;
    if (Lzma2PeekBlockSize(*source, &stated)) {
        room = Lzma2BlockRoom(stated, source->Remaining());
        const size_t spare = ~size_t(0) - sink->Length();
        const size_t reserved = room <= spare / 2 ? 2 * room : room;
        if (!sink->Reserve(sink->Length() + reserved)) {
            QP_LOG(LogLevel_ERROR) << "unable to allocate sink space";
            *produced = 0;
            return false;
        }
    }
    u8 *dest = sink->Buffer() ? sink->Buffer() + sink->Length() : nullptr;
    return Lzma2DecodeBlockInto(source, dest, room, produced);
}

bool Lzma2EncodeStream(SourceStream *source, SinkStream *sink)
{
    const std::size_t length = source->Remaining();
    if (!EncodeBlock(source->Buffer(), length, sink, 52))
        return false;
    return source->Skip(length);
}

bool Lzma2EncodeBuffer(const u8 *data, std::size_t length, SinkStream *sink)
{
    return EncodeBlock(data, length, sink, 63);
}

} // namespace quorpatch
