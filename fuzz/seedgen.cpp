// Writes starting corpora for the harnesses from the test fixtures.
// Usage: seedgen FIXTURE_DIR CORPUS_DIR (one subfolder per harness is created).
#include "ensemblepatchwriter.h"

#include "assemblyprogram.h"
#include "detection.h"
#include "encodedprogram.h"
#include "lzma2container.h"
#include "lzmaioout.h"
#include "qvdiff.h"
#include "streams.h"

#include <cstdio>
#include <string>
#include <sys/stat.h>

using namespace quorpatch;
using qvxtest::Bytes;

static std::string g_root;

static void Put(const std::string &target, const std::string &name, const Bytes &data)
{
    const std::string dir = g_root + "/" + target;
    mkdir(dir.c_str(), 0755);
    FILE *file = fopen((dir + "/" + name).c_str(), "wb");
    if (!file)
        return;
    fwrite(data.data(), 1, data.size(), file);
    fclose(file);
}

static Bytes WithOld(const Bytes &prefix, const Bytes &old, const Bytes &rest)
{
    Bytes out = prefix;
    const size_t length = old.size() > 0xFFFF ? 0xFFFF : old.size();
    out.push_back(u8(length));
    out.push_back(u8(length >> 8));
    out.insert(out.end(), old.begin(), old.begin() + length);
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
}

static Bytes Program(const Bytes &file)
{
    AssemblyProgram *program = nullptr;
    if (ParseDetectedExecutable(file.data(), file.size(), &program) != STATUS_OK)
        return Bytes();
    EncodedProgram *encoded = nullptr;
    SinkStreamSet set;
    SinkStream sink;
    bool ok = TrimLabels(program) == STATUS_OK && Encode(program, &encoded) == STATUS_OK
        && WriteEncodedProgram(encoded, &set) == STATUS_OK && set.SerializeTo(&sink);
    DeleteAssemblyProgram(program);
    DeleteEncodedProgram(encoded);
    return ok ? Bytes(sink.Buffer(), sink.Buffer() + sink.Length()) : Bytes();
}

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    const std::string fixtures = argv[1];
    g_root = argv[2];
    mkdir(g_root.c_str(), 0755);
    const char *names[] = {"elf32_arm_bare",   "elf32_arm_pie_v1", "elf32_x86_bare",
                           "elf32_x86_pie_v1", "elf64_x64_bare",   "elf64_x64_pie_v1",
                           "macho_x64_bare",   "pe32_x86_v1.exe",  "pe64_x64_v1.exe"};
    for (const char *name : names) {
        const Bytes file = qvxtest::ReadFileBytes(fixtures + "/" + name);
        Put("disassembler", name, file);
        const Bytes program = Program(file);
        Put("encodedprogram", name, program);
        Put("streamset", name, program);
        // A second build of the same program where there is one.
        std::string other = std::string(name);
        const size_t v1 = other.find("_v1");
        other = v1 == std::string::npos ? other : other.replace(v1, 3, "_v2");
        const Bytes newFile = qvxtest::ReadFileBytes(fixtures + "/" + other);
        // The ensemble harness takes the payload uncompressed.
        qvxtest::EnsemblePatchParts parts;
        if (qvxtest::MakeEnsemblePatchParts(file, newFile,
                                            qvxtest::FindEnsembleElements(file, newFile), &parts)) {
            Bytes patch = qvxtest::EnsemblePatchHeader(parts);
            const Bytes payload = qvxtest::SerializePayloadSet(parts.streams);
            patch.insert(patch.end(), payload.begin(), payload.end());
            Put("ensemble", name, WithOld(Bytes(), file, patch));
        }

        // Diffs of every method between the first 4 KiB of both, with and without header.
        const Bytes oldPart(file.begin(), file.begin() + std::min<size_t>(4096, file.size()));
        const Bytes newPart(newFile.begin(),
                            newFile.begin() + std::min<size_t>(4096, newFile.size()));
        for (int method = 0; method <= 2; ++method) {
            for (int header = 0; header <= 1; ++header) {
                SourceStream oldStream(oldPart.data(), oldPart.size());
                SourceStream newStream(newPart.data(), newPart.size());
                SinkStream diff;
                if (!GenerateBinaryPatch(&oldStream, &newStream, &diff, header, method))
                    continue;
                Put("binarypatch", std::string(name) + "." + std::to_string(method * 2 + header),
                    WithOld(Bytes(1, u8(header)), oldPart,
                            Bytes(diff.Buffer(), diff.Buffer() + diff.Length())));
            }
        }
        Put("lzma2block", name, qvxtest::Lzma2Block(oldPart));

        const std::string out = g_root + "/container.tmp";
        for (int preprocess = 0; preprocess <= 1; ++preprocess) {
            if (CompressFile((fixtures + "/" + name).c_str(), out.c_str(), preprocess))
                Put("container", std::string(name) + "." + std::to_string(preprocess),
                    qvxtest::ReadFileBytes(out));
        }
        remove(out.c_str());
    }
    return 0;
}
