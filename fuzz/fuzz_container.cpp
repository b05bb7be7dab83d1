// Input: a mode byte, then with an even mode a container file, with an odd one the
// uncompressed payload of a programs-and-diff container (which compression hides otherwise).
#include "fuzzinput.h"
#include "lzma2container.h"
#include "preprocessedcontainer.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

static std::string g_dir;

static void RemoveDir()
{
    unlink((g_dir + "/in").c_str());
    rmdir(g_dir.c_str());
}

// The folder is made before any input runs: one that cannot be made is no fault of an input,
// and fuzz/run tells it by this exit code.
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // A run that is stopped skips atexit: fuzz/run points TMPDIR at a folder it removes.
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qvxfuzzXXXXXX";
    if (!mkdtemp(&pattern[0])) {
        const int error = errno;
        std::fprintf(stderr, "fuzz_container: cannot make a folder in '%s': %s\n",
                     tmp && *tmp ? tmp : "/tmp", std::strerror(error));
        std::exit(3);
    }
    g_dir = pattern;
    atexit(RemoveDir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in {data, size};
    if (in.TakeByte() & 1) {
        quorpatch::SinkStream storage, output;
        quorpatch::SourceStreamSet set;
        if (ParseFittedSet(in.data, in.size, &storage, &set))
            quorpatch::RestorePreprocessed(&set, &output);
        return 0;
    }
    // The reader works on files only.
    const std::string input = g_dir + "/in", output = g_dir + "/out";
    FILE *file = fopen(input.c_str(), "wb");
    if (!file || fwrite(in.data, 1, in.size, file) != in.size || fclose(file) != 0)
        abort();
    quorpatch::DecompressFile(input.c_str(), output.c_str());
    unlink(output.c_str());
    return 0;
}
