// Splits a fuzzer input into a small control part and the rest.
#ifndef QVX_FUZZINPUT_H
#define QVX_FUZZINPUT_H

#include <cstddef>
#include <cstdint>

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

#endif // QVX_FUZZINPUT_H
