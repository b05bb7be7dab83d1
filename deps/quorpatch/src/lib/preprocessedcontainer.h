#ifndef QUORPATCH_PREPROCESSEDCONTAINER_H
#define QUORPATCH_PREPROCESSEDCONTAINER_H

#include <cstddef>
#include <vector>

#include "lzma2container.h"
#include "streams.h"
#include "types.h"

namespace quorpatch {

// The executables of a file: the slices of a fat Mach-O file that are executables, or else
// the whole file. STATUS_OK with at least one element, STATUS_NOT_EXECUTABLE when there is
// none, or the failing status of the detection.
Status FindContainerElements(const u8 *data, std::size_t length,
                             std::vector<ElementRange> *elements);

enum PreprocessResult {
    kPreprocessWritten, // out holds the programs-and-diff container
    kPreprocessPlain, // out is empty: the file is to be stored plain
    kPreprocessFailed // detecting the executables failed
};

// Appends a programs-and-diff container of the data to out when the data holds executables.
// When it holds none, or when building the programs fails (logged, with the fallback), out is
// left empty for the plain form.
PreprocessResult CompressPreprocessed(const u8 *data, std::size_t length, SinkStream *out,
                                      u32 checksum);

// Restores a file from the parsed payload of a programs-and-diff container (at least two
// streams: one per encoded program, then the diff) into output. Failures are logged.
bool RestorePreprocessed(SourceStreamSet *set, SinkStream *output);

} // namespace quorpatch

#endif // QUORPATCH_PREPROCESSEDCONTAINER_H
