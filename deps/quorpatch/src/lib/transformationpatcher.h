#ifndef QUORPATCH_TRANSFORMATIONPATCHER_H
#define QUORPATCH_TRANSFORMATIONPATCHER_H

#include "types.h"

namespace quorpatch {

class SinkStream;
class SinkStreamSet;
class SourceStream;
class SourceStreamSet;

// Turns one element of the old file into the form its sub-patches are made against, and the
// patched form back into bytes.
class TransformationPatcher
{
public:
    virtual ~TransformationPatcher() = default;

    // Reads the element's own parameters from the initial parameters stream.
    virtual Status Init(SourceStream *parameters) = 0;
    // Writes the parameters the element is expected to need.
    virtual Status PredictTransformParameters(SinkStreamSet *predicted) = 0;
    // Writes the transformed old element, using the corrected parameters.
    virtual Status Transform(SourceStreamSet *parameters, SinkStreamSet *transformed) = 0;
    // Appends the bytes of the patched element to output.
    virtual Status Reform(SourceStreamSet *transformed, SinkStream *output) = 0;
};

} // namespace quorpatch

#endif // QUORPATCH_TRANSFORMATIONPATCHER_H
