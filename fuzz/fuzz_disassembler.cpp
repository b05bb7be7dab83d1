// Detection and disassembly, then the program's way to an image and back.
#include "assemblyprogram.h"
#include "detection.h"
#include "encodedprogram.h"
#include "streams.h"

#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A copy of exactly the input's size, so that reading past it is caught.
    std::vector<uint8_t> buffer(data, data + size);
    quorpatch::ExecutableType type = quorpatch::EXE_UNKNOWN;
    size_t detected = 0;
    if (quorpatch::DetectExecutableType(buffer.data(), size, &type, &detected)
            == quorpatch::STATUS_OK
        && detected > size)
        abort();
    quorpatch::AssemblyProgram *program = nullptr;
    if (quorpatch::ParseDetectedExecutable(buffer.data(), size, &program) != quorpatch::STATUS_OK)
        return 0;
    quorpatch::EncodedProgram *encoded = nullptr;
    if (quorpatch::TrimLabels(program) == quorpatch::STATUS_OK
        && quorpatch::Encode(program, &encoded) == quorpatch::STATUS_OK) {
        quorpatch::SinkStream image;
        quorpatch::Assemble(encoded, &image);
        quorpatch::DeleteEncodedProgram(encoded);
    }
    quorpatch::DeleteAssemblyProgram(program);
    return 0;
}
