#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "ensemblepatchapplier.h"
#include "ensemblepatchwriter.h"
#include "qvdiff.h"
#include "streams.h"

using namespace quorpatch;
using namespace qvxtest;

namespace {

Bytes bytesOf(const std::string &text)
{
    return Bytes(text.begin(), text.end());
}

// Deterministic filler that diffs like data, not like a repeated pattern.
Bytes pseudoRandom(std::size_t length, u32 seed)
{
    Bytes data(length);
    for (std::size_t i = 0; i < length; ++i) {
        seed = seed * 1103515245u + 12345u;
        data[i] = u8(seed >> 16);
    }
    return data;
}

Bytes varint(u32 value)
{
    SinkStream sink;
    sink.WriteVarint32(value);
    return Bytes(sink.Buffer(), sink.Buffer() + sink.Length());
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// Applies in memory; the output is compared only on success.
Status applyStreams(const Bytes &oldFile, const Bytes &patch, Bytes *result = nullptr)
{
    SourceStream old(oldFile.data(), oldFile.size());
    SourceStream patchStream(patch.data(), patch.size());
    SinkStream output;
    const Status status = ApplyEnsemblePatchStreams(&old, &patchStream, &output);
    if (result)
        result->assign(output.Buffer(), output.Buffer() + output.Length());
    if (status != STATUS_OK) {
        EXPECT_EQ(output.Length(), 0u) << "a failed application must leave no partial output";
    }
    return status;
}

Bytes prefix(const Bytes &data, std::size_t length)
{
    return Bytes(data.begin(), data.begin() + std::ptrdiff_t(length));
}

Bytes diffOf(const Bytes &oldData, const Bytes &newData)
{
    Bytes diff;
    EXPECT_TRUE(MakeBinaryDiff(oldData, newData, &diff));
    return diff;
}

const Bytes kOld = concat({bytesOf("The old file of the ensemble patch tests. "),
                           pseudoRandom(6000, 7), bytesOf("tail of the old file")});
const Bytes kNew = concat({bytesOf("The new file of the ensemble patch tests! "),
                           pseudoRandom(3000, 7), pseudoRandom(500, 99), pseudoRandom(3000, 8),
                           bytesOf("tail of the new file, a little longer")});

EnsemblePatchParts plainParts()
{
    EnsemblePatchParts parts;
    EXPECT_TRUE(MakeEnsemblePatchParts(kOld, kNew, {}, &parts));
    return parts;
}

// ---------------------------------------------------------------------------------------------
// Round trips of plain files: no element, stream 3 alone makes the new file.

struct RoundTripCase
{
    const char *name;
    Bytes oldFile;
    Bytes newFile;
};

void PrintTo(const RoundTripCase &c, std::ostream *os)
{
    *os << c.name;
}

class EnsemblePatchRoundTrip : public ::testing::TestWithParam<RoundTripCase>
{ };

TEST_P(EnsemblePatchRoundTrip, AppliesByteExactlyInMemoryAndOnDisk)
{
    const RoundTripCase &c = GetParam();
    ASSERT_TRUE(FindEnsembleElements(c.oldFile, c.newFile).empty());
    const Bytes patch = MakeEnsemblePatch(c.oldFile, c.newFile);
    ASSERT_FALSE(patch.empty());

    Bytes result;
    ASSERT_EQ(applyStreams(c.oldFile, patch, &result), STATUS_OK);
    EXPECT_EQ(result, c.newFile);

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string oldPath = dir.filePath("old").toStdString();
    const std::string patchPath = dir.filePath("patch").toStdString();
    const std::string newPath = dir.filePath("new").toStdString();
    ASSERT_TRUE(WriteBytes(oldPath, c.oldFile));
    ASSERT_TRUE(WriteBytes(patchPath, patch));
    ASSERT_EQ(ApplyEnsemblePatchFiles(oldPath.c_str(), patchPath.c_str(), newPath.c_str()),
              STATUS_OK);
    EXPECT_EQ(ReadFileBytes(newPath), c.newFile);
    EXPECT_EQ(ReadFileBytes(oldPath), c.oldFile) << "the old file is only read";
}

INSTANTIATE_TEST_SUITE_P(
    PlainFiles, EnsemblePatchRoundTrip,
    ::testing::Values(RoundTripCase {"Identical", kOld, kOld}, RoundTripCase {"Edited", kOld, kNew},
                      RoundTripCase {"Backwards", kNew, kOld},
                      RoundTripCase {"ToEmpty", kOld, Bytes()},
                      RoundTripCase {"FromEmpty", Bytes(), kNew},
                      RoundTripCase {"OneByte", bytesOf("a"), bytesOf("b")},
                      RoundTripCase {"Unrelated", pseudoRandom(4096, 1), pseudoRandom(5000, 2)}),
    [](const ::testing::TestParamInfo<RoundTripCase> &info) { return info.param.name; });

TEST(EnsemblePatchFormat, HeaderAndPredictionBytesAreTheDocumentedOnes)
{
    const EnsemblePatchParts parts = plainParts();
    const Bytes header = EnsemblePatchHeader(parts);
    ASSERT_GE(header.size(), 8u);
    EXPECT_EQ(Bytes(header.begin(), header.begin() + 8),
              (Bytes {0xC3, 0xDE, 0xD5, 0x03, 0x88, 0xB7, 0xCB, 0x09}));
    EXPECT_EQ(parts.finalInputSize, kOld.size());

    Bytes predicted = {0xEA, 0x9A, 0xCA, 0x09, 0x0A, 0x02};
    predicted.insert(predicted.end(), 9, 0x00);
    predicted.insert(predicted.end(), 2, 0x00);
    EXPECT_EQ(PredictedParameters(2), predicted);
}

// ---------------------------------------------------------------------------------------------
// Every way a patch can be wrong, each with the status it must give.

struct StatusCase
{
    const char *name;
    Status expected;
    // Builds the patch from the parts of a sound plain patch of kOld -> kNew; may also change
    // the old file it is applied to.
    std::function<Bytes(EnsemblePatchParts &parts, Bytes &oldFile)> make;
};

Bytes withStreams(EnsemblePatchParts &parts, std::initializer_list<std::pair<int, Bytes>> changes)
{
    for (const auto &change : changes)
        parts.streams[std::size_t(change.first)] = change.second;
    return SerializeEnsemblePatch(parts);
}

// A corrected parameter set whose stream 0 holds one element's empty nested set and a stray
// byte: stream 1 turns the prediction into it.
Bytes parametersWithStrayByte(std::size_t elements)
{
    Bytes corrected = {0xEA, 0x9A, 0xCA, 0x09, 0x0A, u8(elements + 1)};
    corrected.insert(corrected.end(), 9, 0x00);
    corrected.insert(corrected.end(), elements, 0x00);
    corrected.push_back(0x42);
    return corrected;
}

// An element of type 1 over the first 100 bytes of the old file.
const Bytes kOneElement = concat({varint(1), varint(WIN_32_X86), varint(0), varint(100)});

const StatusCase kStatusCases[] = {
    {"EmptyPatch", STATUS_BAD_MAGIC, [](EnsemblePatchParts &, Bytes &) { return Bytes(); }},
    {"WrongMagic", STATUS_BAD_MAGIC,
     [](EnsemblePatchParts &p, Bytes &) {
         p.magic = 0x756F44;
         return SerializeEnsemblePatch(p);
     }},
    {"TruncatedMagic", STATUS_BAD_MAGIC,
     [](EnsemblePatchParts &p, Bytes &) { return prefix(EnsemblePatchHeader(p), 3); }},
    {"WrongVersion", STATUS_BAD_VERSION,
     [](EnsemblePatchParts &p, Bytes &) {
         p.version = 20110217;
         return SerializeEnsemblePatch(p);
     }},
    {"MagicOnly", STATUS_BAD_VERSION,
     [](EnsemblePatchParts &p, Bytes &) { return prefix(EnsemblePatchHeader(p), 4); }},
    {"MagicAndVersionOnly", STATUS_BAD_HEADER,
     [](EnsemblePatchParts &p, Bytes &) { return prefix(EnsemblePatchHeader(p), 8); }},
    {"NoFinalInputSize", STATUS_BAD_HEADER,
     [](EnsemblePatchParts &p, Bytes &) {
         return concat({varint(p.magic), varint(p.version), varint(p.sourceChecksum),
                        varint(p.targetChecksum)});
     }},
    {"OldFileChanged", STATUS_CHECKSUM_MISMATCH,
     [](EnsemblePatchParts &p, Bytes &old) {
         old[old.size() / 2] ^= 0x01;
         return SerializeEnsemblePatch(p);
     }},
    // The old file is checked first: no payload is even looked at.
    {"OldFileChangedAndPayloadMissing", STATUS_CHECKSUM_MISMATCH,
     [](EnsemblePatchParts &p, Bytes &old) {
         old.pop_back();
         return EnsemblePatchHeader(p);
     }},
    {"ResultChecksumWrong", STATUS_CHECKSUM_MISMATCH,
     [](EnsemblePatchParts &p, Bytes &) {
         p.targetChecksum ^= 0x80000000u;
         return SerializeEnsemblePatch(p);
     }},
    {"PayloadMissing", STATUS_STREAM_ERROR,
     [](EnsemblePatchParts &p, Bytes &) { return EnsemblePatchHeader(p); }},
    {"PayloadNotLzma2", STATUS_STREAM_ERROR,
     [](EnsemblePatchParts &p, Bytes &) {
         return concat({EnsemblePatchHeader(p), Bytes {0x1C, 0x05, 0x7F, 0x7F, 0x7F}});
     }},
    {"PayloadTruncated", STATUS_STREAM_ERROR,
     [](EnsemblePatchParts &p, Bytes &) {
         Bytes patch = SerializeEnsemblePatch(p);
         patch.resize(patch.size() - 4);
         return patch;
     }},
    {"PayloadNotAStreamSet", STATUS_STREAM_ERROR,
     [](EnsemblePatchParts &p, Bytes &) {
         return concat({EnsemblePatchHeader(p), Lzma2Block(bytesOf("no stream set"))});
     }},
    {"PayloadSetWithTrailingByte", STATUS_STREAM_ERROR,
     [](EnsemblePatchParts &p, Bytes &) {
         return concat({EnsemblePatchHeader(p),
                        Lzma2Block(concat({SerializePayloadSet(p.streams), Bytes {0}}))});
     }},
    // Sets that parse but lack some of the four streams.
    {"PayloadOfNoStream", STATUS_STREAM_ERROR,
     [](EnsemblePatchParts &p, Bytes &) {
         return concat({EnsemblePatchHeader(p), Lzma2Block(SerializePayloadSet({}))});
     }},
    {"PayloadOfThreeStreams", STATUS_STREAM_ERROR,
     [](EnsemblePatchParts &p, Bytes &) {
         p.streams.resize(3);
         return SerializeEnsemblePatch(p);
     }},
    {"PayloadOfFourStreams", STATUS_OK,
     [](EnsemblePatchParts &p, Bytes &) {
         p.streams.resize(4);
         return SerializeEnsemblePatch(p);
     }},
    {"ElementCountMissing", STATUS_BAD_HEADER,
     [](EnsemblePatchParts &p, Bytes &) {
         return withStreams(p, {{0, Bytes()}});
     }},
    {"ElementTypeMissing", STATUS_BAD_HEADER,
     [](EnsemblePatchParts &p, Bytes &) {
         return withStreams(p, {{0, varint(1)}});
     }},
    {"ElementTypeZero", STATUS_BAD_HEADER,
     [](EnsemblePatchParts &p, Bytes &) {
         return withStreams(p, {{0, concat({varint(1), varint(0), varint(0), varint(1)})}});
     }},
    {"ElementTypeEight", STATUS_BAD_HEADER,
     [](EnsemblePatchParts &p, Bytes &) {
         return withStreams(p, {{0, concat({varint(1), varint(8), varint(0), varint(1)})}});
     }},
    {"ElementBoundsMissing", STATUS_BAD_ELEMENT,
     [](EnsemblePatchParts &p, Bytes &) {
         return withStreams(p, {{0, concat({varint(1), varint(MACHO_X64), varint(0)})}});
     }},
    {"ElementOffsetPastOldFile", STATUS_BAD_ELEMENT,
     [](EnsemblePatchParts &p, Bytes &old) {
         return withStreams(
             p,
             {{0,
               concat({varint(1), varint(ELF_64_X64), varint(u32(old.size() + 1)), varint(0)})}});
     }},
    {"ElementEndPastOldFile", STATUS_BAD_ELEMENT,
     [](EnsemblePatchParts &p, Bytes &old) {
         return withStreams(
             p,
             {{0,
               concat({varint(1), varint(ELF_64_X64), varint(10), varint(u32(old.size() - 9))})}});
     }},
    {"SecondElementPastOldFile", STATUS_BAD_ELEMENT,
     [](EnsemblePatchParts &p, Bytes &old) {
         return withStreams(
             p,
             {{0,
               concat({varint(2), varint(1), varint(2), varint(0), varint(u32(old.size())),
                       varint(0), varint(u32(old.size() + 1))})}});
     }},
    {"ParametersWithTrailingByte", STATUS_BAD_HEADER,
     [](EnsemblePatchParts &p, Bytes &) {
         return withStreams(p, {{0, concat({kOneElement, Bytes {0}})}});
     }},
    {"NoElementWithTrailingByte", STATUS_BAD_HEADER,
     [](EnsemblePatchParts &p, Bytes &) {
         return withStreams(p, {{0, Bytes {0, 0}}});
     }},
    {"ParameterDiffCorrupt", STATUS_GENERAL_ERROR,
     [](EnsemblePatchParts &p, Bytes &) {
         return withStreams(p, {{1, Bytes {3}}});
     }},
    {"ParameterDiffEmpty", STATUS_GENERAL_ERROR,
     [](EnsemblePatchParts &p, Bytes &) {
         return withStreams(p, {{1, Bytes()}});
     }},
    {"CorrectedParametersNotASet", STATUS_STREAM_ERROR,
     [](EnsemblePatchParts &p, Bytes &) {
         return withStreams(p, {{1, diffOf(PredictedParameters(0), bytesOf("nothing"))}});
     }},
    {"CorrectedParametersNotConsumed", STATUS_STREAM_NOT_CONSUMED,
     [](EnsemblePatchParts &p, Bytes &) {
         return withStreams(p, {{1, diffOf(PredictedParameters(0), parametersWithStrayByte(0))}});
     }},
    // The element's own parameter set then holds a byte the patcher does not take.
    {"ElementGivenParameters", STATUS_GENERAL_ERROR,
     [](EnsemblePatchParts &p, Bytes &) {
         // Stream 0: one nested set of one stream holding the byte 07.
         Bytes corrected = {0xEA, 0x9A, 0xCA, 0x09, 0x0A, 0x03};
         corrected.insert(corrected.end(), 9, 0x00);
         corrected.insert(corrected.end(), {0x01, 0x01, 0x07});
         return withStreams(p, {{0, kOneElement}, {1, diffOf(PredictedParameters(1), corrected)}});
     }},
    {"ElementNestedSetMissing", STATUS_STREAM_ERROR,
     [](EnsemblePatchParts &p, Bytes &) {
         return withStreams(
             p, {{0, kOneElement}, {1, diffOf(PredictedParameters(1), PredictedParameters(0))}});
     }},
    {"ElementNotAnExecutable", STATUS_NOT_EXECUTABLE,
     [](EnsemblePatchParts &p, Bytes &) {
         return withStreams(
             p, {{0, kOneElement}, {1, diffOf(PredictedParameters(1), PredictedParameters(1))}});
     }},
    {"ElementDiffCorrupt", STATUS_GENERAL_ERROR,
     [](EnsemblePatchParts &p, Bytes &) {
         return withStreams(p, {{2, Bytes {0, 9}}});
     }},
    {"CorrectedElementsNotASet", STATUS_STREAM_ERROR,
     [](EnsemblePatchParts &p, Bytes &) {
         return withStreams(p, {{2, diffOf(PredictedParameters(0), bytesOf("EA"))}});
     }},
    {"CorrectedElementsNotConsumed", STATUS_STREAM_NOT_CONSUMED,
     [](EnsemblePatchParts &p, Bytes &) {
         return withStreams(p, {{2, diffOf(PredictedParameters(0), parametersWithStrayByte(0))}});
     }},
    {"FinalDiffCorrupt", STATUS_GENERAL_ERROR,
     [](EnsemblePatchParts &p, Bytes &) {
         return withStreams(p, {{3, Bytes {0, 5, 0, 0}}});
     }},
    {"FinalDiffOfAnotherFile", STATUS_CHECKSUM_MISMATCH,
     [](EnsemblePatchParts &p, Bytes &) {
         return withStreams(p, {{3, diffOf(kOld, concat({kNew, Bytes {1}}))}});
     }},
};

void PrintTo(const StatusCase &c, std::ostream *os)
{
    *os << c.name;
}

class EnsemblePatchStatus : public ::testing::TestWithParam<StatusCase>
{ };

TEST_P(EnsemblePatchStatus, ReportsTheFailingStepAndNoOutput)
{
    EnsemblePatchParts parts = plainParts();
    Bytes oldFile = kOld;
    const Bytes patch = GetParam().make(parts, oldFile);
    Bytes result;
    EXPECT_EQ(applyStreams(oldFile, patch, &result), GetParam().expected);
    if (GetParam().expected == STATUS_OK) {
        EXPECT_EQ(result, kNew);
    }
}

INSTANTIATE_TEST_SUITE_P(Patches, EnsemblePatchStatus, ::testing::ValuesIn(kStatusCases),
                         [](const ::testing::TestParamInfo<StatusCase> &info) {
                             return info.param.name;
                         });

// ---------------------------------------------------------------------------------------------
// The file entry point: which file is opened when, and what is left on disk.

class EnsemblePatchFiles : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        m_old = path("old");
        m_patch = path("patch");
        m_new = path("new");
        ASSERT_TRUE(WriteBytes(m_old, kOld));
        ASSERT_TRUE(WriteBytes(m_patch, MakeEnsemblePatch(kOld, kNew)));
    }

    std::string path(const char *name) const { return m_dir.filePath(name).toStdString(); }
    Status apply() const
    {
        return ApplyEnsemblePatchFiles(m_old.c_str(), m_patch.c_str(), m_new.c_str());
    }

    QTemporaryDir m_dir;
    std::string m_old;
    std::string m_patch;
    std::string m_new;
};

TEST_F(EnsemblePatchFiles, MissingPatchFileIsAPatchFileError)
{
    m_patch = path("absent");
    EXPECT_EQ(apply(), STATUS_PATCH_FILE_ERROR);
    EXPECT_FALSE(QFile::exists(QString::fromStdString(m_new)));
}

TEST_F(EnsemblePatchFiles, HeaderIsCheckedBeforeTheOldFileIsOpened)
{
    m_old = path("absent");
    ASSERT_TRUE(WriteBytes(m_patch, bytesOf("not a patch")));
    EXPECT_EQ(apply(), STATUS_BAD_MAGIC);
    ASSERT_TRUE(WriteBytes(m_patch, concat({varint(kEnsemblePatchMagic), varint(1)})));
    EXPECT_EQ(apply(), STATUS_BAD_VERSION);
    ASSERT_TRUE(
        WriteBytes(m_patch, concat({varint(kEnsemblePatchMagic), varint(kEnsemblePatchVersion)})));
    EXPECT_EQ(apply(), STATUS_BAD_HEADER);
}

TEST_F(EnsemblePatchFiles, MissingOldFileWithASoundHeaderIsAFileError)
{
    m_old = path("absent");
    EXPECT_EQ(apply(), STATUS_FILE_ERROR);
    EXPECT_FALSE(QFile::exists(QString::fromStdString(m_new)));
}

TEST_F(EnsemblePatchFiles, EmptyOldFileIsPatched)
{
    ASSERT_TRUE(WriteBytes(m_old, Bytes()));
    ASSERT_TRUE(WriteBytes(m_patch, MakeEnsemblePatch(Bytes(), kNew)));
    EXPECT_EQ(apply(), STATUS_OK);
    EXPECT_EQ(ReadFileBytes(m_new), kNew);
}

TEST_F(EnsemblePatchFiles, OldPathThatIsAFolderIsAFileError)
{
    m_old = m_dir.path().toStdString();
    EXPECT_EQ(apply(), STATUS_FILE_ERROR);
}

TEST_F(EnsemblePatchFiles, UnwritableNewPathIsAFileError)
{
    m_new = path("missing-folder/new");
    EXPECT_EQ(apply(), STATUS_FILE_ERROR);
    EXPECT_FALSE(QFile::exists(QString::fromStdString(m_new)));
}

TEST_F(EnsemblePatchFiles, FailedApplicationKeepsAnExistingNewFile)
{
    const Bytes earlier = bytesOf("earlier content");
    ASSERT_TRUE(WriteBytes(m_new, earlier));
    Bytes changed = kOld;
    changed[0] ^= 0xFF;
    ASSERT_TRUE(WriteBytes(m_old, changed));
    EXPECT_EQ(apply(), STATUS_CHECKSUM_MISMATCH);
    EXPECT_EQ(ReadFileBytes(m_new), earlier);
}

TEST_F(EnsemblePatchFiles, SoundPatchReplacesAnExistingNewFile)
{
    ASSERT_TRUE(WriteBytes(m_new, bytesOf("earlier content")));
    EXPECT_EQ(apply(), STATUS_OK);
    EXPECT_EQ(ReadFileBytes(m_new), kNew);
}

// Only a file that could not be read or written has a system reason, and it is the one of the
// call that failed.
TEST_F(EnsemblePatchFiles, FileErrorsNameTheSystemCallThatFailed)
{
    Bytes otherBase = kOld;
    otherBase[0] ^= 0xFF;
    ASSERT_TRUE(WriteBytes(path("empty"), Bytes()));
    ASSERT_TRUE(WriteBytes(path("not a patch"), bytesOf("not a patch")));
    ASSERT_TRUE(WriteBytes(path("other base"), otherBase));
    ASSERT_TRUE(QDir(m_dir.path()).mkdir("folder"));
    const std::string patch = m_patch;
    const struct
    {
        const char *label;
        std::string oldPath, patchPath, newPath;
        Status status;
        int error;
    } cases[] = {
        {"patch missing", m_old, path("absent"), m_new, STATUS_PATCH_FILE_ERROR, ENOENT},
        {"patch a folder", m_old, path("folder"), m_new, STATUS_PATCH_FILE_ERROR, EISDIR},
        {"patch empty", m_old, path("empty"), m_new, STATUS_PATCH_FILE_ERROR, 0},
        {"not a patch", m_old, path("not a patch"), m_new, STATUS_BAD_MAGIC, 0},
        {"old missing", path("absent"), patch, m_new, STATUS_FILE_ERROR, ENOENT},
        {"old a folder", path("folder"), patch, m_new, STATUS_FILE_ERROR, EISDIR},
        {"other base", path("other base"), patch, m_new, STATUS_CHECKSUM_MISMATCH, 0},
        {"new in a missing folder", m_old, patch, path("none/new"), STATUS_FILE_ERROR, ENOENT},
        {"new on a full device", m_old, patch, "/dev/full", STATUS_FILE_ERROR, ENOSPC},
        {"applies", m_old, patch, m_new, STATUS_OK, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        if (c.newPath == "/dev/full" && !QFile::exists("/dev/full"))
            continue;
        int error = -1;
        EXPECT_EQ(ApplyEnsemblePatchFiles(c.oldPath.c_str(), c.patchPath.c_str(), c.newPath.c_str(),
                                          &error),
                  c.status);
        EXPECT_EQ(error, c.error);
    }
}

TEST(EnsemblePatchApplierState, NewApplierHoldsNothing)
{
    EnsemblePatchApplier applier;
    EXPECT_EQ(applier.sourceChecksum(), 0u);
    EXPECT_EQ(applier.targetChecksum(), 0u);
    EXPECT_EQ(applier.finalInputSize(), 0u);
    EXPECT_EQ(applier.patcherCount(), 0u);
    EXPECT_EQ(applier.CheckOldChecksum(), STATUS_CHECKSUM_MISMATCH) << "empty data is 0xFFFFFFFF";
}

} // namespace
