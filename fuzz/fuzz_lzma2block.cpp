#include "lzmaioout.h"
#include "streams.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    quorpatch::SourceStream source(data, size);
    quorpatch::SinkStream sink;
    sink.Write("x", 1);
    const bool ok = quorpatch::Lzma2DecodeBlock(&source, &sink);
    // A failure must leave both untouched.
    if (!ok && (source.Position() != 0 || sink.Length() != 1))
        abort();
    return 0;
}
