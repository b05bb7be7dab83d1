#include "errnochanginglog.h"
#include "faketasks.h"
#include "filecopytaskspecification.h"
#include "fileops_test_support.h"
#include "filetaskspecification_patch.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "fileunpacktaskspecification_zip.h"
#include "rollback.h"
#include "tmpfs_test_support.h"

#include "ensemblepatchwriter.h"
#include "lzma2container.h"
#include "mappedfile.h"
#include "streams.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <functional>
#include <memory>

#include <gtest/gtest.h>
#include <zlib.h>

namespace {

QByteArray sampleContent()
{
    QByteArray data;
    for (int i = 0; i < 50000; ++i)
        data += QByteArray::number(i % 977) + (i % 7 ? ' ' : '\n');
    return data;
}

// A directive-1 container of content, made the way the image server's files are.
QByteArray lzma2Container(const QString &scratchDir, const QByteArray &content)
{
    const QString plain = scratchDir + "/container.plain";
    if (!writeTestFile(plain, content))
        return QByteArray();
    quorpatch::MappedFile input;
    quorpatch::SinkStream out;
    const auto *bytes = reinterpret_cast<const quorpatch::u8 *>(content.constData());
    if (content.isEmpty() || input.Open(QFile::encodeName(plain).constData()))
        quorpatch::CompressPlain(input, &out,
                                 quorpatch::CalculateCrc(bytes, std::size_t(content.size())));
    QFile::remove(plain);
    return QByteArray(reinterpret_cast<const char *>(out.Buffer()), int(out.Length()));
}

QByteArray gzipped(const QString &scratchDir, const QByteArray &content)
{
    const QString file = scratchDir + "/gzip.tmp";
    gzFile out = gzopen(QFile::encodeName(file).constData(), "wb");
    if (!out)
        return QByteArray();
    if (!content.isEmpty())
        gzwrite(out, content.constData(), unsigned(content.size()));
    gzclose(out);
    const QByteArray result = readTestFile(file);
    QFile::remove(file);
    return result;
}

QByteArray ensemblePatch(const QByteArray &oldData, const QByteArray &newData)
{
    const qvxtest::Bytes patch
        = qvxtest::MakeEnsemblePatch(qvxtest::Bytes(oldData.begin(), oldData.end()),
                                     qvxtest::Bytes(newData.begin(), newData.end()));
    return QByteArray(reinterpret_cast<const char *>(patch.data()), int(patch.size()));
}

enum class Kind { Lzma2, Gzip };

struct UnpackCase
{
    const char *label;
    Kind kind;
    std::function<QByteArray(const QString &dir)> source; // null: no source file
    bool ok;
    QByteArray content; // of the target after success
    const char *reason; // after the failure text
};

class UnpackTaskTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }

    QString path(const QString &name) const { return dir.filePath(name); }

    static std::unique_ptr<SlowFileOpSpecification>
    makeTask(Kind kind, RollbackDataList *records, const QString &source, const QString &target)
    {
        if (kind == Kind::Lzma2)
            return std::make_unique<FileUnpackTaskSpecification_lzma2>(records, source, target,
                                                                       nullptr, 0.8);
        return std::make_unique<FileUnpackTaskSpecification_zip>(records, source, target, nullptr,
                                                                 0.8);
    }

    // Runs the task to its end; returns its messages.
    static QStringList run(SlowFileOpSpecification &task)
    {
        TaskEventLog log;
        log.watch(&task, "t");
        task.execute();
        EXPECT_TRUE(waitUntil([&task] { return taskEnded(task); }));
        return log.filtered("t message");
    }

    QTemporaryDir dir;
};

TEST_F(UnpackTaskTest, GoodAndCorruptSources)
{
    const QByteArray content = sampleContent();
    const auto corruptCrc = [](QByteArray data, int fromEnd) {
        data[data.size() - fromEnd] = char(data[data.size() - fromEnd] ^ 0x5a);
        return data;
    };
    const UnpackCase cases[] = {
        {"lzma2", Kind::Lzma2, [&](const QString &d) { return lzma2Container(d, content); }, true,
         content, nullptr},
        {"lzma2 empty file", Kind::Lzma2, [](const QString &d) { return lzma2Container(d, {}); },
         true, QByteArray(), nullptr},
        {"lzma2 wrong checksum",
         Kind::Lzma2,
         [&](const QString &d) {
             QByteArray c = lzma2Container(d, content);
             c[5] = char(c[5] ^ 0x01); // inside the varint of the checksum
             return c;
         },
         false,
         {},
         "the packed file is damaged or incomplete"},
        {"lzma2 truncated",
         Kind::Lzma2,
         [&](const QString &d) { return lzma2Container(d, content).left(200); },
         false,
         {},
         "the packed file is damaged or incomplete"},
        {"lzma2 not a container",
         Kind::Lzma2,
         [](const QString &) { return QByteArray("plain"); },
         false,
         {},
         "the packed file is damaged or incomplete"},
        {"lzma2 missing source", Kind::Lzma2, nullptr, false, {}, "No such file or directory"},
        {"gzip", Kind::Gzip, [&](const QString &d) { return gzipped(d, content); }, true, content,
         nullptr},
        {"gzip empty", Kind::Gzip, [](const QString &d) { return gzipped(d, {}); }, true,
         QByteArray(), nullptr},
        {"gzip wrong data check",
         Kind::Gzip,
         [&](const QString &d) { return corruptCrc(gzipped(d, content), 8); },
         false,
         {},
         "damaged gzip data (incorrect data check)"},
        {"gzip truncated",
         Kind::Gzip,
         [&](const QString &d) { return gzipped(d, content).left(1000); },
         false,
         {},
         "damaged gzip data (unexpected end of file)"},
        {"gzip missing source", Kind::Gzip, nullptr, false, {}, "No such file or directory"},
        // zlib passes data that is not gzip through unchanged.
        {"gzip plain data", Kind::Gzip, [](const QString &) { return QByteArray("as is\n"); }, true,
         QByteArray("as is\n"), nullptr},
    };

    for (const UnpackCase &c : cases) {
        SCOPED_TRACE(c.label);
        const QString source = path("download");
        const QString target = path("bundle/file");
        QFile::remove(source);
        QFile::remove(target);
        ASSERT_TRUE(QDir().mkpath(path("bundle")));
        if (c.source) {
            const QByteArray bytes = c.source(dir.path());
            ASSERT_FALSE(bytes.isEmpty());
            ASSERT_TRUE(writeTestFile(source, bytes));
        }
        // An earlier version of the file is in place.
        ASSERT_TRUE(writeTestFile(target, "installed"));

        RollbackDataList records;
        auto task = makeTask(c.kind, &records, source, target);
        const QStringList messages = run(*task);
        const QStringList files = QDir(path("bundle")).entryList(QDir::Files);
        EXPECT_EQ(files, QStringList({"file"})) << "no scratch file may remain";
        if (c.ok) {
            EXPECT_EQ(task->state, int(TaskSpecification::Finished));
            EXPECT_TRUE(messages.isEmpty());
            EXPECT_EQ(readTestFile(target), c.content);
            ASSERT_EQ(records.size(), 1);
            EXPECT_EQ(records[0].op, int(RollbackData::FILE_CREATE));
            EXPECT_EQ(records[0].path, target);
        } else {
            const QString text = c.kind == Kind::Lzma2 ? "t message Could not unpack '%1' to '%2': "
                                                       : "t message Could not unzip '%1' to '%2': ";
            EXPECT_EQ(task->state, int(TaskSpecification::Failed));
            EXPECT_EQ(messages, QStringList({text.arg(source, target) + c.reason}));
            EXPECT_TRUE(records.isEmpty());
            // A failed restore never touches what was there before.
            EXPECT_EQ(readTestFile(target), QByteArray("installed"));
        }
    }
}

TEST_F(UnpackTaskTest, TargetThatCannotBeWrittenFailsAndNothingIsRecordedWithoutAList)
{
    const QByteArray content = sampleContent();
    ASSERT_TRUE(writeTestFile(path("c_lzma2_"), lzma2Container(dir.path(), content)));
    ASSERT_TRUE(writeTestFile(path("c.gz"), gzipped(dir.path(), content)));
    for (Kind kind : {Kind::Lzma2, Kind::Gzip}) {
        const QString source = path(kind == Kind::Lzma2 ? "c_lzma2_" : "c.gz");
        SCOPED_TRACE(source.toStdString());

        auto missingFolder = makeTask(kind, nullptr, source, path("no/such/folder/file"));
        run(*missingFolder);
        EXPECT_EQ(missingFolder->state, int(TaskSpecification::Failed));
        EXPECT_FALSE(QFileInfo::exists(path("no")));

        // A folder in the target's place stays a folder.
        ASSERT_TRUE(QDir().mkpath(path("folder")));
        auto folder = makeTask(kind, nullptr, source, path("folder"));
        run(*folder);
        EXPECT_EQ(folder->state, int(TaskSpecification::Failed));
        EXPECT_TRUE(QFileInfo(path("folder")).isDir());
        EXPECT_FALSE(QFileInfo::exists(path("folder_part_")));

        // Without a rollback list a success records nothing and still finishes.
        auto unrecorded = makeTask(kind, nullptr, source, path("out"));
        run(*unrecorded);
        EXPECT_EQ(unrecorded->state, int(TaskSpecification::Finished));
        EXPECT_EQ(readTestFile(path("out")), content);
        QFile::remove(path("out"));
    }
}

TEST_F(UnpackTaskTest, ReplacedFileKeepsItsModeAndLinksAreWrittenThrough)
{
    ASSERT_TRUE(writeTestFile(path("new.gz"), gzipped(dir.path(), "#!/bin/sh\n")));
    ASSERT_TRUE(writeTestFile(path("real"), "old"));
    const auto mode = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadUser
        | QFile::WriteUser | QFile::ExeUser | QFile::ReadGroup | QFile::ExeGroup;
    ASSERT_TRUE(QFile::setPermissions(path("real"), mode));
    ASSERT_TRUE(QFile::link(path("real"), path("link")));

    FileUnpackTaskSpecification_zip task(nullptr, path("new.gz"), path("link"), nullptr, 1.0);
    run(task);
    EXPECT_EQ(task.state, int(TaskSpecification::Finished));
    EXPECT_TRUE(QFileInfo(path("link")).isSymLink());
    EXPECT_EQ(readTestFile(path("real")), QByteArray("#!/bin/sh\n"));
    EXPECT_EQ(QFile::permissions(path("real")), mode);
}

struct ReasonCase
{
    const char *label;
    const char *failure; // the task's own text, filled with source and target
    QString source; // named first in the text
    bool fullDisk; // the target lies on a full file system
    std::function<std::unique_ptr<TaskSpecification>(const QString &target)> make;
    const char *reason;
};

// The engine logs a line on its way out of a failure, and a log line may change errno (formatting
// its local time does, with TZ naming a zone that does not exist): the reason is still the one
// of the call that failed, or the engine's own finding.
TEST_F(UnpackTaskTest, ReasonIsTheRealOneWhateverHappensToErrnoOnTheWayOut)
{
    const QByteArray content = sampleContent();
    QByteArray damaged = lzma2Container(dir.path(), content);
    damaged[5] = char(damaged[5] ^ 0x01); // inside the varint of the checksum
    QByteArray oldData = content;
    oldData.replace(0, 3, "old");
    ASSERT_TRUE(writeTestFile(path("c_lzma2_"), lzma2Container(dir.path(), content)));
    ASSERT_TRUE(writeTestFile(path("damaged_lzma2_"), damaged));
    ASSERT_TRUE(writeTestFile(path("plain_lzma2_"), "plain"));
    ASSERT_TRUE(writeTestFile(path("c.gz"), gzipped(dir.path(), content)));
    ASSERT_TRUE(writeTestFile(path("cut.gz"), gzipped(dir.path(), content).left(1000)));
    ASSERT_TRUE(writeTestFile(path("app_old"), oldData));
    ASSERT_TRUE(writeTestFile(path("other_old"), "another base"));
    ASSERT_TRUE(writeTestFile(path("app_patch_"), ensemblePatch(oldData, content)));
    ASSERT_TRUE(writeTestFile(path("plain"), content));

    const auto unpack = [this](const char *source) {
        return [this, source](const QString &target) -> std::unique_ptr<TaskSpecification> {
            return std::make_unique<FileUnpackTaskSpecification_lzma2>(nullptr, path(source),
                                                                       target, nullptr, 1.0);
        };
    };
    const auto unzip = [this](const char *source) {
        return [this, source](const QString &target) -> std::unique_ptr<TaskSpecification> {
            return std::make_unique<FileUnpackTaskSpecification_zip>(nullptr, path(source), target,
                                                                     nullptr, 1.0);
        };
    };
    const auto patchOf = [this](const char *base) {
        return [this, base](const QString &target) -> std::unique_ptr<TaskSpecification> {
            return std::make_unique<FileTaskSpecification_patch>(
                nullptr, path(base), path("app_patch_"), target, nullptr, 1.0);
        };
    };
    const auto copyOf = [this](const char *source) {
        return [this, source](const QString &target) -> std::unique_ptr<TaskSpecification> {
            return std::make_unique<FileCopyTaskSpecification>(nullptr, path(source), target,
                                                               nullptr, 1.0);
        };
    };
    const char *unpackText = "Could not unpack '%1' to '%2'";
    const char *unzipText = "Could not unzip '%1' to '%2'";
    const char *patchText = "Could not patch '%1' to '%2'";
    const ReasonCase cases[] = {
        {"lzma2 damaged", unpackText, path("damaged_lzma2_"), false, unpack("damaged_lzma2_"),
         "the packed file is damaged or incomplete"},
        {"lzma2 not a container", unpackText, path("plain_lzma2_"), false, unpack("plain_lzma2_"),
         "the packed file is damaged or incomplete"},
        {"lzma2 source missing", unpackText, path("none_lzma2_"), false, unpack("none_lzma2_"),
         "No such file or directory"},
        {"lzma2 full disk", unpackText, path("c_lzma2_"), true, unpack("c_lzma2_"),
         "No space left on device"},
        {"gzip cut short", unzipText, path("cut.gz"), false, unzip("cut.gz"),
         "damaged gzip data (unexpected end of file)"},
        {"gzip full disk", unzipText, path("c.gz"), true, unzip("c.gz"), "No space left on device"},
        {"patch for another base", patchText, path("other_old"), false, patchOf("other_old"),
         "the patch does not fit this file (checksum mismatch)"},
        {"patch base missing", patchText, path("none_old"), false, patchOf("none_old"),
         "No such file or directory"},
        {"patch full disk", patchText, path("app_old"), true, patchOf("app_old"),
         "No space left on device"},
        {"copy full disk", "Could not copy '%1' to '%2'", path("plain"), true, copyOf("plain"),
         "No space left on device"},
    };

    PrivateTmpfs volume(path("volume"), "256k");
    for (const ReasonCase &c : cases) {
        SCOPED_TRACE(c.label);
        if (c.fullDisk && !volume.mounted())
            continue; // needs root on Linux
        const QString target = c.fullDisk ? volume.folder() + "/file" : path("bundle/file");
        ASSERT_TRUE(QDir().mkpath(QFileInfo(target).path()));
        QFile::remove(target);
        if (c.fullDisk) {
            ASSERT_TRUE(volume.fillUp());
        }

        ErrnoChangingLog log;
        std::unique_ptr<TaskSpecification> task = c.make(target);
        TaskEventLog events;
        events.watch(task.get(), "t");
        task->execute();
        ASSERT_TRUE(waitUntil([&task] { return taskEnded(*task); }));
        EXPECT_EQ(task->state, int(TaskSpecification::Failed));
        EXPECT_EQ(
            events.filtered("t message"),
            QStringList("t message " + QString(c.failure).arg(c.source, target) + ": " + c.reason));
        if (c.fullDisk) {
            QFile::remove(volume.folder() + "/.filler");
        }
    }
}

TEST(UnpackFuncTest, GzipRestoreWritesWhereItIsTold)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ASSERT_TRUE(writeTestFile(dir.filePath("a.gz"), gzipped(dir.path(), "abc")));
    // The file to write comes first.
    EXPECT_TRUE(FileUnpackFunc_Zip::unpackFile(dir.filePath("out"), dir.filePath("a.gz")));
    EXPECT_EQ(readTestFile(dir.filePath("out")), QByteArray("abc"));
    // A missing source leaves no empty file behind.
    EXPECT_FALSE(FileUnpackFunc_Zip::unpackFile(dir.filePath("out2"), dir.filePath("none.gz")));
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("out2")));
}

// The file it is told to write is the scratch file made for it: a link put in its place must
// not make the restore write wherever the link points.
TEST(UnpackFuncTest, GzipRestoreNeverWritesThroughALink)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ASSERT_TRUE(writeTestFile(dir.filePath("a.gz"), gzipped(dir.path(), "abc")));
    ASSERT_TRUE(writeTestFile(dir.filePath("elsewhere"), "not ours"));
    const struct
    {
        const char *label;
        QString pointsTo;
    } cases[] = {
        {"to a file", dir.filePath("elsewhere")},
        {"to nothing yet", dir.filePath("made_through_the_link")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        const QString link = dir.filePath("scratch_part_");
        QFile::remove(link);
        ASSERT_TRUE(QFile::link(c.pointsTo, link));
        QString reason;
        EXPECT_FALSE(FileUnpackFunc_Zip::unpackFile(link, dir.filePath("a.gz"), &reason));
        EXPECT_EQ(reason, QString("it is a symbolic link"));
        EXPECT_EQ(readTestFile(dir.filePath("elsewhere")), QByteArray("not ours"));
        EXPECT_FALSE(QFileInfo::exists(dir.filePath("made_through_the_link")));
    }
}

struct PatchCase
{
    const char *label;
    bool baseExists;
    std::function<QByteArray(const QByteArray &oldData, const QByteArray &newData)> patch;
    int status;
    const char *logLine; // the extra line for the status, or null
    const char *reason; // after the failure text
};

TEST_F(UnpackTaskTest, PatchResultsAndTheirLogLines)
{
    const QByteArray oldData = sampleContent();
    QByteArray newData = oldData;
    newData.insert(1000, "inserted text");
    newData.replace(30000, 10, "changed!!!");
    const auto header = [](QByteArray p, int at, char value) {
        p[at] = value;
        return p;
    };
    const PatchCase cases[] = {
        {"applies", true, ensemblePatch, 1, nullptr, nullptr},
        {"other base", true,
         [](const QByteArray &, const QByteArray &n) { return ensemblePatch("another base", n); },
         8, nullptr, "the patch does not fit this file (checksum mismatch)"},
        {"missing base", false, ensemblePatch, 4, nullptr, "No such file or directory"},
        {"not a patch", true,
         [&](const QByteArray &o, const QByteArray &n) {
             return header(ensemblePatch(o, n), 0, 0);
         },
         5, "Not a quorpatch patch", "not a patch file"},
        {"other version", true,
         [&](const QByteArray &o, const QByteArray &n) {
             return header(ensemblePatch(o, n), 4, 1);
         },
         6, "Wrong version patch", "the patch has an unknown version"},
        {"header only", true,
         [&](const QByteArray &o, const QByteArray &n) { return ensemblePatch(o, n).left(8); }, 7,
         "Corrupt patch", "the patch is damaged"},
        {"payload cut short", true,
         [&](const QByteArray &o, const QByteArray &n) {
             const QByteArray p = ensemblePatch(o, n);
             return p.left(p.size() - 20);
         },
         20, "Stream error (likely out of memory or disk space)",
         "the patch data could not be decoded (status 20)"},
    };
    for (const PatchCase &c : cases) {
        SCOPED_TRACE(c.label);
        const QString base = path("app_old");
        const QString patch = path("app_patch_");
        const QString target = path("bundle/app");
        QFile::remove(base);
        ASSERT_TRUE(writeTestFile(target, "installed"));
        if (c.baseExists) {
            ASSERT_TRUE(writeTestFile(base, oldData));
        }
        const QByteArray patchBytes = c.patch(oldData, newData);
        ASSERT_FALSE(patchBytes.isEmpty());
        ASSERT_TRUE(writeTestFile(patch, patchBytes));

        LogCapture capture;
        RollbackDataList records;
        FileTaskSpecification_patch task(&records, base, patch, target, nullptr, 0.8);
        const QStringList messages = run(task);
        EXPECT_TRUE(capture.contains(QString("ApplyEnsemblePatch status = %1").arg(c.status)));
        for (const char *line : {"Not a quorpatch patch", "Wrong version patch", "Corrupt patch",
                                 "Stream error (likely out of memory or disk space)"})
            EXPECT_EQ(capture.contains(line), c.logLine && QString(line) == c.logLine) << line;
        EXPECT_EQ(QDir(path("bundle")).entryList(QDir::Files), QStringList({"app"}));
        if (c.status == 1) {
            EXPECT_EQ(task.state, int(TaskSpecification::Finished));
            EXPECT_TRUE(messages.isEmpty());
            EXPECT_EQ(readTestFile(target), newData);
            EXPECT_EQ(records.size(), 1);
        } else {
            EXPECT_EQ(task.state, int(TaskSpecification::Failed));
            EXPECT_EQ(messages,
                      QStringList({QString("t message Could not patch '%1' to '%2': %3")
                                       .arg(base, target, c.reason)}));
            EXPECT_EQ(readTestFile(target), QByteArray("installed"));
            EXPECT_TRUE(records.isEmpty());
        }
        // The base is only read.
        if (c.baseExists) {
            EXPECT_EQ(readTestFile(base), oldData);
        }
    }
}

} // namespace
