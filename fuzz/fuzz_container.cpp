// The container reader works on files: the input goes through a private temporary file.
#include "lzma2container.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

static std::string g_dir;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (g_dir.empty()) {
        char pattern[] = "/tmp/qvxfuzzXXXXXX";
        if (!mkdtemp(pattern))
            abort();
        g_dir = pattern;
    }
    const std::string in = g_dir + "/in", out = g_dir + "/out";
    FILE *file = fopen(in.c_str(), "wb");
    if (!file || fwrite(data, 1, size, file) != size || fclose(file) != 0)
        abort();
    quorpatch::DecompressFile(in.c_str(), out.c_str());
    unlink(out.c_str());
    return 0;
}
