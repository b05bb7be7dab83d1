// Writes that meet a full file system: the user is told so, and nothing half-written stays.

#include "configuration.h"
#include "faketasks.h"
#include "filecopytaskspecification.h"
#include "fileops_test_support.h"
#include "filerenametaskspecification.h"
#include "filereplacelisttaskspecification.h"
#include "filetaskspecification_patch.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "fileunpacktaskspecification_zip.h"
#include "replacelistdata.h"
#include "rollback.h"
#include "test_maintask_support.h"
#include "tmpfs_test_support.h"

#include "ensemblepatchwriter.h"
#include "lzma2container.h"
#include "mappedfile.h"
#include "streams.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <functional>
#include <memory>

#include <gtest/gtest.h>
#include <zlib.h>

namespace {

const QString noSpace = QStringLiteral("No space left on device");

QByteArray sample(const char *seed)
{
    QByteArray data;
    for (int i = 0; i < 4000; ++i)
        data += QByteArray(seed) + ' ' + QByteArray::number(i * 7919 % 10007) + '\n';
    return data;
}

QByteArray lzma2Container(const QString &scratch, const QByteArray &content)
{
    if (!writeTestFile(scratch, content))
        return QByteArray();
    quorpatch::SinkStream out;
    {
        quorpatch::MappedFile input;
        if (!input.Open(QFile::encodeName(scratch).constData()))
            return QByteArray();
        quorpatch::CompressPlain(
            input, &out,
            quorpatch::CalculateCrc(reinterpret_cast<const quorpatch::u8 *>(content.constData()),
                                    std::size_t(content.size())));
    }
    QFile::remove(scratch);
    return QByteArray(reinterpret_cast<const char *>(out.Buffer()), int(out.Length()));
}

bool writeGzip(const QString &file, const QByteArray &content)
{
    gzFile out = gzopen(QFile::encodeName(file).constData(), "wb");
    if (!out)
        return false;
    const bool written = gzwrite(out, content.constData(), unsigned(content.size())) > 0;
    return gzclose(out) == Z_OK && written;
}

QByteArray ensemblePatch(const QByteArray &oldData, const QByteArray &newData)
{
    const qvxtest::Bytes patch
        = qvxtest::MakeEnsemblePatch(qvxtest::Bytes(oldData.begin(), oldData.end()),
                                     qvxtest::Bytes(newData.begin(), newData.end()));
    return QByteArray(reinterpret_cast<const char *>(patch.data()), int(patch.size()));
}

class FullVolumeTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        volume = std::make_unique<PrivateTmpfs>(dir.filePath("volume"), "256k");
        if (!volume->mounted())
            GTEST_SKIP() << "cannot mount a private tmpfs here";
    }

    QString path(const QString &name) const { return dir.filePath(name); }
    QString onVolume(const QString &name) const { return dir.filePath("volume/" + name); }

    // Empties the volume, puts the earlier version of a file there if asked, then fills it up.
    void prepareVolume(const QString &installed)
    {
        QDir folder(volume->folder());
        for (const QString &name : folder.entryList(QDir::AllEntries | QDir::NoDotAndDotDot
                                                    | QDir::Hidden | QDir::System))
            ASSERT_TRUE(QFile::remove(folder.filePath(name)));
        if (!installed.isEmpty()) {
            ASSERT_TRUE(writeTestFile(onVolume(installed), "installed"));
        }
        ASSERT_TRUE(volume->fillUp());
    }

    QStringList volumeFiles() const
    {
        return QDir(volume->folder())
            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                       QDir::Name);
    }

    QTemporaryDir dir;
    std::unique_ptr<PrivateTmpfs> volume;
};

// What lies at the target before the write, and what the write does with it.
enum class Earlier {
    None,
    Kept, // a write through a scratch file leaves it as it was
    RemovedFirst // a copy that keeps a file aside replaces what was there
};

struct FullVolumeCase
{
    const char *label;
    QString failure; // the task's own text, filled with source and target
    QString source; // the file named first in the text
    Earlier earlier;
    std::function<std::unique_ptr<TaskSpecification>(RollbackDataList *, const QString &target)>
        make;
};

TEST_F(FullVolumeTest, EachWriteNamesTheFullDiskAndLeavesTheTargetAsItWas)
{
    const QByteArray oldData = sample("old");
    const QByteArray newData = sample("new");
    ASSERT_TRUE(writeTestFile(path("download"), newData));
    ASSERT_TRUE(writeTestFile(path("download._lzma2_"), lzma2Container(path("plain"), newData)));
    ASSERT_TRUE(writeGzip(path("download.gz"), newData));
    ASSERT_TRUE(writeTestFile(path("app_old"), oldData));
    ASSERT_TRUE(writeTestFile(path("app_patch_"), ensemblePatch(oldData, newData)));

    const FullVolumeCase cases[] = {
        {"copy", "Could not copy '%1' to '%2'", path("download"), Earlier::Kept,
         [&](RollbackDataList *records, const QString &target) {
             return std::make_unique<FileCopyTaskSpecification>(records, path("download"), target,
                                                                nullptr, 1.0);
         }},
        {"copy that keeps the mode (a file kept aside)", "Could not copy '%1' to '%2'",
         path("download"), Earlier::RemovedFirst,
         [&](RollbackDataList *records, const QString &target) {
             return std::make_unique<FileCopyTaskSpecification>(records, path("download"), target,
                                                                nullptr, 1.0, true);
         }},
        {"lzma2 unpack", "Could not unpack '%1' to '%2'", path("download._lzma2_"), Earlier::Kept,
         [&](RollbackDataList *records, const QString &target) {
             return std::make_unique<FileUnpackTaskSpecification_lzma2>(
                 records, path("download._lzma2_"), target, nullptr, 1.0);
         }},
        {"gzip unpack", "Could not unzip '%1' to '%2'", path("download.gz"), Earlier::Kept,
         [&](RollbackDataList *records, const QString &target) {
             return std::make_unique<FileUnpackTaskSpecification_zip>(records, path("download.gz"),
                                                                      target, nullptr, 1.0);
         }},
        {"patch", "Could not patch '%1' to '%2'", path("app_old"), Earlier::Kept,
         [&](RollbackDataList *records, const QString &target) {
             return std::make_unique<FileTaskSpecification_patch>(
                 records, path("app_old"), path("app_patch_"), target, nullptr, 1.0);
         }},
        // Onto another file system a rename is a copy.
        {"rename", "Could not rename '%1' to '%2'", path("moved"), Earlier::None,
         [&](RollbackDataList *records, const QString &target) {
             return std::make_unique<FileRenameTaskSpecification>(path("moved"), target, records,
                                                                  nullptr, 1.0);
         }},
    };

    for (const FullVolumeCase &c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_TRUE(writeTestFile(path("moved"), newData));
        const QString target = onVolume("file");
        prepareVolume(c.earlier == Earlier::None ? QString() : "file");

        RollbackDataList records;
        std::unique_ptr<TaskSpecification> task = c.make(&records, target);
        TaskEventLog log;
        log.watch(task.get(), "t");
        task->execute();
        ASSERT_TRUE(waitUntil([&task] { return taskEnded(*task); }));

        EXPECT_EQ(task->state, int(TaskSpecification::Failed));
        EXPECT_EQ(log.filtered("t message"),
                  QStringList("t message " + c.failure.arg(c.source, target) + ": " + noSpace));
        EXPECT_TRUE(records.isEmpty());
        // No scratch file and no part of the new content: only what was there before.
        EXPECT_EQ(volumeFiles(),
                  c.earlier == Earlier::Kept ? QStringList({".filler", "file"})
                                             : QStringList(".filler"));
        if (c.earlier == Earlier::Kept) {
            EXPECT_EQ(readTestFile(target), QByteArray("installed"));
        }
        EXPECT_EQ(readTestFile(path("moved")), newData) << "a failed move keeps its source";
    }
}

TEST_F(FullVolumeTest, UndoingAMoveOntoAFullDiskLeavesNoPartialFile)
{
    // The kept old file lies on another file system than its place in the bundle.
    const QByteArray oldData = sample("old");
    ASSERT_TRUE(writeTestFile(path("kept"), oldData));
    prepareVolume(QString());
    RollbackDataList records;
    records.append(RollbackData(RollbackData::FILE_RENAME, onVolume("file"), path("kept")));
    EXPECT_FALSE(records.rollback(nullptr));
    EXPECT_EQ(volumeFiles(), QStringList(".filler"));
    EXPECT_EQ(readTestFile(path("kept")), oldData);
}

// The installed file to be patched does not fit into the full download folder: the user learns
// that, not that the patcher found no base, and the bundle stays as it was.
TEST_F(FullVolumeTest, APatchBaseThatDoesNotFitNamesTheFullDisk)
{
    const QString rel = QStringLiteral("Resources/data.bin");
    const QByteArray oldData = sample("old");
    const QByteArray newData = sample("new");
    const QByteArray patch = ensemblePatch(oldData, newData);
    Configuration config;
    config.installPath = path("Contents") + "/";
    config.tempDir = volume->folder();
    const QString installed = path("Contents/") + rel;
    const QString baseCopy = onVolume(rel + "_old");
    ASSERT_TRUE(writeTestFile(installed, oldData));
    ASSERT_TRUE(writeTestFile(onVolume(rel + "_patch_"), patch));
    ASSERT_TRUE(volume->fillLeaving(QStringLiteral(".filler"), 8192));
    ASSERT_LT(volume->freeSpace(), oldData.size());
    ReplaceEntry entry("mac", rel, qvxrun::sha512(newData), 0, rel, rel + "_patch_");
    entry.m_downloadHash = qvxrun::sha512(patch);
    QList<ReplaceEntry> entries({entry});
    QList<DeleteEntry> deletes;

    FileReplaceListTaskSpecification list(&entries, &deletes, &config, nullptr, 1.0);
    TaskEventLog log;
    log.watch(&list, "l");
    list.execute();
    ASSERT_TRUE(waitUntil([&list] { return taskEnded(list); }));

    EXPECT_EQ(list.state, int(TaskSpecification::Failed));
    const QString failure
        = QString("l message Could not patch '%1' to '%2': ").arg(baseCopy, installed) + noSpace;
    EXPECT_TRUE(log.filtered("l message").contains(failure))
        << qPrintable(log.filtered("l message").join(" | "));
    EXPECT_EQ(readTestFile(installed), oldData);
    EXPECT_FALSE(QFileInfo::exists(baseCopy));
}

} // namespace
