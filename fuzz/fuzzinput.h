// Splits a fuzzer input into a small control part and the rest.
#ifndef QVX_FUZZINPUT_H
#define QVX_FUZZINPUT_H

#include <cstddef>
#include <cstdint>

#include "streams.h"

struct FuzzInput
{
    const uint8_t *data;
    size_t size;

    uint8_t TakeByte()
    {
        if (!size)
            return 0;
        --size;
        return *data++;
    }
    uint16_t TakeU16() { return uint16_t(TakeByte() | (TakeByte() << 8)); }
    // The first length bytes (fewer when the input is shorter); the input moves past them.
    const uint8_t *Take(size_t length, size_t *taken)
    {
        *taken = length < size ? length : size;
        const uint8_t *start = data;
        data += *taken;
        size -= *taken;
        return start;
    }
};

// Parses a stream set whose stated lengths may not add up: they are fitted to the bytes
// there are, so that a mutation of a stream's content keeps the set readable. The fitted
// form is written to storage, which the set points into.
inline bool ParseFittedSet(const uint8_t *data, size_t size, quorpatch::SinkStream *storage,
                           quorpatch::SourceStreamSet *set)
{
    quorpatch::SourceStream in(data, size);
    quorpatch::u32 magic = 0, count = 0, lengths[quorpatch::kMaxStreams];
    if (!in.ReadVarint32(&magic) || !in.ReadVarint32(&count) || count > quorpatch::kMaxStreams)
        return false;
    for (quorpatch::u32 i = 0; i < count; ++i) {
        if (!in.ReadVarint32(&lengths[i]))
            return false;
    }
    size_t left = in.Remaining();
    for (quorpatch::u32 i = 0; i < count; ++i) {
        if (lengths[i] > left || i + 1 == count)
            lengths[i] = quorpatch::u32(left);
        left -= lengths[i];
    }
    if (!storage->WriteVarint32(magic) || !storage->WriteVarint32(count))
        return false;
    for (quorpatch::u32 i = 0; i < count; ++i) {
        if (!storage->WriteVarint32(lengths[i]))
            return false;
    }
    return storage->Write(in.Buffer(), in.Remaining())
        && set->Parse(storage->Buffer(), storage->Length());
}

#endif // QVX_FUZZINPUT_H
