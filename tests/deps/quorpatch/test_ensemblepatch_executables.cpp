#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <string>

#include "detection.h"
#include "ensemblepatchapplier.h"
#include "ensemblepatchwriter.h"
#include "fixturefiles.h"
#include "streams.h"

using namespace quorpatch;
using namespace qvxtest;

namespace {

Status applyStreams(const Bytes &oldFile, const Bytes &patch, Bytes *result)
{
    SourceStream old(oldFile.data(), oldFile.size());
    SourceStream patchStream(patch.data(), patch.size());
    SinkStream output;
    const Status status = ApplyEnsemblePatchStreams(&old, &patchStream, &output);
    result->assign(output.Buffer(), output.Buffer() + output.Length());
    return status;
}

// Two builds of the same source, the second with a changed function.
struct BuildPair
{
    const char *name;
    const char *oldBuild;
    const char *newBuild;
    ExecutableType type;
};

void PrintTo(const BuildPair &c, std::ostream *os)
{
    *os << c.name;
}

class EnsemblePatchExecutables : public ::testing::TestWithParam<BuildPair>
{ };

TEST_P(EnsemblePatchExecutables, OldBuildBecomesTheNewBuildThroughOneElement)
{
    const Bytes oldFile = Fixture(GetParam().oldBuild);
    const Bytes newFile = Fixture(GetParam().newBuild);
    ASSERT_NE(oldFile, newFile);

    const std::vector<EnsembleElement> elements = FindEnsembleElements(oldFile, newFile);
    ASSERT_EQ(elements.size(), 1u);
    EXPECT_EQ(elements[0].type, GetParam().type);

    EnsemblePatchParts parts;
    ASSERT_TRUE(MakeEnsemblePatchParts(oldFile, newFile, elements, &parts));
    EXPECT_GT(parts.finalInputSize, oldFile.size()) << "the reformed element follows the old file";
    const Bytes patch = SerializeEnsemblePatch(parts);

    Bytes result;
    ASSERT_EQ(applyStreams(oldFile, patch, &result), STATUS_OK);
    EXPECT_EQ(result, newFile);

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string oldPath = dir.filePath("old").toStdString();
    const std::string patchPath = dir.filePath("patch").toStdString();
    const std::string newPath = dir.filePath("new").toStdString();
    ASSERT_TRUE(WriteBytes(oldPath, oldFile));
    ASSERT_TRUE(WriteBytes(patchPath, patch));
    ASSERT_EQ(ApplyEnsemblePatchFiles(oldPath.c_str(), patchPath.c_str(), newPath.c_str()),
              STATUS_OK);
    EXPECT_EQ(ReadFileBytes(newPath), newFile);
}

TEST_P(EnsemblePatchExecutables, SameBuildPatchesToItself)
{
    const Bytes file = Fixture(GetParam().oldBuild);
    const Bytes patch = MakeEnsemblePatch(file, file);
    ASSERT_FALSE(patch.empty());
    Bytes result;
    ASSERT_EQ(applyStreams(file, patch, &result), STATUS_OK);
    EXPECT_EQ(result, file);
}

// Errors that only an element can reach.
TEST_P(EnsemblePatchExecutables, ElementStreamsMustBeConsumedAndReadable)
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

    struct Case
    {
        const char *name;
        Bytes correctedElements;
        Status expected;
    };
    const Case cases[] = {
        {"no nested set", PredictedParameters(0), STATUS_STREAM_ERROR},
        {"an empty program", PredictedParameters(1), STATUS_READ_PROGRAM_FAILED},
    };
    for (const Case &c : cases) {
        EnsemblePatchParts changed = parts;
        ASSERT_TRUE(MakeBinaryDiff(oldElements, c.correctedElements, &changed.streams[2]));
        Bytes result;
        EXPECT_EQ(applyStreams(oldFile, SerializeEnsemblePatch(changed), &result), c.expected)
            << c.name;
        EXPECT_TRUE(result.empty()) << c.name;
    }

    // The unchanged old element set, doubled: the second copy is left unread.
    {
        SourceStreamSet set;
        ASSERT_TRUE(set.Parse(oldElements.data(), oldElements.size()));
        std::vector<Bytes> streams(set.count());
        for (std::size_t i = 0; i < set.count(); ++i) {
            SourceStream *s = set.stream(i);
            streams[i].assign(s->Buffer(), s->Buffer() + s->Remaining());
            streams[i].insert(streams[i].end(), s->Buffer(), s->Buffer() + s->Remaining());
        }
        EnsemblePatchParts changed = parts;
        ASSERT_TRUE(MakeBinaryDiff(oldElements, SerializePayloadSet(streams), &changed.streams[2]));
        Bytes result;
        EXPECT_EQ(applyStreams(oldFile, SerializeEnsemblePatch(changed), &result),
                  STATUS_STREAM_NOT_CONSUMED);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Builds, EnsemblePatchExecutables,
    ::testing::Values(BuildPair {"Elf32X86", "elf32_x86_pie_v1", "elf32_x86_pie_v2",
                                 EXE_ELF_32_X86},
                      BuildPair {"Elf64X64", "elf64_x64_pie_v1", "elf64_x64_pie_v2", ELF_64_X64},
                      BuildPair {"Elf32Arm", "elf32_arm_pie_v1", "elf32_arm_pie_v2", ELF_32_ARM},
                      BuildPair {"Pe32", "pe32_x86_v1.exe", "pe32_x86_v2.exe", WIN_32_X86},
                      BuildPair {"Pe32Plus", "pe64_x64_v1.exe", "pe64_x64_v2.exe", WIN_32_X64}),
    [](const ::testing::TestParamInfo<BuildPair> &info) { return info.param.name; });

// Only one Mach-O build exists: it patches to itself and to a copy with data appended.
TEST(EnsemblePatchMacho, BuildPatchesToItselfAndToAnExtendedCopy)
{
    const Bytes file = Fixture("macho_x64_bare");
    Bytes extended = file;
    extended.insert(extended.end(), 333, 0x21);
    const Bytes *const targets[] = {&file, &extended};
    for (const Bytes *target : targets) {
        const std::vector<EnsembleElement> elements = FindEnsembleElements(file, *target);
        ASSERT_EQ(elements.size(), 1u);
        EXPECT_EQ(elements[0].type, MACHO_X64);
        EnsemblePatchParts parts;
        ASSERT_TRUE(MakeEnsemblePatchParts(file, *target, elements, &parts));
        Bytes result;
        ASSERT_EQ(applyStreams(file, SerializeEnsemblePatch(parts), &result), STATUS_OK);
        EXPECT_EQ(result, *target);
    }
}

// An executable inside a larger file: the element lies at an offset of the old file.
TEST(EnsemblePatchEmbedded, ElementAtAnOffsetOfTheOldFile)
{
    const Bytes oldBuild = Fixture("elf64_x64_pie_v1");
    const Bytes newBuild = Fixture("elf64_x64_pie_v2");
    const Bytes lead = {'h', 'e', 'a', 'd', 'e', 'r', 0, 1, 2, 3};
    Bytes oldFile = lead;
    oldFile.insert(oldFile.end(), oldBuild.begin(), oldBuild.end());
    Bytes newFile = lead;
    newFile.insert(newFile.end(), newBuild.begin(), newBuild.end());
    newFile.push_back(0x55);

    const std::vector<EnsembleElement> elements
        = {{lead.size(), oldBuild.size(), lead.size(), newBuild.size(), ELF_64_X64}};
    EnsemblePatchParts parts;
    ASSERT_TRUE(MakeEnsemblePatchParts(oldFile, newFile, elements, &parts));
    Bytes result;
    ASSERT_EQ(applyStreams(oldFile, SerializeEnsemblePatch(parts), &result), STATUS_OK);
    EXPECT_EQ(result, newFile);
}

} // namespace
