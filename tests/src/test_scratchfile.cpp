// The scratch file that a new content is written under before it replaces its target: what
// another user left at the scratch name is removed, never written through.
#include "filecopyfunc.h"
#include "fileops_test_support.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "fileunpacktaskspecification_zip.h"
#include "scratchfile.h"
#include "test_maintask_support.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <unistd.h>

namespace {

enum Plant { NothingPlanted, SymLink, DanglingLink, HardLink, PlainFile };

const QByteArray theirs("someone else's file\n");
const QByteArray newContent = qvxrun::lines("new content");

class ScratchFileTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(writeTestFile(target, "old content"));
        ASSERT_TRUE(writeTestFile(source, newContent));
        ASSERT_TRUE(writeTestFile(packed, qvxrun::packLzma2(newContent)));
    }

    // Puts what the plant names at the scratch name of target; outside gets their bytes.
    bool plantAtScratch(Plant plant)
    {
        const QByteArray scratch = QFile::encodeName(scratchPathFor(target));
        QFile::remove(outside);
        QFile::remove(missing);
        if (plant != PlainFile && !writeTestFile(outside, theirs))
            return false;
        switch (plant) {
        case NothingPlanted:
            return true;
        case SymLink:
            return ::symlink(QFile::encodeName(outside).constData(), scratch.constData()) == 0;
        case DanglingLink:
            return ::symlink(QFile::encodeName(missing).constData(), scratch.constData()) == 0;
        case HardLink:
            return ::link(QFile::encodeName(outside).constData(), scratch.constData()) == 0;
        case PlainFile:
            return writeTestFile(scratchPathFor(target), theirs);
        }
        return false;
    }

    QTemporaryDir dir;
    const QString target = dir.filePath("Resources/file.txt");
    const QString source = dir.filePath("download/file.txt");
    const QString packed = dir.filePath("download/file.txt._lzma2_");
    const QString outside = dir.filePath("elsewhere/outside.txt");
    const QString missing = dir.filePath("elsewhere/created.txt");
};

TEST_F(ScratchFileTest, WhatLiesAtTheScratchNameIsReplacedNotFollowed)
{
    const struct
    {
        const char *name;
        std::function<bool(const QString &source, const QString &packed, const QString &target)>
            write;
    } writers[] = {
        {"copy",
         [](const QString &from, const QString &, const QString &to) {
             return FileCopyFunc(from, to).run();
         }},
        {"unpack",
         [](const QString &, const QString &from, const QString &to) {
             return FileUnpackFunc_lzma2(from, to).run();
         }},
    };
    for (const auto &writer : writers) {
        for (const Plant plant : {NothingPlanted, SymLink, DanglingLink, HardLink, PlainFile}) {
            SCOPED_TRACE(QString("%1, plant %2").arg(writer.name).arg(int(plant)).toStdString());
            ASSERT_TRUE(writeTestFile(target, "old content"));
            ASSERT_TRUE(plantAtScratch(plant));

            EXPECT_TRUE(writer.write(source, packed, target));
            EXPECT_EQ(readTestFile(target), newContent);
            EXPECT_FALSE(QFileInfo(target).isSymLink());
            EXPECT_FALSE(QFileInfo::exists(scratchPathFor(target)));
            EXPECT_FALSE(QFileInfo(scratchPathFor(target)).isSymLink());
            if (plant != PlainFile) {
                EXPECT_EQ(readTestFile(outside), theirs);
            }
            EXPECT_FALSE(QFileInfo::exists(missing));
        }
    }
}

// Should a link or a second name take the scratch file's place while the content is written,
// it is not moved over the target, nor is anything written through it.
TEST_F(ScratchFileTest, ALinkSwappedInWhileWritingIsNotInstalled)
{
    const auto swap = [this](const QString &scratch, bool hard) {
        QFile::remove(scratch);
        const QByteArray from = QFile::encodeName(outside);
        const QByteArray to = QFile::encodeName(scratch);
        return (hard ? ::link(from.constData(), to.constData())
                     : ::symlink(from.constData(), to.constData()))
            == 0;
    };
    const struct
    {
        const char *name;
        std::function<bool(const QString &target, bool hard)> write;
    } cases[] = {
        {"copy through the descriptor",
         [&](const QString &to, bool hard) {
             return writeFileThroughScratch(to, ScratchFiller([&](int fd, QString *why) {
                                                return swap(scratchPathFor(to), hard)
                                                    && copyIntoScratch(source, fd, why);
                                            }),
                                            nullptr);
         }},
        {"bytes through the descriptor",
         [&](const QString &to, bool hard) {
             return writeFileThroughScratch(to, ScratchFiller([&](int fd, QString *why) {
                                                return swap(scratchPathFor(to), hard)
                                                    && writeIntoScratch(newContent, fd, why);
                                            }),
                                            nullptr);
         }},
        {"gzip restore through the descriptor",
         [&](const QString &to, bool hard) {
             // zlib passes a source that is not gzip through as it is.
             return writeFileThroughScratch(to, ScratchFiller([&](int fd, QString *why) {
                                                return swap(scratchPathFor(to), hard)
                                                    && FileUnpackFunc_Zip::unpackInto(fd, source,
                                                                                      why);
                                            }),
                                            nullptr);
         }},
        {"copy into the scratch name",
         [&](const QString &to, bool hard) {
             return writeFileThroughScratch(to, [&](const QString &scratch) {
                 return swap(scratch, hard) && copyIntoScratch(source, scratch);
             });
         }},
        {"bytes into the scratch name",
         [&](const QString &to, bool hard) {
             return writeFileThroughScratch(to, [&](const QString &scratch) {
                 return swap(scratch, hard) && writeIntoScratch(newContent, scratch);
             });
         }},
        {"a writer that opens its name",
         [&](const QString &to, bool hard) {
             return writeFileThroughScratch(
                 to, [&](const QString &scratch) { return swap(scratch, hard); });
         }},
    };
    for (const auto &c : cases) {
        for (const bool hard : {false, true}) {
            SCOPED_TRACE(
                QString("%1, %2").arg(c.name, hard ? "hard link" : "symbolic link").toStdString());
            ASSERT_TRUE(writeTestFile(target, "old content"));
            ASSERT_TRUE(writeTestFile(outside, theirs));
            EXPECT_FALSE(c.write(target, hard));
            EXPECT_EQ(readTestFile(target), QByteArray("old content"));
            EXPECT_FALSE(QFileInfo(target).isSymLink());
            EXPECT_EQ(readTestFile(outside), theirs);
            EXPECT_FALSE(QFileInfo(scratchPathFor(target)).isSymLink());
        }
    }
}

// A refused or failed write says why, in the system's words where the system refused.
TEST_F(ScratchFileTest, AFailedWriteNamesItsReason)
{
    const struct
    {
        const char *name;
        ScratchFiller fill;
        QString reason;
    } cases[] = {
        {"the scratch name taken by a second name",
         [&](int fd, QString *why) {
             const QByteArray scratch = QFile::encodeName(scratchPathFor(target));
             return ::unlink(scratch.constData()) == 0
                 && ::link(QFile::encodeName(outside).constData(), scratch.constData()) == 0
                 && writeIntoScratch(newContent, fd, why);
         },
         QString("another file took the scratch file's place while it was written")},
        {"a write that the system refuses",
         [](int, QString *why) { return writeIntoScratch(newContent, -1, why); },
         QString("Bad file descriptor")},
        {"a source that cannot be read",
         [&](int fd, QString *why) { return copyIntoScratch(missing, fd, why); },
         QString("No such file or directory")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(writeTestFile(target, "old content"));
        ASSERT_TRUE(writeTestFile(outside, theirs));
        QString reason;
        EXPECT_FALSE(writeFileThroughScratch(target, c.fill, &reason));
        EXPECT_EQ(reason, c.reason);
        EXPECT_EQ(readTestFile(target), QByteArray("old content"));
        EXPECT_EQ(readTestFile(outside), theirs);
    }
}

// A target that did not exist when the write started is new: a file that takes its name in the
// meantime keeps it. A target that existed is replaced as before.
TEST_F(ScratchFileTest, ANewFileNeverReplacesWhatTookItsName)
{
    const QString fresh = dir.filePath("Resources/a_new");
    const struct
    {
        const char *name;
        bool existed;
        bool ok;
        QByteArray after;
    } cases[] = {
        {"new, the name taken meanwhile", false, false, theirs},
        {"there before, replaced meanwhile", true, true, newContent},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(fresh);
        if (c.existed) {
            ASSERT_TRUE(writeTestFile(fresh, "old content"));
        }
        setScratchMoveHook([&](const QString &destination) {
            if (destination == fresh) {
                QFile::remove(fresh);
                writeTestFile(fresh, theirs);
            }
        });
        QString reason;
        FileIdentity written;
        const bool ok = writeFileThroughScratch(fresh, ScratchFiller([&](int fd, QString *why) {
                                                    return copyIntoScratch(source, fd, why);
                                                }),
                                                &reason, &written);
        setScratchMoveHook({});
        EXPECT_EQ(ok, c.ok);
        EXPECT_EQ(readTestFile(fresh), c.after);
        EXPECT_FALSE(QFileInfo::exists(scratchPathFor(fresh)));
        if (!c.ok) {
            EXPECT_EQ(reason, "File exists");
        }
    }
}

// How a move that must not replace goes on when a way of doing it fails: only what says "not
// here" leads to the next way; anything else is the move's reason.
TEST(NoReplaceMoveDecision, OnlyWhatTheVolumeCannotDoLeadsToTheNextWay)
{
    const struct
    {
        int error;
        bool intoItself;
        NoReplaceNext next;
    } oneStep[] = {
        {EEXIST, false, NoReplaceNext::Fail},
        {EXDEV, false, NoReplaceNext::Fail},
        {EACCES, false, NoReplaceNext::Fail},
        {ENOENT, false, NoReplaceNext::Fail},
        {EPERM, false, NoReplaceNext::Fail},
        {EINVAL, false, NoReplaceNext::Link}, // the flag unknown to the file system
        {EINVAL, true, NoReplaceNext::Fail}, // a folder moved into itself
        {ENOSYS, false, NoReplaceNext::Link},
        {ENOTSUP, false, NoReplaceNext::Link},
        {EOPNOTSUPP, false, NoReplaceNext::Link},
    };
    for (const auto &c : oneStep) {
        SCOPED_TRACE(QString("%1 %2").arg(c.error).arg(c.intoItself).toStdString());
        EXPECT_EQ(int(afterOneStepMoveFailed(c.error, c.intoItself)), int(c.next));
    }
    const struct
    {
        int error;
        NoReplaceNext next;
    } linking[] = {
        {EEXIST, NoReplaceNext::Fail},
        {EXDEV, NoReplaceNext::Fail},
        {EACCES, NoReplaceNext::Fail},
        {ENOENT, NoReplaceNext::Fail},
        {EMLINK, NoReplaceNext::Fail},
        {EROFS, NoReplaceNext::Fail},
        {EPERM, NoReplaceNext::CheckThenRename}, // FAT, exFAT
        {ENOTSUP, NoReplaceNext::CheckThenRename}, // SMB
        {EOPNOTSUPP, NoReplaceNext::CheckThenRename},
        {ENOSYS, NoReplaceNext::CheckThenRename},
    };
    for (const auto &c : linking) {
        SCOPED_TRACE(c.error);
        EXPECT_EQ(int(afterLinkingFailed(c.error)), int(c.next));
    }
}

// A folder moved into itself is refused with the system's reason, not taken for a volume that
// cannot move without replacing.
TEST(NoReplaceMove, AFolderMovedIntoItselfFailsWithItsReason)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString folder = dir.filePath("folder");
    ASSERT_TRUE(QDir().mkpath(folder + "/inner"));
    EXPECT_EQ(renameWithoutReplacing(folder, folder + "/inner/moved"), EINVAL);
    EXPECT_TRUE(QFileInfo(folder + "/inner").isDir());
    EXPECT_FALSE(QFileInfo::exists(folder + "/inner/moved"));
}

} // namespace
