#include "encodedprogram.h"
#include "streams.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    quorpatch::SourceStreamSet set;
    if (!set.Parse(data, size))
        return 0;
    quorpatch::EncodedProgram *program = nullptr;
    if (quorpatch::ReadEncodedProgram(&set, &program) != quorpatch::STATUS_OK) {
        if (program)
            abort();
        return 0;
    }
    quorpatch::SinkStream output;
    quorpatch::Assemble(program, &output);
    quorpatch::DeleteEncodedProgram(program);
    return 0;
}
