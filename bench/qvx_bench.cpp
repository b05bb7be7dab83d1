// Benchmark: QVDIFF10 creation and application against bsdiff/bspatch, the LZMA2 container
// against xz and (through the updater's benchmark program) file hashing against sha512sum, on
// generated data and on the system's shared libraries. Every operation runs in its own child
// process so that its wall time and peak memory are measured the same way for our code and for
// the other tools; the two sides take turns, and the fastest of the rounds counts.
//
//   qvx_bench [--size MiB]... [--work DIR] [--repeat N] [--updater PROGRAM] [--ours PROGRAM]
//             [--keep]
//   qvx_bench make-data MiB generated|libraries OLD NEW
//
// Without --size it measures 32 and 128 MiB. --ours runs the children of another build of this
// program (say, an older one) to compare builds; make-data writes one case's files.
//
// The subcommands below (diff, apply, compress, decompress) are what the children run.

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "lzmaioout.h"
#include "mappedfile.h"
#include "qvdiff.h"
#include "streams.h"

#if __has_include("lzma2container.h")
#include "lzma2container.h"
#define QVX_BENCH_HAVE_CONTAINER 1
#else
#define QVX_BENCH_HAVE_CONTAINER 0
#endif

namespace {

using Bytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------------------------------------
// Files

bool readFile(const std::string &path, Bytes *out)
{
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return false;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return false;
    }
    out->resize(std::size_t(st.st_size));
    std::size_t done = 0;
    while (done < out->size()) {
        const ssize_t got = read(fd, out->data() + done, out->size() - done);
        if (got <= 0) {
            close(fd);
            return false;
        }
        done += std::size_t(got);
    }
    close(fd);
    return true;
}

bool writeFile(const std::string &path, const std::uint8_t *data, std::size_t length)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    std::size_t done = 0;
    while (done < length) {
        const ssize_t put = write(fd, data + done, length - done);
        if (put <= 0) {
            close(fd);
            return false;
        }
        done += std::size_t(put);
    }
    return close(fd) == 0;
}

long long fileSize(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (long long)st.st_size : -1;
}

bool sameFiles(const std::string &a, const std::string &b)
{
    Bytes x;
    Bytes y;
    return readFile(a, &x) && readFile(b, &y) && x == y;
}

// ---------------------------------------------------------------------------------------------
// Subcommands (run in the children)

// Inputs are mapped, as the engine's own file entry points map them.
int commandDiff(const std::string &oldPath, const std::string &newPath, const std::string &out,
                int method, bool compress)
{
    quorpatch::MappedFile oldFile(oldPath.c_str());
    quorpatch::MappedFile newFile(newPath.c_str());
    if (!oldFile.IsValid() || !newFile.IsValid())
        return 2;
    quorpatch::SourceStream oldStream(oldFile.Data(), oldFile.Length());
    quorpatch::SourceStream newStream(newFile.Data(), newFile.Length());
    quorpatch::SinkStream patch;
    if (!quorpatch::GenerateBinaryPatch(&oldStream, &newStream, &patch, false, method))
        return 3;
    if (!compress)
        return writeFile(out, patch.Buffer(), patch.Length()) ? 0 : 4;
    quorpatch::SinkStream packed;
    if (!quorpatch::Lzma2EncodeBuffer(patch.Buffer(), patch.Length(), &packed))
        return 5;
    return writeFile(out, packed.Buffer(), packed.Length()) ? 0 : 4;
}

int commandApply(const std::string &oldPath, const std::string &patchPath, const std::string &out,
                 bool compressed)
{
    quorpatch::MappedFile oldFile(oldPath.c_str());
    quorpatch::MappedFile patchFile(patchPath.c_str());
    if (!oldFile.IsValid() || !patchFile.IsValid())
        return 2;
    quorpatch::SourceStream oldStream(oldFile.Data(), oldFile.Length());
    quorpatch::SourceStream patchStream(patchFile.Data(), patchFile.Length());
    quorpatch::SinkStream result;
    if (compressed) {
        // As the updater decodes a payload: into the result's room, where the result is then
        // built over it.
        std::size_t length = 0;
        if (!quorpatch::Lzma2DecodeBlockIntoRoom(&patchStream, &result, &length))
            return 5;
        patchStream.Init(result.Buffer(), length);
    }
    if (!quorpatch::ApplyBinaryPatch(&oldStream, &patchStream, &result, false))
        return 3;
    return quorpatch::WriteFileBytes(out.c_str(), result.Buffer(), result.Length())
            == result.Length()
        ? 0
        : 4;
}

// ---------------------------------------------------------------------------------------------
// Generated data: an "old" file of code-like, text, table and noise segments, and a "new" one
// made from it by a moved block, insertions, deletions and scattered small edits.

class Rng
{
public:
    explicit Rng(std::uint64_t seed)
        : m_state(seed * 0x9E3779B97F4A7C15ull + 1)
    { }
    std::uint64_t next()
    {
        m_state ^= m_state >> 12;
        m_state ^= m_state << 25;
        m_state ^= m_state >> 27;
        return m_state * 0x2545F4914F6CDD1Dull;
    }
    std::size_t below(std::size_t n) { return std::size_t(next() % n); }
    double unit() { return double(next() >> 11) / double(1ull << 53); }

private:
    std::uint64_t m_state;
};

// Skews a uniform pick towards the front of a table (a few entries are common).
double cube(double x)
{
    return x * x * x;
}

class ContentMaker
{
public:
    explicit ContentMaker(Rng *rng)
        : m_rng(rng)
    {
        for (int i = 0; i < 96; ++i) {
            Bytes op(1 + m_rng->below(6));
            for (std::uint8_t &b : op)
                b = std::uint8_t(m_rng->next());
            m_ops.push_back(op);
        }
        for (int i = 0; i < 4096; ++i)
            m_targets.push_back(std::uint32_t(0x400000 + m_rng->below(0x800000)));
        for (int i = 0; i < 3000; ++i) {
            std::string word(2 + m_rng->below(9), 'a');
            for (char &c : word)
                c = char('a' + m_rng->below(26));
            m_words.push_back(word);
        }
    }

    void append(Bytes *out, std::size_t length)
    {
        const std::size_t end = out->size() + length;
        while (out->size() < end) {
            const std::size_t segment = std::min(end - out->size(), 65536 + m_rng->below(458752));
            const std::size_t kind = m_rng->below(100);
            if (kind < 40)
                code(out, segment);
            else if (kind < 65)
                text(out, segment);
            else if (kind < 85)
                table(out, segment);
            else
                noise(out, segment);
        }
        out->resize(end);
    }

private:
    // Opcodes from a small set, often followed by a 32-bit target from a shared table.
    void code(Bytes *out, std::size_t length)
    {
        const std::size_t end = out->size() + length;
        while (out->size() < end) {
            const Bytes &op = m_ops[std::size_t(double(m_ops.size()) * cube(m_rng->unit()))];
            out->insert(out->end(), op.begin(), op.end());
            if (m_rng->below(10) < 3) {
                const std::uint32_t t = m_targets[m_rng->below(m_targets.size())];
                for (int k = 0; k < 4; ++k)
                    out->push_back(std::uint8_t(t >> (8 * k)));
            }
        }
        out->resize(end);
    }

    void text(Bytes *out, std::size_t length)
    {
        const std::size_t end = out->size() + length;
        std::size_t column = 0;
        while (out->size() < end) {
            const std::string &w
                = m_words[std::size_t(double(m_words.size()) * cube(m_rng->unit()))];
            out->insert(out->end(), w.begin(), w.end());
            column += w.size() + 1;
            if (column > 70) {
                out->push_back('\n');
                column = 0;
            } else {
                out->push_back(' ');
            }
        }
        out->resize(end);
    }

    void table(Bytes *out, std::size_t length)
    {
        const std::size_t end = out->size() + length;
        std::uint32_t counter = std::uint32_t(m_rng->next());
        while (out->size() < end) {
            std::uint8_t record[16];
            const std::uint16_t small = std::uint16_t(m_rng->below(1000));
            const std::uint16_t type = std::uint16_t(m_rng->below(8));
            const std::uint64_t offset = std::uint64_t(counter) * 8 + 0x10000;
            std::memcpy(record, &counter, 4);
            std::memcpy(record + 4, &small, 2);
            std::memcpy(record + 6, &type, 2);
            std::memcpy(record + 8, &offset, 8);
            out->insert(out->end(), record, record + 16);
            ++counter;
        }
        out->resize(end);
    }

    void noise(Bytes *out, std::size_t length)
    {
        for (std::size_t i = 0; i < length; ++i)
            out->push_back(std::uint8_t(m_rng->next() >> 24));
    }

    Rng *m_rng;
    std::vector<Bytes> m_ops;
    std::vector<std::uint32_t> m_targets;
    std::vector<std::string> m_words;
};

// The block that deriveNew moves: 2 MiB, an eighth of a smaller input.
std::size_t movedBlockLength(std::size_t size)
{
    return std::min<std::size_t>(2 << 20, size / 8);
}

// A length in the largest unit that holds it whole: "2 MiB", "128 KiB", "1000 bytes".
std::string lengthText(std::size_t bytes)
{
    if (bytes != 0 && bytes % (1 << 20) == 0)
        return std::to_string(bytes >> 20) + " MiB";
    if (bytes != 0 && bytes % (1 << 10) == 0)
        return std::to_string(bytes >> 10) + " KiB";
    return std::to_string(bytes) + " bytes";
}

// A new version of oldData: a moved block, insertions and deletions at random places and
// scattered small edits.
void deriveNew(const Bytes &oldData, Rng *rng, ContentMaker *maker, Bytes *newData)
{
    const std::size_t size = oldData.size();
    // Moved block: from a fifth of the way to seven tenths.
    const std::size_t blockStart = size / 5;
    const std::size_t blockLength = movedBlockLength(size);
    const std::size_t target = size * 7 / 10;
    Bytes moved;
    moved.reserve(size + (4 << 20));
    moved.insert(moved.end(), oldData.begin(), oldData.begin() + long(blockStart));
    moved.insert(moved.end(), oldData.begin() + long(blockStart + blockLength),
                 oldData.begin() + long(target));
    moved.insert(moved.end(), oldData.begin() + long(blockStart),
                 oldData.begin() + long(blockStart + blockLength));
    moved.insert(moved.end(), oldData.begin() + long(target), oldData.end());

    // Insertions and deletions at sorted random places, applied in one pass.
    struct Change
    {
        std::size_t at;
        long length; // > 0 insert this many new bytes, < 0 delete
    };
    std::vector<Change> changes;
    for (int i = 0; i < 120; ++i)
        changes.push_back({rng->below(moved.size()), long(64 + rng->below(16384))});
    for (int i = 0; i < 60; ++i)
        changes.push_back({rng->below(moved.size()), -long(64 + rng->below(8192))});
    std::sort(changes.begin(), changes.end(),
              [](const Change &a, const Change &b) { return a.at < b.at; });
    newData->clear();
    newData->reserve(moved.size() + (4 << 20));
    std::size_t from = 0;
    for (const Change &c : changes) {
        if (c.at < from)
            continue;
        newData->insert(newData->end(), moved.begin() + long(from), moved.begin() + long(c.at));
        from = c.at;
        if (c.length > 0)
            maker->append(newData, std::size_t(c.length));
        else
            from = std::min(moved.size(), from + std::size_t(-c.length));
    }
    newData->insert(newData->end(), moved.begin() + long(from), moved.end());

    // Scattered small edits, about one every 24 KiB.
    for (std::size_t at = rng->below(49152); at < newData->size(); at += 1 + rng->below(49152)) {
        const std::size_t n = 1 + rng->below(8);
        for (std::size_t k = 0; k < n && at + k < newData->size(); ++k)
            (*newData)[at + k] = std::uint8_t(rng->next());
    }
}

void makeData(std::size_t size, Bytes *oldData, Bytes *newData)
{
    Rng rng(20260101);
    ContentMaker maker(&rng);
    oldData->clear();
    oldData->reserve(size);
    maker.append(oldData, size);
    deriveNew(*oldData, &rng, &maker, newData);
}

// Real executable code: the system's shared libraries, concatenated in name order up to size
// bytes, changed as the generated data is. False when there are too few of them.
bool makeLibraryData(std::size_t size, Bytes *oldData, Bytes *newData, std::string *source)
{
    const char *const folders[] = {"/usr/lib/x86_64-linux-gnu", "/usr/lib64", "/usr/lib"};
    for (const char *folder : folders) {
        DIR *dir = opendir(folder);
        if (!dir)
            continue;
        std::vector<std::string> names;
        while (const dirent *entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.find(".so") != std::string::npos)
                names.push_back(name);
        }
        closedir(dir);
        std::sort(names.begin(), names.end());
        oldData->clear();
        oldData->reserve(size);
        for (const std::string &name : names) {
            const std::string path = std::string(folder) + "/" + name;
            struct stat st;
            Bytes file;
            if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !readFile(path, &file))
                continue;
            oldData->insert(oldData->end(), file.begin(),
                            file.begin() + long(std::min(file.size(), size - oldData->size())));
            if (oldData->size() == size)
                break;
        }
        if (oldData->size() == size) {
            Rng rng(20260202);
            ContentMaker maker(&rng);
            deriveNew(*oldData, &rng, &maker, newData);
            *source = folder;
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// Measurement

struct Measure
{
    bool ok = false;
    double seconds = 0;
    long peakKiB = 0;
};

std::string g_self;
std::string g_updater; // the updater's benchmark program, when it is built
int g_repeat = 3;

// The child being measured: a benchmark that is stopped stops it first, so that nothing writes
// into the work folder once the benchmark is gone.
volatile sig_atomic_t g_child = 0;

extern "C" void stopChild(int sig)
{
    const pid_t child = g_child;
    if (child > 0) {
        kill(child, SIGTERM);
        waitpid(child, nullptr, 0);
    }
    signal(sig, SIG_DFL);
    raise(sig);
}

void stopChildOnSignals()
{
    struct sigaction action;
    std::memset(&action, 0, sizeof(action));
    action.sa_handler = stopChild;
    sigemptyset(&action.sa_mask);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old;
        // A signal ignored on entry (the shell does that for background jobs) stays ignored.
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            sigaction(sig, &action, nullptr);
    }
}

// Runs one child once: wall time and peak resident memory.
Measure runOnce(const std::vector<std::string> &args, const std::string &stdoutPath)
{
    sigset_t stops;
    sigset_t before;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGHUP);
    // Until g_child names the child, a signal waits.
    sigprocmask(SIG_BLOCK, &stops, &before);
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    const pid_t pid = fork();
    if (pid == 0) {
        sigprocmask(SIG_SETMASK, &before, nullptr);
        if (!stdoutPath.empty()) {
            const int fd = open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0 || dup2(fd, 1) < 0)
                _exit(126);
            close(fd);
        }
        std::vector<char *> argv;
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    g_child = pid;
    sigprocmask(SIG_SETMASK, &before, nullptr);
    int status = 0;
    struct rusage usage;
    std::memset(&usage, 0, sizeof(usage));
    const bool waited = pid > 0 && wait4(pid, &status, 0, &usage) == pid;
    g_child = 0;
    if (!waited)
        return Measure();
    timespec end;
    clock_gettime(CLOCK_MONOTONIC, &end);
    Measure m;
    m.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    m.seconds = double(end.tv_sec - start.tv_sec) + double(end.tv_nsec - start.tv_nsec) / 1e9;
    m.peakKiB = usage.ru_maxrss;
    if (!m.ok)
        std::fprintf(stderr, "failed (status %d): %s %s ...\n", status, args[0].c_str(),
                     args.size() > 1 ? args[1].c_str() : "");
    return m;
}

// One program under test: its command line and its figures over the rounds (the fastest run,
// the largest peak).
struct Contender
{
    explicit Contender(std::vector<std::string> a, std::string out = "")
        : args(std::move(a))
        , stdoutPath(std::move(out))
    { }

    std::vector<std::string> args;
    std::string stdoutPath;
    Measure best;
    int runs = 0;

    void run()
    {
        const Measure m = runOnce(args, stdoutPath);
        if (!m.ok) {
            best.ok = false;
            runs = -1;
            return;
        }
        if (runs < 0)
            return;
        best.seconds = runs == 0 ? m.seconds : std::min(best.seconds, m.seconds);
        best.peakKiB = std::max(best.peakKiB, m.peakKiB);
        best.ok = true;
        ++runs;
    }
};

// Rounds in which every contender runs once, in the given order (theirs, ours, theirs, ...), so
// that a busy spell of the machine hits both sides alike.
void alternate(const std::vector<Contender *> &contenders, int rounds)
{
    for (int round = 0; round < rounds; ++round)
        for (Contender *c : contenders)
            c->run();
}

void printHeader(const char *title)
{
    std::printf("\n%s\n", title);
    std::printf("  %-34s %9s %12s %9s | %9s %12s %9s | %6s %6s %6s\n", "", "ours s", "ours bytes",
                "ours MiB", "them s", "them bytes", "them MiB", "time", "size", "memory");
}

std::string ratioText(double a, double b)
{
    char buf[32];
    if (a < 0 || b <= 0)
        return "-";
    std::snprintf(buf, sizeof(buf), "%.2f", a / b);
    return buf;
}

void printRow(const char *name, const Measure &ours, long long ourSize, const Measure &theirs,
              long long theirSize)
{
    auto sizeText = [](long long s) { return s < 0 ? std::string("-") : std::to_string(s); };
    std::printf("  %-34s %9.2f %12s %9.1f | %9.2f %12s %9.1f | %6s %6s %6s%s\n", name, ours.seconds,
                sizeText(ourSize).c_str(), ours.peakKiB / 1024.0, theirs.seconds,
                sizeText(theirSize).c_str(), theirs.peakKiB / 1024.0,
                ratioText(ours.seconds, theirs.seconds).c_str(),
                ratioText(double(ourSize), double(theirSize)).c_str(),
                ratioText(double(ours.peakKiB), double(theirs.peakKiB)).c_str(),
                (ours.ok && theirs.ok) ? "" : "  (a run failed)");
}

struct Verdict
{
    std::string what;
    double ratio;
    double limit;
};
std::vector<Verdict> g_verdicts;

void target(const std::string &what, const Measure &ours, const Measure &theirs, double limit)
{
    if (ours.ok && theirs.ok && theirs.seconds > 0)
        g_verdicts.push_back({what, ours.seconds / theirs.seconds, limit});
}

std::string firstWord(const std::string &path)
{
    Bytes text;
    if (!readFile(path, &text))
        return "";
    std::string s(text.begin(), text.end());
    return s.substr(0, s.find_first_of(" \t\n"));
}

// Creation and application of diffs between oldPath and newPath, against bsdiff and bspatch.
bool diffRows(const std::string &label, const std::string &oldPath, const std::string &newPath,
              const std::function<std::string(const char *)> &path)
{
    Contender bsdiff({"bsdiff", oldPath, newPath, path("patch.bsdiff")});
    Contender diff0z({g_self, "diff", oldPath, newPath, path("patch.qv0.lzma2"), "0", "compress"});
    Contender diff1({g_self, "diff", oldPath, newPath, path("patch.qv1"), "1"});
    Contender diff0({g_self, "diff", oldPath, newPath, path("patch.qv0"), "0"});
    alternate({&bsdiff, &diff0z, &diff1, &diff0}, g_repeat);
    const long long bsdiffSize = fileSize(path("patch.bsdiff"));
    printHeader(("QVDIFF10 creation against bsdiff, " + label).c_str());
    printRow("method 0, then LZMA2 level 9", diff0z.best, fileSize(path("patch.qv0.lzma2")),
             bsdiff.best, bsdiffSize);
    printRow("method 1 (three LZMA2 blocks)", diff1.best, fileSize(path("patch.qv1")), bsdiff.best,
             bsdiffSize);
    printRow("method 0 alone (uncompressed)", diff0.best, fileSize(path("patch.qv0")), bsdiff.best,
             bsdiffSize);
    target("creation, method 0 + LZMA2 / bsdiff, " + label, diff0z.best, bsdiff.best, 1.0 / 3);
    target("creation, method 1 / bsdiff, " + label, diff1.best, bsdiff.best, 1.0 / 3);

    Contender bspatch({"bspatch", oldPath, path("result.bspatch"), path("patch.bsdiff")});
    Contender apply0z {
        {g_self, "apply", oldPath, path("patch.qv0.lzma2"), path("result.qv0z"), "compressed"}};
    Contender apply1({g_self, "apply", oldPath, path("patch.qv1"), path("result.qv1")});
    Contender apply0({g_self, "apply", oldPath, path("patch.qv0"), path("result.qv0")});
    alternate({&bspatch, &apply0z, &bspatch, &apply1, &bspatch, &apply0}, g_repeat);
    printHeader(("QVDIFF10 application against bspatch, " + label).c_str());
    printRow("method 0 + LZMA2 (decode, apply)", apply0z.best, -1, bspatch.best, -1);
    printRow("method 1", apply1.best, -1, bspatch.best, -1);
    printRow("method 0 alone", apply0.best, -1, bspatch.best, -1);
    const bool resultsOk = sameFiles(newPath, path("result.bspatch"))
        && sameFiles(newPath, path("result.qv0z")) && sameFiles(newPath, path("result.qv1"))
        && sameFiles(newPath, path("result.qv0"));
    std::printf("  every result equals the new file: %s\n", resultsOk ? "yes" : "NO");
    target("application, method 1 / bspatch, " + label, apply1.best, bspatch.best, 1.0);
    target("application, method 0 + LZMA2 / bspatch, " + label, apply0z.best, bspatch.best, 1.0);
    return resultsOk;
}

bool containerRows(const std::string &label, const std::string &newPath,
                   const std::function<std::string(const char *)> &path)
{
    printHeader(("LZMA2 container (level 9) against xz -9, " + label).c_str());
#if QVX_BENCH_HAVE_CONTAINER
    // Compression takes long on both sides: one round each.
    Contender xzc({"xz", "-9", "-c", "-k", newPath}, path("new.xz"));
    Contender ourc({g_self, "compress", newPath, path("new.lzma2")});
    alternate({&xzc, &ourc}, 1);
    Contender xzd({"xz", "-d", "-c", path("new.xz")}, path("result.xz"));
    Contender ourd({g_self, "decompress", path("new.lzma2"), path("result.lzma2")});
    alternate({&xzd, &ourd}, g_repeat);
    printRow("decompression (xz -d)", ourd.best, -1, xzd.best, -1);
    printRow("compression, size (xz -9), 1 run", ourc.best, fileSize(path("new.lzma2")), xzc.best,
             fileSize(path("new.xz")));
    const bool ok
        = sameFiles(newPath, path("result.xz")) && sameFiles(newPath, path("result.lzma2"));
    std::printf("  both results equal the new file: %s\n", ok ? "yes" : "NO");
    target("container decompression / xz -d, " + label, ourd.best, xzd.best, 1.15);
    return ok;
#else
    (void)newPath;
    (void)path;
    std::printf("  not measured: this build has no LZMA2 file container yet\n");
    return true;
#endif
}

bool hashRows(const std::string &label, const std::string &file,
              const std::function<std::string(const char *)> &path)
{
    printHeader(("SHA-512 of a file against sha512sum, " + label).c_str());
    if (g_updater.empty() || access(g_updater.c_str(), X_OK) != 0) {
        std::printf("  not measured: the updater's benchmark program (qvx_bench_updater) is not "
                    "built\n");
        return true;
    }
    Contender theirs({"sha512sum", file}, path("hash.sha512sum"));
    Contender ours({g_updater, "hash", file}, path("hash.ours"));
    alternate({&theirs, &ours}, g_repeat);
    printRow("hash of the new file", ours.best, -1, theirs.best, -1);
    const bool same = !firstWord(path("hash.ours")).empty()
        && firstWord(path("hash.ours")) == firstWord(path("hash.sha512sum"));
    std::printf("  both print the same hash: %s\n", same ? "yes" : "NO");
    return same;
}

bool runSize(std::size_t sizeMiB, const std::string &work)
{
    auto path = [&work](const char *name) { return work + "/" + name; };
    const std::string oldPath = path("old.bin");
    const std::string newPath = path("new.bin");
    const std::string size = std::to_string(sizeMiB) + " MiB";
    bool ok = true;
    {
        Bytes oldData;
        Bytes newData;
        makeData(sizeMiB << 20, &oldData, &newData);
        if (!writeFile(oldPath, oldData.data(), oldData.size())
            || !writeFile(newPath, newData.data(), newData.size())) {
            std::fprintf(stderr, "cannot write the data to %s\n", work.c_str());
            return false;
        }
        std::printf("\n=== %s generated: old %zu bytes, new %zu bytes (moved %s block, 120 "
                    "insertions, 60 deletions, edits every ~24 KiB); best of %d run(s)\n",
                    size.c_str(), oldData.size(), newData.size(),
                    lengthText(movedBlockLength(oldData.size())).c_str(), g_repeat);
    }
    ok = diffRows(size + " generated", oldPath, newPath, path) && ok;
    ok = containerRows(size + " generated", newPath, path) && ok;
    ok = hashRows(size + " generated", newPath, path) && ok;

    {
        Bytes oldData;
        Bytes newData;
        std::string source;
        if (!makeLibraryData(sizeMiB << 20, &oldData, &newData, &source)) {
            std::printf("\n=== %s shared libraries: not measured (too few in the system)\n",
                        size.c_str());
            return ok;
        }
        if (!writeFile(oldPath, oldData.data(), oldData.size())
            || !writeFile(newPath, newData.data(), newData.size())) {
            std::fprintf(stderr, "cannot write the data to %s\n", work.c_str());
            return false;
        }
        std::printf("\n=== %s shared libraries of %s: old %zu bytes, new %zu bytes (same changes); "
                    "best of %d run(s)\n",
                    size.c_str(), source.c_str(), oldData.size(), newData.size(), g_repeat);
    }
    ok = diffRows(size + " libraries", oldPath, newPath, path) && ok;
    ok = containerRows(size + " libraries", newPath, path) && ok;
    return ok;
}

int driver(const std::vector<std::size_t> &sizes, std::string work, bool keep)
{
    if (work.empty()) {
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qvx_bench.XXXXXX";
        if (!mkdtemp(&pattern[0])) {
            std::perror("mkdtemp");
            return 1;
        }
        work = pattern;
    } else {
        mkdir(work.c_str(), 0755);
    }
    std::printf("work folder %s\n", work.c_str());
    stopChildOnSignals();
    bool ok = true;
    for (const std::size_t size : sizes)
        ok = runSize(size, work) && ok;

    std::printf("\nTargets\n");
    for (const Verdict &v : g_verdicts)
        std::printf("  %-58s ratio %.2f, limit %.2f: %s\n", v.what.c_str(), v.ratio, v.limit,
                    v.ratio <= v.limit ? "met" : "MISSED");

    if (!keep) {
        const char *names[] = {"old.bin",    "new.bin",      "patch.bsdiff",   "patch.qv0.lzma2",
                               "patch.qv1",  "patch.qv0",    "result.bspatch", "result.qv0z",
                               "result.qv1", "result.qv0",   "new.xz",         "new.lzma2",
                               "result.xz",  "result.lzma2", "hash.sha512sum", "hash.ours"};
        for (const char *name : names)
            unlink((work + "/" + name).c_str());
        rmdir(work.c_str());
    }
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "diff" && (args.size() == 5 || args.size() == 6))
        return commandDiff(args[1], args[2], args[3], std::atoi(args[4].c_str()), args.size() == 6);
    if (!args.empty() && args[0] == "apply" && (args.size() == 4 || args.size() == 5))
        return commandApply(args[1], args[2], args[3], args.size() == 5);
#if QVX_BENCH_HAVE_CONTAINER
    if (!args.empty() && args[0] == "compress" && args.size() == 3)
        return quorpatch::CompressFile(args[1].c_str(), args[2].c_str(), false) ? 0 : 3;
    if (!args.empty() && args[0] == "decompress" && args.size() == 3)
        return quorpatch::DecompressFile(args[1].c_str(), args[2].c_str()) ? 0 : 3;
#endif

    // The data of one case, for measuring a single step by hand.
    if (!args.empty() && args[0] == "make-data" && args.size() == 5) {
        Bytes oldData;
        Bytes newData;
        std::string source;
        const std::size_t size = std::size_t(std::max(1, std::atoi(args[1].c_str()))) << 20;
        if (args[2] == "libraries" ? !makeLibraryData(size, &oldData, &newData, &source)
                                   : (makeData(size, &oldData, &newData), false))
            return 3;
        return writeFile(args[3], oldData.data(), oldData.size())
                && writeFile(args[4], newData.data(), newData.size())
            ? 0
            : 4;
    }

    std::vector<std::size_t> sizes;
    std::string work;
    bool keep = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--size" && i + 1 < args.size())
            sizes.push_back(std::size_t(std::max(1, std::atoi(args[++i].c_str()))));
        else if (args[i] == "--work" && i + 1 < args.size())
            work = args[++i];
        else if (args[i] == "--repeat" && i + 1 < args.size())
            g_repeat = std::max(1, std::atoi(args[++i].c_str()));
        else if (args[i] == "--updater" && i + 1 < args.size())
            g_updater = args[++i];
        else if (args[i] == "--ours" && i + 1 < args.size())
            g_self = args[++i];
        else if (args[i] == "--keep")
            keep = true;
        else {
            const bool help = args[i] == "-h" || args[i] == "--help";
            std::fprintf(help ? stdout : stderr,
                         "usage: %s [--size MiB]... [--work DIR] [--repeat N] [--updater PROGRAM] "
                         "[--ours PROGRAM] [--keep]\n       %s make-data MiB generated|libraries "
                         "OLD NEW\n",
                         argv[0], argv[0]);
            return help ? 0 : 2;
        }
    }
    if (sizes.empty())
        sizes = {32, 128};
    // Rows as they come, also into a file or a pipe: a run takes a while.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (g_self.empty())
        g_self = argv[0];
    if (g_self.find('/') == std::string::npos) {
        std::fprintf(stderr, "run the benchmark by its path (for example ./qvx_bench)\n");
        return 2;
    }
    return driver(sizes, work, keep);
}
