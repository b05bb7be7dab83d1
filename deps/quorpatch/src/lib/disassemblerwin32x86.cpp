#include "disassemblerwin32x86.h"

namespace quorpatch {

namespace {
const uint16_t IMAGE_REL_BASED_HIGHLOW = 3;
}

DisassemblerWin32X86::DisassemblerWin32X86(const void *start, size_t length)
    : DisassemblerWin32(start, length, false, IMAGE_REL_BASED_HIGHLOW)
{ }

DisassemblerWin32X86::~DisassemblerWin32X86() = default;

} // namespace quorpatch
