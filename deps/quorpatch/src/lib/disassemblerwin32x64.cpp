#include "disassemblerwin32x64.h"

namespace quorpatch {

namespace {
const uint16_t IMAGE_REL_BASED_DIR64 = 10;
}

DisassemblerWin32X64::DisassemblerWin32X64(const void *start, size_t length)
    : DisassemblerWin32(start, length, true, IMAGE_REL_BASED_DIR64)
{ }

DisassemblerWin32X64::~DisassemblerWin32X64() = default;

} // namespace quorpatch
