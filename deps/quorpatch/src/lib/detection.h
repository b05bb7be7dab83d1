#ifndef QUORPATCH_DETECTION_H
#define QUORPATCH_DETECTION_H

#include <cstddef>

#include "types.h"

namespace quorpatch {

class AssemblyProgram;
class Disassembler;

// The first disassembler, in the fixed candidate order, whose header check accepts the buffer
// (owned by the caller), or null when none does. The buffer must outlive it.
Disassembler *DetectDisassembler(const u8 *buffer, std::size_t length);

// STATUS_OK with the executable's type and the length its headers give it (never more than
// length), or STATUS_NOT_EXECUTABLE with type 0 and length 0.
Status DetectExecutableType(const u8 *buffer, std::size_t length, ExecutableType *type,
                            std::size_t *detectedLength);

// Disassembles the buffer into a new program owned by the caller. *program is null unless the
// result is STATUS_OK; the program points into the buffer, which must outlive it.
Status ParseDetectedExecutable(const u8 *buffer, std::size_t length, AssemblyProgram **program);

// Null is allowed.
void DeleteAssemblyProgram(AssemblyProgram *program);

} // namespace quorpatch

#endif // QUORPATCH_DETECTION_H
