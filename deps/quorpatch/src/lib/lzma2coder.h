// Raw LZMA2 coding on liblzma: the chunk stream alone, with the dictionary property
// kept apart as a single byte (the engine's block format stores it itself).
#ifndef QUORPATCH_LZMA2CODER_H
#define QUORPATCH_LZMA2CODER_H

#include <cstddef>
#include <cstdint>

namespace quorpatch {
namespace lzma2 {

// Result codes numbered as the LZMA SDK numbers them: they show up in log texts and
// patches made elsewhere are judged by them.
enum Result {
    kOk = 0,
    kErrorData = 1,
    kErrorMem = 2,
    kErrorUnsupported = 4,
    kErrorParam = 5,
    kErrorInputEof = 6,
    kErrorWrite = 9,
};

// Highest valid dictionary property byte (40 stands for 0xFFFFFFFF).
constexpr uint8_t kMaxProperty = 40;

// Dictionary size a property byte stands for; 0 for an invalid byte.
uint32_t DictionarySizeOfProperty(uint8_t property);

// Smallest property byte whose dictionary holds dictionarySize bytes.
uint8_t PropertyOfDictionarySize(uint32_t dictionarySize);

// Dictionary the encoder announces; its property byte is 28.
constexpr uint32_t kEncoderDictionarySize = 64u << 20;

// Decodes one raw LZMA2 stream.
// In: *destLen is the room at dest, *srcLen the bytes available at src.
// Out: *destLen the bytes produced, *srcLen the bytes consumed up to and including the
// end marker. kOk with fewer bytes than room means the stream ended early; a stream
// holding more than the room is kErrorData; input ending before the end marker is
// kErrorInputEof.
// Told how far the decoder has read its input, piece by piece: every byte before end.
class InputProgress
{
public:
    virtual void Consumed(const uint8_t *end) = 0;

protected:
    ~InputProgress() = default;
};

int Decode(uint8_t *dest, size_t *destLen, const uint8_t *src, size_t *srcLen, uint8_t property,
           InputProgress *progress = nullptr);

// Receives the encoder's output piece by piece.
class Output
{
public:
    virtual bool Write(const uint8_t *data, size_t size) = 0;

protected:
    ~Output() = default;
};

// Encodes length bytes at data as one raw LZMA2 stream (chunks and end marker) at the
// strongest level, sending the bytes to out. Returns kOk or an error code; on an error,
// out may have received part of the stream.
int Encode(const uint8_t *data, size_t length, Output &out);

} // namespace lzma2
} // namespace quorpatch

#endif // QUORPATCH_LZMA2CODER_H
