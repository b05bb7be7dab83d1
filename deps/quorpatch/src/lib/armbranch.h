#ifndef QUORPATCH_ARMBRANCH_H
#define QUORPATCH_ARMBRANCH_H

#include <cstdint>

// ARM and Thumb branch compression.
//
// Compress and Decompress are the static operations of DisassemblerElf32ARM. They need no
// disassembler state and the encoded program uses them as well, so they live in this small base:
// DisassemblerElf32ARM derives (publicly) from ArmBranchCompression, which makes
// DisassemblerElf32ARM::Compress, ::Decompress and ::OpSize name exactly these functions, and the
// encoded program calls them without pulling in the disassembler.
//
// Branch kinds: 0 Thumb B<c> (16 bits), 1 Thumb B (16 bits), 2 ARM B/BL (32 bits), 3 Thumb-2
// BL/BLX/B.W, 4 Thumb-2 B<c>.W. For kinds 3 and 4 the instruction value holds the first halfword in
// bits 16 to 31 and the second in bits 0 to 15. The compressed op keeps kind + 1 in bits 12 to 15.
// Both tables are part of the patch format.

namespace quorpatch {

struct ArmBranchCompression
{
    enum : uint32_t {
        kThumbBcond = 0, // Thumb B<c>, 16 bits
        kThumbB = 1, // Thumb B, 16 bits
        kArmB = 2, // ARM B/BL, 32 bits
        kThumb2BL = 3, // Thumb-2 BL/BLX/B.W
        kThumb2Bcond = 4, // Thumb-2 B<c>.W
    };

    // Splits a branch at `rva` into its compressed op and the offset to its target
    // (target = rva + offset, mod 2^32). False for a kind above 4.
    static bool Compress(uint32_t kind, uint32_t instruction, uint32_t rva, uint16_t *compressedOp,
                         uint32_t *offset);

    // Rebuilds the branch from its compressed op and target offset. False for a kind above 4.
    static bool Decompress(uint32_t kind, uint16_t compressedOp, uint32_t offset,
                           uint32_t *instruction);

    // Bytes a branch of the kind covers: 2, 2, 4, 4, 4; 65535 for any other kind.
    static uint16_t OpSize(uint32_t kind);
};

} // namespace quorpatch

#endif // QUORPATCH_ARMBRANCH_H
