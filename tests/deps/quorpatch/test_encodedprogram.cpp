#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "armbranch.h"
#include "assemblyprogram.h"
#include "encodedprogram.h"
#include "nothrowvector.h"
#include "streams.h"
#include "test_assemblylog.h"

using namespace quorpatch;

namespace {

typedef std::vector<uint8_t> Bytes;
typedef std::vector<uint32_t> Words;

Words List(const NoThrowVector<uint32_t> &v)
{
    return Words(v.begin(), v.end());
}

Bytes List(const NoThrowVector<uint8_t> &v)
{
    return Bytes(v.begin(), v.end());
}

Bytes StreamBytes(SinkStreamSet *set, size_t i)
{
    SinkStream *stream = set->stream(i);
    return Bytes(stream->Buffer(), stream->Buffer() + stream->Length());
}

Bytes SinkBytes(const SinkStream &sink)
{
    return Bytes(sink.Buffer(), sink.Buffer() + sink.Length());
}

void PutU32(Bytes *out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void PutU16(Bytes *out, uint32_t v)
{
    out->push_back(static_cast<uint8_t>(v));
    out->push_back(static_cast<uint8_t>(v >> 8));
}

// Writes the program into a set, serialises and parses it and reads a new program from it.
EncodedProgram *WriteAndReadBack(EncodedProgram *program, Bytes *serialised = nullptr)
{
    SinkStreamSet set;
    EXPECT_EQ(WriteEncodedProgram(program, &set), STATUS_OK);
    SinkStream whole;
    EXPECT_TRUE(set.SerializeTo(&whole));
    Bytes bytes = SinkBytes(whole);
    if (serialised)
        *serialised = bytes;
    SourceStreamSet source;
    EXPECT_TRUE(source.Parse(bytes.data(), bytes.size()));
    EncodedProgram *read = nullptr;
    EXPECT_EQ(ReadEncodedProgram(&source, &read), STATUS_OK);
    return read;
}

Bytes AssembleBytes(EncodedProgram *program, Status expected = STATUS_OK)
{
    SinkStream out;
    EXPECT_EQ(Assemble(program, &out), expected);
    return SinkBytes(out);
}

// Owns a program made by the test.
struct Program
{
    Program()
        : p(new EncodedProgram())
    { }
    ~Program() { DeleteEncodedProgram(p); }
    EncodedProgram *operator->() { return p; }
    EncodedProgram *p;
};

} // namespace

TEST(EncodedProgramBuild, AddCopyFoldsLiteralRuns)
{
    static const uint8_t abc[] = {'a', 'b', 'c'};
    const struct
    {
        const char *name;
        std::function<void(EncodedProgram *)> build;
        Words ops;
        Words counts;
        Bytes bytes;
    } cases[] = {
        {"one byte", [](EncodedProgram *p) { p->AddCopy(1, abc); }, {2}, {}, {'a'}},
        {"two single bytes",
         [](EncodedProgram *p) {
             p->AddCopy(1, abc);
             p->AddCopy(1, abc + 1);
         },
         {1},
         {2},
         {'a', 'b'}},
        {"a run", [](EncodedProgram *p) { p->AddCopy(3, abc); }, {1}, {3}, {'a', 'b', 'c'}},
        {"byte then run",
         [](EncodedProgram *p) {
             p->AddCopy(1, abc);
             p->AddCopy(2, abc + 1);
             p->AddCopy(1, abc);
         },
         {1},
         {4},
         {'a', 'b', 'c', 'a'}},
        {"runs apart",
         [](EncodedProgram *p) {
             p->AddCopy(1, abc);
             p->AddOrigin(5);
             p->AddCopy(1, abc + 2);
             p->AddRel32(0);
             p->AddCopy(2, abc);
         },
         {2, 0, 2, 3, 1},
         {2},
         {'a', 'c', 'a', 'b'}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Program program;
        c.build(program.p);
        EXPECT_EQ(List(program->ops()), c.ops);
        EXPECT_EQ(List(program->copyCounts()), c.counts);
        EXPECT_EQ(List(program->copyBytes()), c.bytes);
    }
}

TEST(EncodedProgramBuild, LabelTablesFillTheirGaps)
{
    Program program;
    ASSERT_TRUE(program->DefineAbs32Label(3, 0x1234));
    EXPECT_EQ(List(program->abs32Rvas()), (Words {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0x1234}));
    ASSERT_TRUE(program->DefineRel32Label(0, 0x500));
    ASSERT_TRUE(program->DefineRel32Label(2, 0x900));
    ASSERT_TRUE(program->DefineRel32Label(4, 0x100));
    ASSERT_TRUE(program->EndLabels());
    EXPECT_EQ(List(program->abs32Rvas()), (Words {0, 0, 0, 0x1234}));
    EXPECT_EQ(List(program->rel32Rvas()), (Words {0x500, 0x500, 0x900, 0x900, 0x100}));
    EXPECT_FALSE(program->DefineRel32Label(-1, 0x100));
}

TEST(EncodedProgramStreams, FieldsGoToTheirStreams)
{
    Program program;
    program->setImageBase(0x12345678);
    program->DefineAbs32Label(0, 100);
    program->DefineAbs32Label(1, 90);
    program->DefineRel32Label(0, 0x80);
    program->DefineRel32Label(1, 0x100);
    program->EndLabels();
    const uint8_t bytes[] = {0xAA, 0xBB, 0xCC};
    program->AddOrigin(0x1000);
    program->AddCopy(3, bytes);
    program->AddAbs32(1);
    program->AddRel32(0);
    program->AddRel32ARM(0x30EB, 1);
    program->AddOrigin(0x2000);
    program->AddCopy(1, bytes);
    program->AddElfMakeRelocs();

    SinkStreamSet set;
    ASSERT_EQ(WriteEncodedProgram(program.p, &set), STATUS_OK);
    const Bytes expected[10] = {
        {0xF8, 0xAC, 0xD1, 0x91, 0x01, 0x02, 0x80, 0x20, 0x80, 0x40}, // base, origins
        {0x08, 0x00, 0x01, 0x04, 0x03, 0xEB, 0x61, 0x00, 0x02, 0x06}, // ops
        {0x04, 0xAA, 0xBB, 0xCC, 0xAA}, // copy bytes
        {0x01, 0x01}, // abs32 indices
        {0x02, 0x00, 0x01}, // rel32 indices
        {0x02, 0x64, 0xF6, 0xFF, 0xFF, 0xFF, 0x0F}, // abs32 RVAs 100, 90 as deltas
        {0x02, 0x80, 0x01, 0x80, 0x01}, // rel32 RVAs 0x80, 0x100
        {0x01, 0x03}, // copy counts
        {},
        {},
    };
    for (size_t i = 0; i < 10; ++i)
        EXPECT_EQ(StreamBytes(&set, i), expected[i]) << "stream " << i;
}

TEST(EncodedProgramStreams, ReadBackGivesTheSameTables)
{
    Program program;
    program->setImageBase(0x400000);
    for (int i = 0; i < 70; ++i) {
        program->DefineRel32Label(i, 0x1000 + 0x10 * i);
        program->DefineAbs32Label(i, 0x9000 - i);
    }
    program->EndLabels();
    Bytes literal(300);
    for (size_t i = 0; i < literal.size(); ++i)
        literal[i] = static_cast<uint8_t>(i * 7);
    program->AddOrigin(0x1000);
    for (int i = 0; i < 70; ++i) {
        program->AddCopy(1 + i % 5, literal.data() + i);
        program->AddRel32(i);
        program->AddAbs32(69 - i);
    }
    program->AddCopy(300, literal.data());

    EncodedProgram *read = WriteAndReadBack(program.p);
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(read->imageBase(), 0x400000u);
    EXPECT_EQ(List(read->rel32Rvas()), List(program->rel32Rvas()));
    EXPECT_EQ(List(read->abs32Rvas()), List(program->abs32Rvas()));
    EXPECT_EQ(List(read->ops()), List(program->ops()));
    EXPECT_EQ(List(read->origins()), List(program->origins()));
    EXPECT_EQ(List(read->copyCounts()), List(program->copyCounts()));
    EXPECT_EQ(List(read->copyBytes()), List(program->copyBytes()));
    EXPECT_EQ(List(read->rel32Indices()), List(program->rel32Indices()));
    EXPECT_EQ(List(read->abs32Indices()), List(program->abs32Indices()));
    EXPECT_EQ(AssembleBytes(read), AssembleBytes(program.p));
    DeleteEncodedProgram(read);
}

// The image base travels as 32 bits: above 4 GiB only its low half comes back, and the absolute
// values are made from that.
TEST(EncodedProgramStreams, ImageBaseKeepsItsLow32Bits)
{
    Program program;
    program->setImageBase(0x140001000ull);
    program->DefineAbs32Label(0, 0x20);
    program->EndLabels();
    program->AddAbs32(0);

    EncodedProgram *read = WriteAndReadBack(program.p);
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(read->imageBase(), 0x40001000u);
    Bytes expected;
    PutU32(&expected, 0x40001020);
    EXPECT_EQ(AssembleBytes(read), expected);
    EXPECT_EQ(AssembleBytes(program.p), expected);
    DeleteEncodedProgram(read);
}

// Stream sets made by hand from the streams of a sound program with one change.
TEST(EncodedProgramStreams, CorruptStreamsAreRefused)
{
    const struct
    {
        const char *name;
        std::function<void(std::vector<Bytes> *)> corrupt;
        bool readable;
    } cases[] = {
        {"sound", [](std::vector<Bytes> *) {}, true},
        {"trailing byte in stream 0", [](std::vector<Bytes> *s) { (*s)[0].push_back(0); }, false},
        {"trailing byte in stream 4", [](std::vector<Bytes> *s) { (*s)[4].push_back(0); }, false},
        {"bytes in stream 8", [](std::vector<Bytes> *s) { (*s)[8].push_back(0); }, false},
        {"bytes in stream 9 are ignored", [](std::vector<Bytes> *s) { (*s)[9].push_back(0); },
         true},
        {"ops cut short", [](std::vector<Bytes> *s) { (*s)[1].pop_back(); }, false},
        {"copy bytes cut short", [](std::vector<Bytes> *s) { (*s)[2].pop_back(); }, false},
        {"huge op count",
         [](std::vector<Bytes> *s) { (*s)[1] = {0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0, 0}; }, false},
        {"huge copy byte count",
         [](std::vector<Bytes> *s) { (*s)[2] = {0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 1}; }, false},
        {"unterminated varint",
         [](std::vector<Bytes> *s) {
             (*s)[5] = {0x01, 0x80};
         },
         false},
        {"empty stream 0", [](std::vector<Bytes> *s) { (*s)[0].clear(); }, false},
        {"eight streams", [](std::vector<Bytes> *s) { s->resize(8); }, false},
        {"nine streams", [](std::vector<Bytes> *s) { s->resize(9); }, true},
    };

    Program program;
    program->DefineAbs32Label(0, 0x40);
    program->DefineRel32Label(0, 0x80);
    program->EndLabels();
    const uint8_t bytes[] = {1, 2, 3};
    program->AddOrigin(0x10);
    program->AddCopy(3, bytes);
    program->AddRel32(0);
    program->AddAbs32(0);
    SinkStreamSet written;
    ASSERT_EQ(WriteEncodedProgram(program.p, &written), STATUS_OK);
    std::vector<Bytes> sound;
    for (size_t i = 0; i < 10; ++i)
        sound.push_back(StreamBytes(&written, i));

    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Bytes> streams = sound;
        c.corrupt(&streams);
        SinkStreamSet set;
        ASSERT_TRUE(set.SetCount(streams.size()));
        for (size_t i = 0; i < streams.size(); ++i)
            set.stream(i)->Write(streams[i].data(), streams[i].size());
        SinkStream whole;
        ASSERT_TRUE(set.SerializeTo(&whole));
        SourceStreamSet source;
        ASSERT_TRUE(source.Parse(whole.Buffer(), whole.Length()));
        EncodedProgram *read = reinterpret_cast<EncodedProgram *>(1);
        EXPECT_EQ(ReadEncodedProgram(&source, &read),
                  c.readable ? STATUS_OK : STATUS_READ_PROGRAM_FAILED);
        EXPECT_EQ(read != nullptr, c.readable);
        DeleteEncodedProgram(read);
    }
}

TEST(EncodedProgramStreams, WriteNeedsTheStreams)
{
    Program program;
    program->AddOrigin(1);
    SinkStreamSet set;
    ASSERT_TRUE(set.SetCount(5));
    EXPECT_EQ(WriteEncodedProgram(program.p, &set), STATUS_STREAM_ERROR);
    SinkStreamSet none;
    ASSERT_TRUE(none.SetCount(0));
    EXPECT_EQ(WriteEncodedProgram(program.p, &none), STATUS_STREAM_ERROR);
}

TEST(EncodedProgramAssemble, EveryOpKind)
{
    Program program;
    program->setImageBase(0x10000);
    program->DefineRel32Label(0, 0x1100);
    program->DefineRel32Label(1, 0x0F00);
    program->DefineAbs32Label(0, 0x2000);
    program->EndLabels();
    const uint8_t bytes[] = {0x90, 0xC3};

    Bytes expected;
    uint32_t rva = 0x1000;
    program->AddOrigin(rva);
    program->AddCopy(2, bytes);
    expected.insert(expected.end(), bytes, bytes + 2);
    rva += 2;
    program->AddRel32(0);
    PutU32(&expected, 0x1100 - 4 - rva);
    rva += 4;
    program->AddRel32(1); // backwards
    PutU32(&expected, 0x0F00 - 4 - rva);
    rva += 4;
    program->AddAbs32(0);
    PutU32(&expected, 0x12000);
    rva += 4;

    // One branch of each ARM kind to label 0; the compressed op keeps the fixed bits and the
    // offset comes from the label.
    const uint32_t armKinds[] = {0, 1, 2, 3, 4};
    const uint32_t armTemplates[] = {0xD000, 0xE000, 0xEB000000, 0xF000F800, 0xF0408000};
    for (size_t k = 0; k < 5; ++k) {
        uint16_t op = 0;
        uint32_t offset = 0;
        ASSERT_TRUE(
            ArmBranchCompression::Compress(armKinds[k], armTemplates[k], rva, &op, &offset));
        program->AddRel32ARM(op, 0);
        uint32_t instruction = 0;
        ASSERT_TRUE(ArmBranchCompression::Decompress(armKinds[k], op, 0x1100 - rva, &instruction));
        if (armKinds[k] < 2) {
            PutU16(&expected, instruction);
            rva += 2;
        } else if (armKinds[k] == 2) {
            PutU32(&expected, instruction);
            rva += 4;
        } else {
            PutU16(&expected, instruction >> 16);
            PutU16(&expected, instruction);
            rva += 4;
        }
    }
    program->AddCopy(1, bytes + 1);
    expected.push_back(0xC3);

    EXPECT_EQ(AssembleBytes(program.p), expected);
}

TEST(EncodedProgramAssemble, ArmBranchesAsTheyStandInTheImage)
{
    Program program;
    program->DefineRel32Label(0, 0x100);
    program->EndLabels();
    program->AddOrigin(0x100);
    program->AddRel32ARM(0x201C, 0); // 0x100: b . (Thumb)
    program->AddCopy(2, "\0\0"); // 0x102
    program->AddRel32ARM(0x30EA, 0); // 0x104: b 0x100 (ARM)
    program->AddRel32ARM(0x44F7, 0); // 0x108: bl 0x100 (Thumb-2)
    const Bytes expected = {0xFE, 0xE7, 0, 0, 0xFD, 0xFF, 0xFF, 0xEA, 0xFF, 0xF7, 0xFA, 0xFF};
    EXPECT_EQ(AssembleBytes(program.p), expected);
}

TEST(EncodedProgramAssemble, RefusesCorruptOps)
{
    const struct
    {
        const char *name;
        std::function<void(EncodedProgram *)> build;
        bool ok;
    } cases[] = {
        {"sound", [](EncodedProgram *p) { p->AddRel32(0); }, true},
        {"origin left over", [](EncodedProgram *p) { p->AddOrigin(1); }, true},
        {"second PE table",
         [](EncodedProgram *p) {
             p->AddPeMakeRelocs(WIN_32_X86);
             p->AddPeMakeRelocs(WIN_32_X64);
         },
         false},
        {"second ELF table",
         [](EncodedProgram *p) {
             p->AddElfMakeRelocs();
             p->AddElfARMMakeRelocs();
         },
         false},
        {"one of each table",
         [](EncodedProgram *p) {
             p->AddElfMakeRelocs();
             p->AddPeMakeRelocs(WIN_32_X86);
         },
         true},
        {"rel32 index beyond table", [](EncodedProgram *p) { p->AddRel32(1); }, false},
        {"abs32 index beyond table", [](EncodedProgram *p) { p->AddAbs32(1); }, false},
        {"ARM index beyond table", [](EncodedProgram *p) { p->AddRel32ARM(0x1000, 1); }, false},
        {"op 9", [](EncodedProgram *p) { p->AddRel32ARM(9, 0); }, false},
        {"ARM kind 5", [](EncodedProgram *p) { p->AddRel32ARM(0x6000, 0); }, false},
        {"ARM kind 15", [](EncodedProgram *p) { p->AddRel32ARM(0xF000, 0); }, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Program program;
        program->DefineRel32Label(0, 0x10);
        program->DefineAbs32Label(0, 0x10);
        program->EndLabels();
        c.build(program.p);
        SinkStream out;
        EXPECT_EQ(Assemble(program.p, &out), c.ok ? STATUS_OK : STATUS_ASSEMBLY_FAILED);
    }

    // Operand streams that do not match the ops, read from a stream set. Each field is the
    // stream's raw bytes: a count, then the items.
    const struct
    {
        const char *name;
        Bytes ops, counts, copyBytes, rel32Ix;
        bool ok;
    } streams[] = {
        {"matching", {2, 1, 3}, {1, 4}, {4, 1, 2, 3, 4}, {1, 0}, true},
        {"copy byte left over", {2, 1, 3}, {1, 4}, {5, 1, 2, 3, 4, 5}, {1, 0}, false},
        {"copy count left over", {2, 1, 3}, {2, 4, 1}, {4, 1, 2, 3, 4}, {1, 0}, false},
        {"rel32 index left over", {2, 1, 3}, {1, 4}, {4, 1, 2, 3, 4}, {2, 0, 0}, false},
        {"copy bytes run out", {2, 1, 3}, {1, 4}, {3, 1, 2, 3}, {1, 0}, false},
        {"copy count missing", {2, 1, 1}, {1, 4}, {4, 1, 2, 3, 4}, {0}, false},
        {"single copy byte missing", {1, 2}, {0}, {0}, {0}, false},
        {"rel32 index missing", {2, 3, 3}, {0}, {0}, {1, 0}, false},
        {"origin missing", {2, 0, 0}, {0}, {0}, {0}, false},
    };
    for (const auto &c : streams) {
        SCOPED_TRACE(c.name);
        SinkStreamSet set;
        const Bytes fields[9]
            = {{0, 0}, c.ops, c.copyBytes, {0}, c.rel32Ix, {0}, {1, 0x10}, c.counts, {}};
        for (size_t i = 0; i < 9; ++i)
            set.stream(i)->Write(fields[i].data(), fields[i].size());
        SinkStream whole;
        ASSERT_TRUE(set.SerializeTo(&whole));
        SourceStreamSet source;
        ASSERT_TRUE(source.Parse(whole.Buffer(), whole.Length()));
        EncodedProgram *read = nullptr;
        ASSERT_EQ(ReadEncodedProgram(&source, &read), STATUS_OK);
        SinkStream out;
        EXPECT_EQ(Assemble(read, &out), c.ok ? STATUS_OK : STATUS_ASSEMBLY_FAILED);
        DeleteEncodedProgram(read);
    }
}

TEST(EncodedProgramAssemble, PeRelocationBlocksPerPage)
{
    const struct
    {
        ExecutableType type;
        uint32_t entryType;
    } cases[] = {{WIN_32_X86, 3}, {WIN_32_X64, 10}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.type);
        Program program;
        program->DefineAbs32Label(0, 0x100);
        program->EndLabels();
        const uint8_t code[] = {0xCC};
        program->AddCopy(1, code);
        program->AddPeMakeRelocs(c.type);
        program->AddOrigin(0x2010);
        program->AddAbs32(0);
        program->AddOrigin(0x1008);
        program->AddAbs32(0);
        program->AddOrigin(0x1004);
        program->AddAbs32(0);

        const uint32_t t = c.entryType << 12;
        Bytes expected = {0xCC};
        PutU32(&expected, 0x1000); // the lower page first
        PutU32(&expected, 12);
        PutU16(&expected, t + 4);
        PutU16(&expected, t + 8);
        PutU32(&expected, 0x2000);
        PutU32(&expected, 12);
        PutU16(&expected, t + 16);
        PutU16(&expected, 0); // padding to a multiple of 4
        for (int i = 0; i < 3; ++i)
            PutU32(&expected, 0x100);
        EXPECT_EQ(AssembleBytes(program.p), expected);
        // Assembling again lists every relocation once, not twice.
        EXPECT_EQ(AssembleBytes(program.p), expected);
    }
}

TEST(EncodedProgramAssemble, PePageWithMoreEntriesThanBytesFails)
{
    Program program;
    program->DefineAbs32Label(0, 0);
    program->EndLabels();
    program->AddPeMakeRelocs(WIN_32_X86);
    for (int i = 0; i < 4097; ++i) {
        program->AddOrigin(0x3000);
        program->AddAbs32(0);
    }
    AssembleBytes(program.p, STATUS_ASSEMBLY_FAILED);

    Program full;
    full->DefineAbs32Label(0, 0);
    full->EndLabels();
    full->AddPeMakeRelocs(WIN_32_X86);
    for (int i = 0; i < 4096; ++i) {
        full->AddOrigin(0x3000 + i);
        full->AddAbs32(0);
    }
    const Bytes out = AssembleBytes(full.p);
    ASSERT_EQ(out.size(), 8 + 2 * 4096 + 4 * 4096u);
    EXPECT_EQ(Bytes(out.begin() + 4, out.begin() + 8), (Bytes {0x08, 0x20, 0, 0}));
}

TEST(EncodedProgramAssemble, ElfRelocationTable)
{
    const struct
    {
        bool arm;
        uint32_t entryType;
    } cases[] = {{false, 8}, {true, 23}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.entryType);
        Program program;
        program->setImageBase(0x100);
        program->DefineAbs32Label(0, 0x10);
        program->DefineAbs32Label(1, 0x20);
        program->EndLabels();
        const uint8_t header[] = {0x7F, 'E'};
        program->AddCopy(2, header);
        if (c.arm)
            program->AddElfARMMakeRelocs();
        else
            program->AddElfMakeRelocs();
        program->AddOrigin(0x3000);
        program->AddAbs32(1);
        program->AddOrigin(0x2000);
        program->AddAbs32(0);

        Bytes expected = {0x7F, 'E'};
        for (uint32_t rva : {0x2000u, 0x3000u}) {
            PutU32(&expected, rva);
            PutU32(&expected, c.entryType);
        }
        PutU32(&expected, 0x120);
        PutU32(&expected, 0x110);
        EXPECT_EQ(AssembleBytes(program.p), expected);
    }
}

TEST(EncodedProgramLog, SummaryLine)
{
    Program program;
    program->setImageBase(0x8048000);
    program->DefineAbs32Label(1, 5);
    program->DefineRel32Label(0, 5);
    program->EndLabels();
    program->AddOrigin(0);
    program->AddCopy(3, "abc");
    program->AddRel32(0);
    ProgramLogLines log;
    program->LogSummary();
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0].first, 3);
    EXPECT_EQ(log.lines[0].second,
              "EncodedProgram Summary\n"
              "  image base  134512640\n"
              "  abs32 rvas  2\n"
              "  rel32 rvas  1\n"
              "  ops         3\n"
              "  origins     1\n"
              "  copy_counts 1\n"
              "  copy_bytes  3\n"
              "  abs32_ix    0\n"
              "  rel32_ix    1");
}

TEST(EncodedProgramMemory, FailedAllocationsAreReported)
{
    Program program;
    program->DefineRel32Label(0, 0x10);
    program->EndLabels();
    for (int i = 0; i < 100; ++i) {
        program->AddCopy(1, "x");
        program->AddRel32(0);
    }
    Bytes serialised;
    EncodedProgram *read = WriteAndReadBack(program.p, &serialised);
    DeleteEncodedProgram(read);

    // Each allocation of reading, then of assembling, fails in turn.
    for (long long successes = 0; successes < 12; ++successes) {
        SCOPED_TRACE(successes);
        SourceStreamSet source;
        ASSERT_TRUE(source.Parse(serialised.data(), serialised.size()));
        EncodedProgram *again = nullptr;
        Status status;
        {
            ScopedAllocationFailure fail(successes);
            status = ReadEncodedProgram(&source, &again);
        }
        if (status != STATUS_OK) {
            EXPECT_EQ(status, STATUS_READ_PROGRAM_FAILED);
            EXPECT_EQ(again, nullptr);
            continue;
        }
        SinkStream out;
        {
            ScopedAllocationFailure fail(0);
            EXPECT_EQ(Assemble(again, &out), STATUS_ASSEMBLY_FAILED);
        }
        DeleteEncodedProgram(again);
    }

    // Building: a table that cannot grow reports it.
    Program small;
    for (int call = 0; call < 3; ++call) {
        ScopedAllocationFailure fail(0);
        const bool done = call == 0 ? small->AddOrigin(1)
            : call == 1             ? small->DefineRel32Label(0, 1)
                                    : small->AddCopy(2, "ab");
        EXPECT_FALSE(done) << call;
    }
    DeleteEncodedProgram(nullptr);
}

// Programs built through the emit API come back as the bytes they were made from.
TEST(EncodedProgramRoundTrip, AssemblyProgramToImageBytes)
{
    // An x86 ELF-like image: code with a call and an absolute address, then the relocation
    // table that the assembler regenerates.
    // push ebp; call 0x1006; ret; mov eax, 0x1006; nop (at RVA 0x1000, image base 0).
    const Bytes image = {0x55, 0xE8, 0, 0, 0, 0, 0xC3, 0xB8, 0x06, 0x10, 0, 0, 0x90};
    const uint32_t absValue = 0x1006;
    Bytes relocs;
    PutU32(&relocs, 0x1008);
    PutU32(&relocs, 8);

    AssemblyProgram program(EXE_ELF_32_X86);
    program.setImageBase(0);
    Label *callTarget = program.FindOrMakeRel32Label(0x1006);
    Label *absTarget = program.FindOrMakeAbs32Label(absValue);
    program.AssignIndexesInOrder();
    ASSERT_TRUE(program.EmitOrigin(0x1000));
    ASSERT_TRUE(program.EmitByte(0x55));
    ASSERT_TRUE(program.EmitByte(0xE8));
    ASSERT_TRUE(program.EmitRel32(callTarget));
    ASSERT_TRUE(program.EmitBytes(image.data() + 6, 2));
    ASSERT_TRUE(program.EmitAbs32(absTarget));
    ASSERT_TRUE(program.EmitByte(0x90));
    ASSERT_TRUE(program.EmitElfRelocs());

    ASSERT_EQ(TrimLabels(&program), STATUS_OK);
    EncodedProgram *encoded = nullptr;
    ASSERT_EQ(Encode(&program, &encoded), STATUS_OK);
    EncodedProgram *read = WriteAndReadBack(encoded);
    DeleteEncodedProgram(encoded);
    ASSERT_NE(read, nullptr);

    Bytes expected = image;
    expected.insert(expected.end(), relocs.begin(), relocs.end());
    EXPECT_EQ(AssembleBytes(read), expected);
    DeleteEncodedProgram(read);
}

TEST(EncodedProgramRoundTrip, ArmProgramWithTrimmedBranches)
{
    // Thumb code at 0x8000: a conditional branch and a BL to a routine called often (label kept),
    // and a B to a place branched to once (label trimmed: its bytes are carried literally).
    const Bytes image = {
        0x02, 0xD0, // 0x8000: beq 0x8008
        0x00, 0xF0, 0x02, 0xF8, // 0x8002: bl 0x800A
        0x01, 0xE0, // 0x8006: b 0x800C
        0x70, 0x47, // 0x8008: bx lr
        0x70, 0x47, // 0x800A: bx lr
        0x00, 0xBF, // 0x800C: nop
    };
    AssemblyProgram program(ELF_32_ARM);
    const struct
    {
        uint32_t kind, at, lookups;
    } branches[] = {{0, 0, 6}, {3, 2, 7}, {1, 6, 1}};
    std::vector<std::pair<uint16_t, Label *>> made;
    for (const auto &b : branches) {
        const uint8_t *p = image.data() + b.at;
        uint32_t instruction
            = b.kind < 2 ? (p[0] | p[1] << 8) : ((p[0] | p[1] << 8) << 16) | (p[2] | p[3] << 8);
        uint16_t op = 0;
        uint32_t offset = 0;
        ASSERT_TRUE(
            ArmBranchCompression::Compress(b.kind, instruction, 0x8000 + b.at, &op, &offset));
        Label *label = nullptr;
        for (uint32_t i = 0; i < b.lookups; ++i)
            label = program.FindOrMakeRel32Label(0x8000 + b.at + offset);
        made.emplace_back(op, label);
    }
    program.AssignIndexesInOrder();
    ASSERT_TRUE(program.EmitOrigin(0x8000));
    ASSERT_TRUE(program.EmitRel32Arm(made[0].first, made[0].second, image.data(), 2));
    ASSERT_TRUE(program.EmitRel32Arm(made[1].first, made[1].second, image.data() + 2, 4));
    ASSERT_TRUE(program.EmitRel32Arm(made[2].first, made[2].second, image.data() + 6, 2));
    ASSERT_TRUE(program.EmitBytes(image.data() + 8, 6));

    ASSERT_EQ(TrimLabels(&program), STATUS_OK);
    EXPECT_EQ(program.rel32Labels().size(), 2u);
    EncodedProgram *encoded = nullptr;
    ASSERT_EQ(Encode(&program, &encoded), STATUS_OK);
    EXPECT_EQ(
        List(encoded->ops()),
        (Words {EncodedProgram::OP_ORIGIN, made[0].first, made[1].first, EncodedProgram::OP_COPY}));
    EncodedProgram *read = WriteAndReadBack(encoded);
    DeleteEncodedProgram(encoded);
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(AssembleBytes(read), image);
    DeleteEncodedProgram(read);
}
