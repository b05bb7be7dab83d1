// Input: flags byte (bit 0: header), old length (2 bytes), old data, then the diff.
#include "fuzzinput.h"
#include "qvdiff.h"
#include "streams.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in {data, size};
    const bool header = in.TakeByte() & 1;
    size_t oldLength = 0;
    const uint8_t *old = in.Take(in.TakeU16(), &oldLength);
    quorpatch::SourceStream oldStream(old, oldLength);
    quorpatch::SourceStream patch(in.data, in.size);
    quorpatch::SinkStream output;
    quorpatch::ApplyBinaryPatch(&oldStream, &patch, &output, header);
    return 0;
}
