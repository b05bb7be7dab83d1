#include "detection.h"

#include <memory>

#include "assemblyprogram.h"
#include "disassembler.h"
#include "disassemblerelf32arm.h"
#include "disassemblerelf32x86.h"
#include "disassemblerelf64x64.h"
#include "disassemblermacho.h"
#include "disassemblerwin32x64.h"
#include "disassemblerwin32x86.h"

namespace quorpatch {

namespace {

typedef Disassembler *(*MakeDisassembler)(const u8 *buffer, std::size_t length);

template<typename T> Disassembler *make(const u8 *buffer, std::size_t length)
{
    return new T(buffer, length);
}

// The order decides which disassembler takes an image that several would accept, so it is
// part of the patch format and must never change.
const MakeDisassembler kCandidates[] = {
    &make<DisassemblerWin32X86>, &make<DisassemblerWin32X64>, &make<DisassemblerElf32X86>,
    &make<DisassemblerElf64X64>, &make<DisassemblerElf32ARM>, &make<DisassemblerMacho>,
};

} // namespace

Disassembler *DetectDisassembler(const u8 *buffer, std::size_t length)
{
    for (MakeDisassembler makeCandidate : kCandidates) {
        std::unique_ptr<Disassembler> candidate(makeCandidate(buffer, length));
        if (candidate->ParseHeader())
            return candidate.release();
    }
    return nullptr;
}

Status DetectExecutableType(const u8 *buffer, std::size_t length, ExecutableType *type,
                            std::size_t *detectedLength)
{
    *type = EXE_UNKNOWN;
    *detectedLength = 0;
    std::unique_ptr<Disassembler> disassembler(DetectDisassembler(buffer, length));
    if (!disassembler)
        return STATUS_NOT_EXECUTABLE;
    *type = disassembler->kind();
    *detectedLength = disassembler->length();
    return STATUS_OK;
}

Status ParseDetectedExecutable(const u8 *buffer, std::size_t length, AssemblyProgram **program)
{
    *program = nullptr;
    std::unique_ptr<Disassembler> disassembler(DetectDisassembler(buffer, length));
    if (!disassembler)
        return STATUS_NOT_EXECUTABLE;
    std::unique_ptr<AssemblyProgram> result(new AssemblyProgram(disassembler->kind()));
    if (!disassembler->Disassemble(result.get()))
        return STATUS_DISASSEMBLY_FAILED;
    *program = result.release();
    return STATUS_OK;
}

void DeleteAssemblyProgram(AssemblyProgram *program)
{
    delete program;
}

} // namespace quorpatch
