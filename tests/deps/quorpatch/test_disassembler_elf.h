#ifndef QVX_TEST_DISASSEMBLER_ELF_H
#define QVX_TEST_DISASSEMBLER_ELF_H

// Helpers of the disassembler tests: a builder for small ELF images, the ELF fixtures and the
// round trip through the encoded program.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "assemblyprogram.h"
#include "disassemblerelf32arm.h"
#include "disassemblerelf32x86.h"
#include "disassemblerelf64x64.h"
#include "encodedprogram.h"
#include "fixturefiles.h"
#include "streams.h"

namespace elftest {

using namespace quorpatch;

typedef std::vector<uint8_t> Bytes;

inline void put16(Bytes &b, size_t at, uint16_t v)
{
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}

inline void put32(Bytes &b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = uint8_t(v >> (8 * i));
}

inline void put64(Bytes &b, size_t at, uint64_t v)
{
    put32(b, at, uint32_t(v));
    put32(b, at + 4, uint32_t(v >> 32));
}

enum Machine { X86 = 3, ARM = 40, X64 = 62 };

// Where the header fields lie for each word size.
struct ElfFields
{
    size_t phoff, shoff, phnum, shentsize, shnum, shstrndx;
    size_t shSize, shAddr, shOffset, shBytes, shEntsize;
    size_t phSize, pOffset, pFilesz, pMemsz;
    size_t relSize;
};
inline const ElfFields kElf32Fields
    = {28, 32, 44, 46, 48, 50, 40, 12, 16, 20, 36, 32, 4, 16, 20, 8};
inline const ElfFields kElf64Fields
    = {32, 40, 56, 58, 60, 62, 64, 16, 24, 32, 56, 56, 8, 32, 40, 16};

// A small ELF image whose addresses equal its file offsets: one LOAD segment over the whole
// file, the sections null, .text, .data and a relocation section in this order, then the
// section header table.
struct ElfBuilder
{
    Machine machine = X86;
    Bytes text;
    Bytes data;
    std::vector<std::pair<uint64_t, uint64_t>> relocations; // r_offset, r_info

    // Filled by build().
    size_t textOffset = 0, dataOffset = 0, relOffset = 0, shoff = 0;

    bool is64() const { return machine == X64; }
    const ElfFields &fields() const { return is64() ? kElf64Fields : kElf32Fields; }
    size_t sectionHeader(int index) const { return shoff + index * fields().shSize; }

    void putWord(Bytes &b, size_t at, uint64_t v) const
    {
        if (is64())
            put64(b, at, v);
        else
            put32(b, at, uint32_t(v));
    }

    Bytes build()
    {
        const ElfFields &f = fields();
        const size_t headerSize = is64() ? 64 : 52;
        textOffset = (headerSize + f.phSize + 15) & ~size_t(15);
        dataOffset = (textOffset + text.size() + 3) & ~size_t(3);
        relOffset = (dataOffset + data.size() + 7) & ~size_t(7);
        shoff = relOffset + relocations.size() * f.relSize;
        const size_t total = shoff + 4 * f.shSize;

        Bytes b(total, 0);
        b[0] = 0x7F;
        b[1] = 'E';
        b[2] = 'L';
        b[3] = 'F';
        b[4] = is64() ? 2 : 1;
        b[5] = 1;
        b[6] = 1;
        put16(b, 16, 3); // shared object
        put16(b, 18, uint16_t(machine));
        put32(b, 20, 1);
        putWord(b, f.phoff, headerSize);
        putWord(b, f.shoff, shoff);
        put16(b, f.phnum, 1);
        put16(b, f.shentsize, uint16_t(f.shSize));
        put16(b, f.shnum, 4);
        put16(b, f.shstrndx, 0);

        const size_t ph = headerSize;
        put32(b, ph, 1); // PT_LOAD at offset 0, address 0
        putWord(b, ph + f.pFilesz, total);
        putWord(b, ph + f.pMemsz, total);

        std::copy(text.begin(), text.end(), b.begin() + textOffset);
        std::copy(data.begin(), data.end(), b.begin() + dataOffset);
        for (size_t i = 0; i < relocations.size(); ++i) {
            putWord(b, relOffset + i * f.relSize, relocations[i].first);
            putWord(b, relOffset + i * f.relSize + f.relSize / 2, relocations[i].second);
        }
        section(b, 1, 1, textOffset, text.size(), 0);
        section(b, 2, 1, dataOffset, data.size(), 0);
        section(b, 3, 9, relOffset, relocations.size() * f.relSize, f.relSize);
        return b;
    }

    void section(Bytes &b, int index, uint32_t type, uint64_t offset, uint64_t size,
                 uint64_t entsize) const
    {
        const ElfFields &f = fields();
        const size_t at = sectionHeader(index);
        put32(b, at + 4, type);
        putWord(b, at + f.shAddr, offset);
        putWord(b, at + f.shOffset, offset);
        putWord(b, at + f.shBytes, size);
        putWord(b, at + f.shEntsize, entsize);
    }
};

inline std::unique_ptr<DisassemblerElf> makeDisassembler(Machine machine, const uint8_t *image,
                                                         size_t size)
{
    switch (machine) {
    case X86:
        return std::unique_ptr<DisassemblerElf>(new DisassemblerElf32X86(image, size));
    case ARM:
        return std::unique_ptr<DisassemblerElf>(new DisassemblerElf32ARM(image, size));
    case X64:
        break;
    }
    return std::unique_ptr<DisassemblerElf>(new DisassemblerElf64X64(image, size));
}

inline std::unique_ptr<DisassemblerElf> makeDisassembler(Machine machine, const Bytes &image)
{
    return makeDisassembler(machine, image.data(), image.size());
}

inline ExecutableType typeOf(Machine machine)
{
    return machine == X86 ? EXE_ELF_32_X86 : machine == ARM ? ELF_32_ARM : ELF_64_X64;
}

inline size_t countKind(const AssemblyProgram &program, InstructionKind kind)
{
    size_t n = 0;
    for (size_t i = 0; i < program.instructionCount(); ++i)
        n += program.instruction(i)->op() == kind;
    return n;
}

// The bytes the program stands for, with references, branches and relocation markers written
// as a tag; enough to see which bytes were left out.
inline std::string literalBytes(const AssemblyProgram &program)
{
    std::string out;
    for (size_t i = 0; i < program.instructionCount(); ++i) {
        const Instruction *insn = program.instruction(i);
        switch (insn->op()) {
        case INSN_BYTE:
            out += char(static_cast<const ByteInstruction *>(insn)->byteValue());
            break;
        case INSN_BYTES: {
            const BytesInstruction *bytes = static_cast<const BytesInstruction *>(insn);
            out.append(reinterpret_cast<const char *>(bytes->bytes()), bytes->count());
            break;
        }
        case INSN_ORIGIN:
            break;
        default:
            out += "<" + std::to_string(int(insn->op())) + ">";
            break;
        }
    }
    return out;
}

// Encodes, writes, reads back and assembles; the assembled bytes.
inline Bytes reassemble(const AssemblyProgram &program)
{
    std::unique_ptr<EncodedProgram> encoded(program.Encode());
    EXPECT_TRUE(encoded);
    if (!encoded)
        return Bytes();
    SinkStreamSet sinks;
    EXPECT_TRUE(encoded->WriteTo(&sinks));
    SinkStream serialized;
    EXPECT_TRUE(sinks.SerializeTo(&serialized));
    SourceStreamSet sources;
    EXPECT_TRUE(sources.Parse(serialized.Buffer(), serialized.Length()));
    std::unique_ptr<EncodedProgram> readBack(new EncodedProgram);
    EXPECT_TRUE(readBack->ReadFrom(&sources));
    SinkStream assembled;
    EXPECT_TRUE(readBack->AssembleTo(&assembled));
    return Bytes(assembled.Buffer(), assembled.Buffer() + assembled.Length());
}

inline Bytes readFixture(const std::string &name)
{
    return qvxtest::ReadFixture(name);
}

// .data holds two absolute addresses (of .text) at offsets 0 and 8.
inline ElfBuilder relocatedImage(Machine machine)
{
    ElfBuilder builder;
    builder.machine = machine;
    builder.text = Bytes(24, 0x90);
    builder.data = Bytes(16, 0x11);
    return builder;
}

struct RelocationImage
{
    Bytes image;
    ElfBuilder builder;
};

inline RelocationImage buildRelocated(Machine machine,
                                      const std::vector<std::pair<int, uint32_t>> &entries)
{
    // entries: (offset in .data, r_info); the address stored there is textOffset.
    RelocationImage r;
    r.builder = relocatedImage(machine);
    r.image = r.builder.build(); // for the offsets
    for (const auto &e : entries)
        r.builder.relocations.push_back({r.builder.dataOffset + e.first, e.second});
    r.image = r.builder.build();
    put32(r.image, r.builder.dataOffset, uint32_t(r.builder.textOffset));
    put32(r.image, r.builder.dataOffset + 8, uint32_t(r.builder.textOffset + 4));
    return r;
}

inline std::string section(const RelocationImage &r, size_t offset, size_t size)
{
    return std::string(r.image.begin() + offset, r.image.begin() + offset + size);
}

struct Fixture
{
    const char *file;
    Machine machine;
    ExecutableType type;
    // Pinned counts: the program of an image is part of the patch format.
    size_t abs32Labels;
    size_t abs32References;
    size_t rel32Labels;
    size_t rel32References;
    size_t relocationMarkers; // INSN_ELF_RELOCS / INSN_ELF_ARM_RELOCS
};

inline void PrintTo(const Fixture &f, std::ostream *os)
{
    *os << f.file;
}

// The bare images' relocation tables are exactly their absolute references; the hosted ones
// also relocate .init_array and .fini_array and refer to symbols. ARM tables are regenerated
// after their leading entries, x86 ones only when they start with the absolute references.
inline const Fixture kFixtures[] = {
    {"elf32_x86_bare", X86, EXE_ELF_32_X86, 6, 7, 4, 4, 1},
    {"elf32_x86_pie_v1", X86, EXE_ELF_32_X86, 10, 10, 13, 20, 0},
    {"elf32_x86_pie_v2", X86, EXE_ELF_32_X86, 10, 10, 14, 23, 0},
    {"elf64_x64_bare", X64, ELF_64_X64, 0, 0, 4, 4, 0},
    {"elf64_x64_pie_v1", X64, ELF_64_X64, 0, 0, 30, 34, 0},
    {"elf64_x64_pie_v2", X64, ELF_64_X64, 0, 0, 34, 40, 0},
    {"elf32_arm_bare", ARM, ELF_32_ARM, 6, 7, 9, 9, 1},
    {"elf32_arm_pie_v1", ARM, ELF_32_ARM, 10, 10, 51, 61, 1},
    {"elf32_arm_pie_v2", ARM, ELF_32_ARM, 10, 10, 56, 68, 1},
};

} // namespace elftest

#endif // QVX_TEST_DISASSEMBLER_ELF_H
