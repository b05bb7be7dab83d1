// Ensemble patches put together byte by byte here, from the format alone: neither the test
// patch writer nor the engine makes them (the engine only computes the checksums), so a rule
// that both get wrong still shows.

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "ensemblepatchapplier.h"
#include "streams.h"

using namespace quorpatch;

namespace {

typedef std::vector<u8> Bytes;

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes text(const std::string &s)
{
    return Bytes(s.begin(), s.end());
}

Bytes le32(u32 v)
{
    return {u8(v), u8(v >> 8), u8(v >> 16), u8(v >> 24)};
}

Bytes varint(u32 v)
{
    Bytes out;
    while (v >= 0x80) {
        out.push_back(u8(v | 0x80));
        v >>= 7;
    }
    out.push_back(u8(v));
    return out;
}

Bytes zigzag(i32 v)
{
    return varint((u32(v) << 1) ^ u32(v >> 31));
}

// A varint32 count, then each value.
Bytes list(std::initializer_list<u32> values)
{
    Bytes out = varint(u32(values.size()));
    for (u32 v : values)
        out = cat({out, varint(v)});
    return out;
}

// Magic, count, lengths, bodies.
Bytes streamSet(const std::vector<Bytes> &streams)
{
    Bytes out = cat({{0xEA, 0x9A, 0xCA, 0x09}, varint(u32(streams.size()))});
    for (const Bytes &s : streams)
        out = cat({out, varint(u32(s.size()))});
    for (const Bytes &s : streams)
        out = cat({out, s});
    return out;
}

// One LZMA2 block of stored chunks: property byte, unpacked size, chunks of at most 64 KiB
// (control 1 resets the dictionary, 2 keeps it; then the size - 1, big-endian), end marker.
Bytes storedLzma2Block(const Bytes &data)
{
    Bytes out = cat({{0x18}, varint(u32(data.size()))});
    for (size_t at = 0; at < data.size(); at += 0x10000) {
        const size_t n = std::min<size_t>(0x10000, data.size() - at);
        out.push_back(at == 0 ? 0x01 : 0x02);
        out.push_back(u8((n - 1) >> 8));
        out.push_back(u8(n - 1));
        out.insert(out.end(), data.begin() + at, data.begin() + at + n);
    }
    out.push_back(0x00);
    return out;
}

// A raw diff body (method 0) of control triples, each a diff run of the given differences
// from the old data, then literal extra bytes, then the old position's adjustment.
struct Run
{
    Bytes diff;
    Bytes extra;
    i32 adjust;
};

Bytes diffBody(const std::vector<Run> &runs)
{
    Bytes control, diff, extra;
    for (const Run &r : runs) {
        control = cat(
            {control, zigzag(i32(r.diff.size())), zigzag(i32(r.extra.size())), zigzag(r.adjust)});
        diff = cat({diff, r.diff});
        extra = cat({extra, r.extra});
    }
    return cat({{0x00},
                varint(u32(diff.size() + extra.size())),
                varint(u32(control.size())),
                varint(u32(diff.size())),
                varint(u32(extra.size())),
                control,
                diff,
                extra});
}

// A diff whose output is the old data of that length, unchanged.
Bytes copyBody(size_t length)
{
    return diffBody({{Bytes(length, 0), {}, 0}});
}

// A diff from old to new data of the same length: the byte-wise differences.
Bytes changeBody(const Bytes &oldData, const Bytes &newData)
{
    Bytes diff(newData.size());
    for (size_t i = 0; i < diff.size(); ++i)
        diff[i] = u8(newData[i] - oldData[i]);
    return diffBody({{diff, {}, 0}});
}

// Predicted parameters of k elements: every element's prediction is empty.
Bytes predictedParameters(u32 k)
{
    return cat({{0xEA, 0x9A, 0xCA, 0x09, 0x0A}, varint(k), Bytes(9, 0x00), Bytes(k, 0x00)});
}

struct Element
{
    u32 type;
    u32 offset;
    u32 length;
};

Bytes ensemblePatch(const Bytes &oldFile, u32 targetChecksum, const std::vector<Element> &elements,
                    const Bytes &parametersDiff, const Bytes &elementsDiff, const Bytes &finalDiff)
{
    Bytes parameters = varint(u32(elements.size()));
    for (const Element &e : elements)
        parameters = cat({parameters, varint(e.type)});
    for (const Element &e : elements)
        parameters = cat({parameters, varint(e.offset), varint(e.length)});
    const Bytes payload
        = streamSet({parameters, parametersDiff, elementsDiff, finalDiff, {}, {}, {}, {}, {}, {}});
    return cat({{0xC3, 0xDE, 0xD5, 0x03, 0x88, 0xB7, 0xCB, 0x09},
                varint(CalculateCrc(oldFile.data(), oldFile.size())),
                varint(targetChecksum),
                varint(u32(oldFile.size())),
                storedLzma2Block(payload)});
}

Status apply(const Bytes &oldFile, const Bytes &patch, SinkStream *output)
{
    SourceStream old(oldFile.data(), oldFile.size());
    SourceStream patchStream(patch.data(), patch.size());
    return ApplyEnsemblePatchStreams(&old, &patchStream, output);
}

Bytes contents(const SinkStream &sink)
{
    return Bytes(sink.Buffer(), sink.Buffer() + sink.Length());
}

u32 crcOf(const Bytes &data)
{
    return CalculateCrc(data.data(), data.size());
}

// ---------------------------------------------------------------------------------------------
// No element: the final diff writes into the caller's sink, and the checksum is over that sink.

TEST(EnsemblePatchHandmade, ChecksumCoversTheCallersSink)
{
    const Bytes oldFile = text("the old file, patched without elements");
    const Bytes tail = text(" and something new");
    const Bytes newFile = cat({oldFile, tail});
    const Bytes kept = text("kept by the caller: ");
    const Bytes finalDiff = diffBody({{Bytes(oldFile.size(), 0), tail, 0}});
    const Bytes empty = predictedParameters(0);

    struct Case
    {
        const char *name;
        Bytes before; // in the sink
        Bytes checksummed; // what the header's target checksum was made from
        Status expected;
        Bytes after;
    } cases[] = {
        {"EmptySink", {}, newFile, STATUS_OK, newFile},
        {"FilledSinkNewFileChecksum", kept, newFile, STATUS_CHECKSUM_MISMATCH, kept},
        {"FilledSinkWholeSinkChecksum", kept, cat({kept, newFile}), STATUS_OK,
         cat({kept, newFile})},
        {"EmptySinkWholeSinkChecksum", {}, cat({kept, newFile}), STATUS_CHECKSUM_MISMATCH, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes patch = ensemblePatch(oldFile, crcOf(c.checksummed), {}, copyBody(empty.size()),
                                          copyBody(empty.size()), finalDiff);
        SinkStream output;
        ASSERT_TRUE(output.Write(c.before.data(), c.before.size()));
        EXPECT_EQ(apply(oldFile, patch, &output), c.expected);
        EXPECT_EQ(contents(output), c.after);
    }
}

typedef Run DiffRun;

// The result is built over the decoded payload, so every shape of final diff must read its
// strings before they are written over, whatever the caller's sink holds already.
TEST(EnsemblePatchHandmade, EveryShapeOfFinalDiffGivesTheNewFile)
{
    Bytes oldFile;
    for (u32 i = 0; i < 6000; ++i)
        oldFile.push_back(u8(i * 7 + (i >> 5)));
    const auto bytes = [](size_t n, u8 seed) {
        Bytes b(n);
        for (size_t i = 0; i < n; ++i)
            b[i] = u8(seed + i * 13 + (i >> 3));
        return b;
    };
    // Differences to n old bytes: a few scattered edits.
    const auto edited = [](size_t n) {
        Bytes d(n, 0);
        for (size_t i = 0; i < n; i += 97)
            d[i] = u8(i + 1);
        return d;
    };
    struct Case
    {
        const char *name;
        std::vector<DiffRun> runs;
    } cases[] = {
        {"extra far longer than what comes before the diff", {{edited(6000), bytes(9000, 1), 0}}},
        {"extra first", {{{}, bytes(3000, 2), 0}, {edited(6000), {}, 0}}},
        {"diff alone", {{edited(6000), {}, 0}}},
        {"extra alone", {{{}, bytes(7000, 3), 0}}},
        {"interleaved, jumping back",
         {{edited(2000), bytes(1500, 4), 1000},
          {edited(2500), bytes(10, 5), -5500},
          {edited(3000), bytes(4000, 6), 0}}},
    };
    const Bytes kept = text("kept: ");
    for (const Case &c : cases) {
        // The new file, worked out from the runs themselves.
        Bytes newFile;
        size_t position = 0;
        for (const DiffRun &r : c.runs) {
            for (size_t k = 0; k < r.diff.size(); ++k)
                newFile.push_back(u8(oldFile[position + k] + r.diff[k]));
            newFile = cat({newFile, r.extra});
            position = size_t(i64(position) + i64(r.diff.size()) + r.adjust);
        }
        const Bytes empty = predictedParameters(0);
        for (const Bytes &before : {Bytes(), kept}) {
            SCOPED_TRACE(std::string(c.name) + (before.empty() ? "" : ", filled sink"));
            const Bytes patch
                = ensemblePatch(oldFile, crcOf(cat({before, newFile})), {}, copyBody(empty.size()),
                                copyBody(empty.size()), diffBody(c.runs));
            SinkStream output;
            ASSERT_TRUE(output.Write(before.data(), before.size()));
            EXPECT_EQ(apply(oldFile, patch, &output), STATUS_OK);
            EXPECT_EQ(contents(output), cat({before, newFile}));
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Two elements of different kinds in one old file: a PE32 image and an ELF32 x86 image.

// PE32: headers in 0x110 bytes, one ".text" section at RVA 0x1000, file 0x110, 0x30 bytes;
// image base 0x400000. Inside ".text": absolute references at 0x1004 and 0x1028, a call at
// 0x1008 back to 0x1000, and the base relocation table at 0x1010: one block of two entries
// and 8 zero bytes, 20 bytes in all.
Bytes peImage()
{
    Bytes b(0x140, 0);
    b[0] = 'M';
    b[1] = 'Z';
    b[60] = 0x40;
    b[0x40] = 'P';
    b[0x41] = 'E';
    const auto put
        = [&b](size_t at, const Bytes &v) { std::copy(v.begin(), v.end(), b.begin() + at); };
    put(0x44, {0x4C, 0x01, 0x01, 0x00}); // machine, one section
    put(0x54, {0x90, 0x00}); // optional header size 144
    put(0x58, {0x0B, 0x01}); // PE32
    put(0x58 + 28, le32(0x400000));
    put(0x58 + 56, le32(0x2000)); // SizeOfImage
    put(0x58 + 92, le32(6)); // data directories
    put(0x58 + 96 + 40, cat({le32(0x1010), le32(20)}));
    put(0xE8, text(".text"));
    put(0xE8 + 8, cat({le32(0x30), le32(0x1000), le32(0x30), le32(0x110)}));
    put(0x110,
        cat({{0x90, 0x90, 0x90, 0x90},
             le32(0x401020),
             {0xE8},
             le32(0xFFFFFFF3),
             {0x90, 0x90, 0x90},
             le32(0x1000),
             le32(12),
             {0x04, 0x30, 0x28, 0x30},
             Bytes(8, 0),
             {0x90, 0x90, 0x90, 0x90},
             le32(0x401000),
             {0x90, 0x90, 0x90, 0x90}}));
    return b;
}

// ELF32 x86 shared object of 224 bytes, addresses equal to file offsets: header, one LOAD
// program header over the file, ".text" at 0x54 (a call at 0x54 to itself, three bytes, an
// absolute reference to 0x54 at 0x5C), a relocation section at 0x60 with the one entry for
// 0x5C, and the section header table at 0x68 (null, .text, .rel).
Bytes elfImage()
{
    Bytes b(224, 0);
    const auto put
        = [&b](size_t at, const Bytes &v) { std::copy(v.begin(), v.end(), b.begin() + at); };
    put(0, {0x7F, 'E', 'L', 'F', 1, 1, 1});
    put(16, {3, 0, 3, 0, 1, 0, 0, 0}); // ET_DYN, EM_386, version 1
    put(28, cat({le32(52), le32(0x68)})); // e_phoff, e_shoff
    put(40, {52, 0, 32, 0, 1, 0, 40, 0, 3, 0, 0, 0}); // ehsize to shstrndx
    put(52, cat({le32(1), le32(0), le32(0), le32(0), le32(224), le32(224)}));
    put(0x54, cat({{0xE8}, le32(0xFFFFFFFB), {0x90, 0x90, 0x90}, le32(0x54)}));
    put(0x60, cat({le32(0x5C), le32(8)}));
    const auto section = [&](int index, u32 type, u32 offset, u32 size, u32 entsize) {
        const size_t at = 0x68 + 40 * index;
        put(at + 4, le32(type));
        put(at + 12, cat({le32(offset), le32(offset), le32(size)}));
        put(at + 36, le32(entsize));
    };
    section(1, 1, 0x54, 12, 0);
    section(2, 9, 0x60, 8, 8);
    return b;
}

Bytes slice(const Bytes &b, size_t from, size_t to)
{
    return Bytes(b.begin() + from, b.begin() + to);
}

// The streams an encoded program writes, 0 to 7 (8 and 9 stay empty).
struct Program
{
    u32 imageBase;
    std::initializer_list<u32> origins;
    std::initializer_list<u32> ops;
    Bytes copyBytes;
    std::initializer_list<u32> abs32Indices;
    std::initializer_list<u32> rel32Indices;
    Bytes abs32Deltas; // count and deltas, written out
    Bytes rel32Deltas;
    std::initializer_list<u32> copyCounts;

    std::vector<Bytes> streams() const
    {
        return {cat({varint(imageBase), list(origins)}),
                list(ops),
                cat({varint(u32(copyBytes.size())), copyBytes}),
                list(abs32Indices),
                list(rel32Indices),
                abs32Deltas,
                rel32Deltas,
                list(copyCounts)};
    }
};

// The transformed elements: per element, its program as a nested set.
Bytes transformedElements(const std::vector<Program> &programs)
{
    std::vector<Bytes> outer(10);
    for (const Program &p : programs) {
        const std::vector<Bytes> inner = p.streams();
        Bytes control = varint(u32(inner.size()));
        for (const Bytes &s : inner)
            control = cat({control, varint(u32(s.size()))});
        outer[0] = cat({outer[0], control});
        for (size_t i = 0; i < inner.size(); ++i)
            outer[i] = cat({outer[i], inner[i]});
    }
    return streamSet(outer);
}

TEST(EnsemblePatchHandmade, PeAndElfElementsInOneOldFile)
{
    const Bytes pe = peImage();
    const Bytes elf = elfImage();
    const Bytes oldFile = cat({pe, elf, text("old trailer")});
    const Bytes nop4 = {0x90, 0x90, 0x90, 0x90};

    // PE: 272 header bytes, origin 0x1000, 4 bytes, abs32 label 1 (0x1020), one byte, rel32
    // label 0 (0x1000), 3 bytes, the table marker, 4 bytes, abs32 label 0 (0x1000), 4 bytes.
    // The 20 table bytes are not part of the program.
    const Bytes peCopyBytes
        = cat({slice(pe, 0, 0x110), nop4, {0xE8}, {0x90, 0x90, 0x90}, nop4, nop4});
    const Program peOld = {0x400000,
                           {0x1000},
                           {1, 0, 1, 4, 2, 3, 1, 5, 1, 4, 1},
                           peCopyBytes,
                           {1, 0},
                           {0},
                           {2, 0x80, 0x20, 0x20},
                           {1, 0x80, 0x20},
                           {272, 4, 3, 4, 4}};
    // ELF: 84 bytes, origin 0x54, one byte, rel32 label 0 (0x54), 3 bytes, abs32 label 0
    // (0x54), the table marker, the 120 bytes of the section header table.
    const Bytes elfCopyBytes
        = cat({slice(elf, 0, 0x55), {0x90, 0x90, 0x90}, slice(elf, 0x68, 224)});
    const Program elfProgram
        = {0,         {0x54},      {1, 0, 2, 3, 1, 4, 6, 1}, elfCopyBytes, {0}, {0}, {1, 0x54},
           {1, 0x54}, {84, 3, 120}};
    // The patch moves the PE's abs32 label 1 from 0x1020 to 0x1024.
    Program peNew = peOld;
    peNew.abs32Deltas = {2, 0x80, 0x20, 0x24};

    const Bytes transformed = transformedElements({peOld, elfProgram});
    const Bytes corrected = transformedElements({peNew, elfProgram});
    ASSERT_EQ(transformed.size(), corrected.size());
    // Spelled out: the outer header with its ten stream lengths.
    EXPECT_EQ(slice(transformed, 0, 16),
              (Bytes {0xEA, 0x9A, 0xCA, 0x09, 0x0A, 30, 21, 0xF4, 0x03, 5, 4, 6, 5, 11, 0, 0}));

    // Assembled PE: the regenerated table (one block; the bytes after the marker are placed
    // after it and their RVAs do not count the table's 20 bytes: the second reference now
    // lies at 0x1014), then what followed the marker.
    const Bytes peReformed = cat({slice(pe, 0, 0x110),
                                  nop4,
                                  le32(0x401024),
                                  {0xE8},
                                  le32(0xFFFFFFF3),
                                  {0x90, 0x90, 0x90},
                                  le32(0x1000),
                                  le32(12),
                                  {0x04, 0x30, 0x14, 0x30},
                                  nop4,
                                  le32(0x401000),
                                  nop4});
    ASSERT_EQ(peReformed.size(), 312u);
    const Bytes trailer = text(", new trailer");
    const Bytes newFile = cat({peReformed, elf, trailer});

    // The final diff skips the old file in the reformed data and copies both elements.
    const Bytes finalDiff = diffBody(
        {{{}, {}, i32(oldFile.size())}, {Bytes(peReformed.size() + elf.size(), 0), trailer, 0}});
    const Bytes predicted = predictedParameters(2);
    const Bytes patch = ensemblePatch(
        oldFile, crcOf(newFile),
        {{WIN_32_X86, 0, u32(pe.size())}, {EXE_ELF_32_X86, u32(pe.size()), u32(elf.size())}},
        copyBody(predicted.size()), changeBody(transformed, corrected), finalDiff);
    SinkStream output;
    ASSERT_EQ(apply(oldFile, patch, &output), STATUS_OK);
    EXPECT_EQ(contents(output), newFile);
}

} // namespace
