#include "armbranch.h"

namespace quorpatch {

namespace {

inline uint32_t Bit(uint32_t value, int n)
{
    return (value >> n) & 1u;
}

// Bits m down to n of value, moved down to bit 0.
inline uint32_t Bits(uint32_t value, int m, int n)
{
    return (value >> n) & ((m - n == 31) ? 0xFFFFFFFFu : ((1u << (m - n + 1)) - 1u));
}

// Sign-extends value from bit `signBit` (all higher bits become copies of it).
inline uint32_t SignExtend(uint32_t value, int signBit)
{
    const uint32_t mask = 1u << signBit;
    value &= (mask << 1) - 1u;
    return (value ^ mask) - mask;
}

} // namespace

bool ArmBranchCompression::Compress(uint32_t kind, uint32_t instruction, uint32_t rva,
                                    uint16_t *compressedOp, uint32_t *offset)
{
    const uint32_t i = instruction;
    switch (kind) {
    case kThumbBcond:
        *offset = SignExtend(Bits(i, 7, 0) << 1, 8) + 4;
        *compressedOp = static_cast<uint16_t>((i >> 8) | 0x1000u);
        return true;
    case kThumbB:
        *offset = SignExtend(Bits(i, 10, 0) << 1, 11) + 4;
        *compressedOp = static_cast<uint16_t>((i >> 11) | 0x2000u);
        return true;
    case kArmB:
        *offset = SignExtend(Bits(i, 23, 0) << 2, 25) + 8;
        *compressedOp = static_cast<uint16_t>((i >> 24) | 0x3000u);
        return true;
    case kThumb2BL: {
        const uint32_t s = Bit(i, 26);
        const uint32_t i1 = ~(Bit(i, 13) ^ s) & 1u;
        const uint32_t i2 = ~(Bit(i, 11) ^ s) & 1u;
        const uint32_t value
            = (s << 24) | (i1 << 23) | (i2 << 22) | (Bits(i, 25, 16) << 12) | (Bits(i, 10, 0) << 1);
        // A BLX lands on a 4-byte boundary measured from the aligned PC.
        uint32_t d = 4;
        if (Bit(i, 14) == 1 && Bit(i, 12) == 0 && (rva & 3u) != 0)
            d = 2;
        *offset = SignExtend(value, 24) + d;
        *compressedOp = static_cast<uint16_t>(0x4000u | (d << 8) | (Bits(i, 31, 27) << 3)
                                              | (Bit(i, 15) << 2) | (Bit(i, 14) << 1) | Bit(i, 12));
        return true;
    }
    case kThumb2Bcond: {
        const uint32_t value = (Bit(i, 26) << 20) | (Bit(i, 13) << 19) | (Bit(i, 11) << 18)
            | (Bits(i, 21, 16) << 12) | (Bits(i, 10, 0) << 1);
        *offset = SignExtend(value, 20) + 4;
        *compressedOp = static_cast<uint16_t>(0x5000u | Bits(i, 25, 22));
        return true;
    }
    default:
        return false;
    }
}

bool ArmBranchCompression::Decompress(uint32_t kind, uint16_t compressedOp, uint32_t offset,
                                      uint32_t *instruction)
{
    const uint32_t c = compressedOp;
    const uint32_t a = offset;
    switch (kind) {
    case kThumbBcond:
        *instruction = (((a + 508u) >> 1) & 0xFFu) | ((c & 0xFFFu) << 8);
        return true;
    case kThumbB:
        *instruction = (((a + 4092u) >> 1) & 0x7FFu) | ((c & 0xFFFu) << 11);
        return true;
    case kArmB:
        *instruction = (((a + 0x3FFFFF8u) >> 2) & 0xFFFFFFu) | (c << 24);
        return true;
    case kThumb2BL: {
        const uint32_t v = a - ((c >> 8) & 0xFu);
        const uint32_t s = Bit(v, 24);
        *instruction = (Bits(v, 21, 12) << 16) | Bits(v, 11, 1) | (Bits(c, 7, 3) << 27)
            | (Bit(c, 2) << 15) | (Bit(c, 1) << 14) | (Bit(c, 0) << 12) | (s << 26)
            | ((~(Bit(v, 23) ^ s) & 1u) << 13) | ((~(Bit(v, 22) ^ s) & 1u) << 11);
        return true;
    }
    case kThumb2Bcond: {
        const uint32_t v = a + 0x1FFFFCu;
        *instruction = (Bits(v, 17, 12) << 16) | Bits(v, 11, 1) | (Bit(v, 19) << 13)
            | (Bit(v, 18) << 11) | (Bit(v, 20) << 26) | (Bits(c, 3, 0) << 22) | 0xF0008000u;
        return true;
    }
    default:
        return false;
    }
}

uint16_t ArmBranchCompression::OpSize(uint32_t kind)
{
    switch (kind) {
    case kThumbBcond:
    case kThumbB:
        return 2;
    case kArmB:
    case kThumb2BL:
    case kThumb2Bcond:
        return 4;
    default:
        return 0xFFFF;
    }
}

} // namespace quorpatch
