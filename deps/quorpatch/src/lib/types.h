#ifndef QUORPATCH_TYPES_H
#define QUORPATCH_TYPES_H

#include <cstdint>
#include <string>

namespace quorpatch {

typedef std::uint8_t u8;
typedef std::uint16_t u16;
typedef std::uint32_t u32;
typedef std::uint64_t u64;
typedef std::int32_t i32;
typedef std::int64_t i64;

// Results of the engine's entry points.
enum Status {
    STATUS_OK = 1,
    STATUS_GENERAL_ERROR = 2,
    STATUS_PATCH_FILE_ERROR = 3,
    STATUS_FILE_ERROR = 4,
    STATUS_BAD_MAGIC = 5,
    STATUS_BAD_VERSION = 6,
    STATUS_BAD_HEADER = 7,
    STATUS_CHECKSUM_MISMATCH = 8,
    STATUS_BAD_ELEMENT = 12,
    STATUS_STREAM_ERROR = 20,
    STATUS_STREAM_NOT_CONSUMED = 21,
    STATUS_READ_PROGRAM_FAILED = 23,
    STATUS_NOT_EXECUTABLE = 24,
    STATUS_DISASSEMBLY_FAILED = 25,
    STATUS_ASSEMBLY_FAILED = 26,
    STATUS_TRIM_FAILED = 28
};

enum ExecutableType {
    EXE_UNKNOWN = 0,
    WIN_32_X86 = 1,
    EXE_ELF_32_X86 = 2,
    ELF_32_ARM = 3,
    WIN_32_X64 = 4,
    ELF_64_X64 = 5,
    MACHO_X86 = 6,
    MACHO_X64 = 7
};

// Any value outside the known types is "UNKNOWN".
std::string ExecutableTypeName(int type);

} // namespace quorpatch

#endif // QUORPATCH_TYPES_H
