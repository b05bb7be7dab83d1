#include <gtest/gtest.h>

#include <set>
#include <string>

#include "ensemblepatchapplier.h"
#include "ensemblepatchwriter.h"
#include "fixturefiles.h"
#include "streams.h"
#include "test_lzma2_logcapture.h"

using namespace quorpatch;
using namespace qvxtest;

namespace {

// A small deterministic generator, so a failing case can be replayed.
struct Random
{
    u32 state;
    u32 next()
    {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
    std::size_t below(std::size_t n) { return n ? next() % n : 0; }
};

// Changes a few bytes: flips, random values, or cuts the data short.
void mutate(Bytes *data, Random *random)
{
    if (data->empty()) {
        data->push_back(u8(random->next()));
        return;
    }
    const std::size_t changes = 1 + random->below(4);
    for (std::size_t i = 0; i < changes; ++i) {
        const std::size_t at = random->below(data->size());
        switch (random->below(4)) {
        case 0:
            (*data)[at] ^= u8(1u << random->below(8));
            break;
        case 1:
            (*data)[at] = u8(random->next());
            break;
        case 2:
            (*data)[at] = 0xFF;
            break;
        default:
            data->resize(at);
            return;
        }
    }
}

const std::set<int> kKnownStatuses = {STATUS_OK,
                                      STATUS_GENERAL_ERROR,
                                      STATUS_BAD_HEADER,
                                      STATUS_CHECKSUM_MISMATCH,
                                      STATUS_BAD_ELEMENT,
                                      STATUS_STREAM_ERROR,
                                      STATUS_STREAM_NOT_CONSUMED,
                                      STATUS_READ_PROGRAM_FAILED,
                                      STATUS_NOT_EXECUTABLE,
                                      STATUS_DISASSEMBLY_FAILED,
                                      STATUS_ASSEMBLY_FAILED,
                                      STATUS_TRIM_FAILED};

void expectSoundFailure(const Bytes &oldFile, const Bytes &newFile, const Bytes &patch)
{
    SourceStream old(oldFile.data(), oldFile.size());
    SourceStream patchStream(patch.data(), patch.size());
    SinkStream output;
    const Status status = ApplyEnsemblePatchStreams(&old, &patchStream, &output);
    EXPECT_TRUE(kKnownStatuses.count(status)) << status;
    if (status == STATUS_OK)
        EXPECT_TRUE(Bytes(output.Buffer(), output.Buffer() + output.Length()) == newFile);
    else
        EXPECT_EQ(output.Length(), 0u);
}

struct HostileCase
{
    const char *name;
    const char *oldBuild;
    const char *newBuild;
};

void PrintTo(const HostileCase &c, std::ostream *os)
{
    *os << c.name;
}

class EnsemblePatchHostile : public ::testing::TestWithParam<HostileCase>
{ };

// Damage in any stream of the payload, including the element count, bounds and every
// sub-patch, is refused with a status and never reads or writes out of bounds (the sanitizer
// build checks the latter).
TEST_P(EnsemblePatchHostile, DamagedPayloadStreamsAreRefused)
{
    const Bytes oldFile = Fixture(GetParam().oldBuild);
    const Bytes newFile = Fixture(GetParam().newBuild);
    EnsemblePatchParts parts;
    ASSERT_TRUE(
        MakeEnsemblePatchParts(oldFile, newFile, FindEnsembleElements(oldFile, newFile), &parts));
    Lzma2LogCapture quiet;
    Random random {0x9E3779B9u};
    for (int round = 0; round < 150; ++round) {
        EnsemblePatchParts damaged = parts;
        mutate(&damaged.streams[random.below(4)], &random);
        SCOPED_TRACE(round);
        expectSoundFailure(oldFile, newFile, SerializeEnsemblePatch(damaged));
    }
}

// The corrected encoded programs are what the old elements' programs turn into: damage in
// them reaches the program reader and the assembler.
TEST_P(EnsemblePatchHostile, DamagedProgramsAreRefused)
{
    const Bytes oldFile = Fixture(GetParam().oldBuild);
    const Bytes newFile = Fixture(GetParam().newBuild);
    const std::vector<EnsembleElement> elements = FindEnsembleElements(oldFile, newFile);
    ASSERT_EQ(elements.size(), 1u);
    EnsemblePatchParts parts;
    ASSERT_TRUE(MakeEnsemblePatchParts(oldFile, newFile, elements, &parts));
    bool ok = false;
    const Bytes oldElements
        = TransformedElements(oldFile, {{elements[0].oldOffset, elements[0].oldLength}}, &ok);
    ASSERT_TRUE(ok);
    const Bytes newElements
        = TransformedElements(newFile, {{elements[0].newOffset, elements[0].newLength}}, &ok);
    ASSERT_TRUE(ok);

    Lzma2LogCapture quiet;
    Random random {0x2545F491u};
    for (int round = 0; round < 120; ++round) {
        Bytes damagedElements = newElements;
        // Past the set's header, so that the set still parses and the program is read.
        const std::size_t header = 15;
        Bytes body(damagedElements.begin() + header, damagedElements.end());
        for (int i = 0; i < 3; ++i) {
            const std::size_t at = random.below(body.size());
            body[at] = random.below(2) ? u8(random.next()) : u8(body[at] ^ 0x80);
        }
        std::copy(body.begin(), body.end(), damagedElements.begin() + header);
        EnsemblePatchParts damaged = parts;
        ASSERT_TRUE(MakeBinaryDiff(oldElements, damagedElements, &damaged.streams[2]));
        SCOPED_TRACE(round);
        expectSoundFailure(oldFile, newFile, SerializeEnsemblePatch(damaged));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Builds, EnsemblePatchHostile,
    ::testing::Values(HostileCase {"Elf32X86", "elf32_x86_pie_v1", "elf32_x86_pie_v2"},
                      HostileCase {"Elf64X64", "elf64_x64_pie_v1", "elf64_x64_pie_v2"},
                      HostileCase {"Elf32Arm", "elf32_arm_pie_v1", "elf32_arm_pie_v2"},
                      HostileCase {"Pe32", "pe32_x86_v1.exe", "pe32_x86_v2.exe"},
                      HostileCase {"Pe32Plus", "pe64_x64_v1.exe", "pe64_x64_v2.exe"}),
    [](const ::testing::TestParamInfo<HostileCase> &info) { return info.param.name; });

} // namespace
