// Input: old length (2 bytes), old data, then the patch header with its payload uncompressed.
// The harness puts in the old data's checksum and compresses the payload, so that mutations
// reach past both instead of dying there.
#include "ensemblepatchapplier.h"
#include "fuzzinput.h"
#include "lzmaioout.h"

#include <cstdlib>

using namespace quorpatch;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in {data, size};
    size_t oldLength = 0;
    const uint8_t *old = in.Take(in.TakeU16(), &oldLength);
    SourceStream header(in.data, in.size);
    u32 magic = 0, version = 0, checksum = 0, target = 0, finalSize = 0;
    if (!header.ReadVarint32(&magic) || !header.ReadVarint32(&version)
        || !header.ReadVarint32(&checksum) || !header.ReadVarint32(&target)
        || !header.ReadVarint32(&finalSize))
        return 0;
    SinkStream patch;
    if (!patch.WriteVarint32(magic) || !patch.WriteVarint32(version)
        || !patch.WriteVarint32(CalculateCrc(old, oldLength)) || !patch.WriteVarint32(target)
        || !patch.WriteVarint32(finalSize)
        || !Lzma2EncodeBuffer(header.Buffer(), header.Remaining(), &patch))
        abort();

    SourceStream oldStream(old, oldLength);
    SourceStream patchStream(patch.Buffer(), patch.Length());
    SinkStream output;
    const Status status = ApplyEnsemblePatchStreams(&oldStream, &patchStream, &output);
    if (status != STATUS_OK && output.Length() != 0)
        abort();
    return 0;
}
