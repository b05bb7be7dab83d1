#include "lzma2coder.h"

#include <lzma.h>

#include <algorithm>

namespace quorpatch {
namespace lzma2 {

namespace {

// liblzma refuses dictionaries below this size.
constexpr uint32_t kMinDictionarySize = 4096;

// Input is taken in pieces of this size when the caller follows the decoder's progress.
constexpr size_t kDecodeInputPiece = size_t(1) << 22;

// Output is handed on in pieces of this size.
constexpr size_t kEncodeBufferSize = 1 << 15;

int MapResult(lzma_ret ret)
{
    switch (ret) {
    case LZMA_OK:
    case LZMA_STREAM_END:
        return kOk;
    case LZMA_MEM_ERROR:
        return kErrorMem;
    case LZMA_OPTIONS_ERROR:
        return kErrorUnsupported;
    case LZMA_BUF_ERROR:
        // The output always has room (see Decode), so no progress means the input ran out.
        return kErrorInputEof;
    case LZMA_PROG_ERROR:
        return kErrorParam;
    default:
        return kErrorData;
    }
}

struct StreamGuard
{
    lzma_stream stream = LZMA_STREAM_INIT;
    ~StreamGuard() { lzma_end(&stream); }
};

} // namespace

uint32_t DictionarySizeOfProperty(uint8_t property)
{
    if (property > kMaxProperty)
        return 0;
    if (property == kMaxProperty)
        return 0xFFFFFFFFu;
    return (2u | (property & 1u)) << (property / 2 + 11);
}

uint8_t PropertyOfDictionarySize(uint32_t dictionarySize)
{
    uint8_t p = 0;
    while (p < kMaxProperty && DictionarySizeOfProperty(p) < dictionarySize)
        ++p;
    return p;
}

int Decode(uint8_t *dest, size_t *destLen, const uint8_t *src, size_t *srcLen, uint8_t property,
           InputProgress *progress)
{
    const size_t room = *destLen;
    const size_t available = *srcLen;
    *destLen = 0;
    *srcLen = 0;

    const uint32_t announced = DictionarySizeOfProperty(property);
    if (announced == 0)
        return kErrorUnsupported;

    // liblzma allocates the whole dictionary up front, while a valid stream never reaches
    // back further than it has produced or than its encoder's dictionary: cap it by both.
    const uint64_t wanted = std::max<uint64_t>(kMinDictionarySize, room);
    lzma_options_lzma options {};
    options.dict_size = static_cast<uint32_t>(
        std::max<uint64_t>(kMinDictionarySize, std::min<uint64_t>(wanted, announced)));

    const lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    StreamGuard guard;
    lzma_stream &strm = guard.stream;
    lzma_ret ret = lzma_raw_decoder(&strm, filters);
    if (ret != LZMA_OK)
        return MapResult(ret);

    // With someone to tell, the input goes in pieces; the last one with the finish flag.
    const size_t piece = progress ? kDecodeInputPiece : available;
    size_t given = std::min(piece, available);
    strm.next_in = src;
    strm.avail_in = given;
    strm.next_out = dest;
    strm.avail_out = room;

    // liblzma stops once the output is full without reading on to the end marker. One
    // spare byte after the room lets it go on: the end marker then ends the stream, and
    // a byte landing in the spare means the stream holds more than the room.
    uint8_t spare = 0;
    bool usingSpare = false;
    int result = kOk;
    for (;;) {
        if (strm.avail_in == 0 && given < available) {
            progress->Consumed(src + given);
            strm.next_in = src + given;
            strm.avail_in = std::min(piece, available - given);
            given += strm.avail_in;
        }
        ret = lzma_code(&strm, given < available ? LZMA_RUN : LZMA_FINISH);
        if (usingSpare && strm.avail_out == 0) {
            result = kErrorData;
            break;
        }
        if (ret == LZMA_STREAM_END)
            break;
        if (ret != LZMA_OK) {
            result = MapResult(ret);
            break;
        }
        if (strm.avail_out == 0 && !usingSpare) {
            strm.next_out = &spare;
            strm.avail_out = 1;
            usingSpare = true;
        }
    }

    if (result != kOk)
        return result;
    *destLen = usingSpare ? room : room - strm.avail_out;
    *srcLen = static_cast<size_t>(strm.total_in);
    return kOk;
}

int Encode(const uint8_t *data, size_t length, Output &out)
{
    lzma_options_lzma options;
    if (lzma_lzma_preset(&options, 9))
        return kErrorParam;
    // The block announces the full level-9 dictionary, but a dictionary larger than the
    // input gains nothing and costs a match finder sized for 64 MiB.
    options.dict_size = static_cast<uint32_t>(
        std::max<uint64_t>(kMinDictionarySize, std::min<uint64_t>(length, kEncoderDictionarySize)));

    const lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    StreamGuard guard;
    lzma_stream &strm = guard.stream;
    lzma_ret ret = lzma_raw_encoder(&strm, filters);
    if (ret != LZMA_OK)
        return MapResult(ret);

    uint8_t buffer[kEncodeBufferSize];
    strm.next_in = data;
    strm.avail_in = length;
    for (;;) {
        strm.next_out = buffer;
        strm.avail_out = sizeof(buffer);
        ret = lzma_code(&strm, LZMA_FINISH);
        if (ret != LZMA_OK && ret != LZMA_STREAM_END)
            return MapResult(ret);
        const size_t produced = sizeof(buffer) - strm.avail_out;
        if (produced != 0 && !out.Write(buffer, produced))
            return kErrorWrite;
        if (ret == LZMA_STREAM_END)
            return kOk;
    }
}

} // namespace lzma2
} // namespace quorpatch
