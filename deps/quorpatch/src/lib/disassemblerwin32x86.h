#ifndef QUORPATCH_DISASSEMBLERWIN32X86_H
#define QUORPATCH_DISASSEMBLERWIN32X86_H

#include "disassemblerwin32.h"

namespace quorpatch {

// PE32 images for x86.
class DisassemblerWin32X86 : public DisassemblerWin32
{
public:
    DisassemblerWin32X86(const void *start, size_t length);
    ~DisassemblerWin32X86() override;

    ExecutableType kind() const override { return WIN_32_X86; }
};

} // namespace quorpatch

#endif // QUORPATCH_DISASSEMBLERWIN32X86_H
