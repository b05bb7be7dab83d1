#ifndef QUORPATCH_DISASSEMBLERWIN32X64_H
#define QUORPATCH_DISASSEMBLERWIN32X64_H

#include "disassemblerwin32.h"

namespace quorpatch {

// PE32+ images for x86-64.
class DisassemblerWin32X64 : public DisassemblerWin32
{
public:
    DisassemblerWin32X64(const void *start, size_t length);
    ~DisassemblerWin32X64() override;

    ExecutableType kind() const override { return WIN_32_X64; }
};

} // namespace quorpatch

#endif // QUORPATCH_DISASSEMBLERWIN32X64_H
