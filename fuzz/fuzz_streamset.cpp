#include "streams.h"

#include <cstdlib>

static void Walk(quorpatch::SourceStreamSet *set, int depth)
{
    for (size_t i = 0; i < set->count(); ++i) {
        quorpatch::SourceStream *stream = set->stream(i);
        if (!stream)
            abort();
        volatile uint8_t sink = 0;
        for (size_t j = 0; j < stream->Remaining(); ++j)
            sink ^= stream->Buffer()[j];
    }
    set->AllConsumed();
    if (depth < 4) {
        quorpatch::SourceStreamSet inner;
        while (set->ReadNestedSet(&inner))
            Walk(&inner, depth + 1);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    quorpatch::SourceStreamSet set;
    if (set.Parse(data, size))
        Walk(&set, 0);
    return 0;
}
