// The scratch file that a new content is written under before it replaces its target: what
// another user left at the scratch name is removed, never written through.
#include "filecopyfunc.h"
#include "fileops_test_support.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "scratchfile.h"
#include "test_maintask_support.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

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

// Should a link take the scratch file's place while the content is written, the link is not
// moved over the target, nor is anything written through it by the copy.
TEST_F(ScratchFileTest, ALinkSwappedInWhileWritingIsNotInstalled)
{
    ASSERT_TRUE(writeTestFile(outside, theirs));
    const QString link = outside;
    const auto swapThen = [&link](const std::function<bool(const QString &)> &write) {
        return [&link, write](const QString &scratch) {
            QFile::remove(scratch);
            if (!QFile::link(link, scratch))
                return false;
            return write(scratch);
        };
    };
    const struct
    {
        const char *name;
        std::function<bool(const QString &)> write;
    } cases[] = {
        {"copy into the scratch file",
         swapThen([this](const QString &scratch) { return copyIntoScratch(source, scratch); })},
        {"a writer that opens its name", swapThen([](const QString &) { return true; })},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(writeTestFile(target, "old content"));
        EXPECT_FALSE(writeFileThroughScratch(target, c.write));
        EXPECT_EQ(readTestFile(target), QByteArray("old content"));
        EXPECT_FALSE(QFileInfo(target).isSymLink());
        EXPECT_EQ(readTestFile(outside), theirs);
        EXPECT_FALSE(QFileInfo(scratchPathFor(target)).isSymLink());
    }
}

} // namespace
