#include "dircreatetaskspecification.h"
#include "faketasks.h"
#include "filecopytaskspecification.h"
#include "filedeletetaskspecification.h"
#include "fileops_test_support.h"
#include "filerenametaskspecification.h"
#include "rollback.h"

#include <QTemporaryDir>
#include <QTest>

#include <functional>

#include <gtest/gtest.h>

namespace {

class FileOpTaskTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }

    QString path(const QString &name) const { return dir.filePath(name); }

    // Executes a task that ends inside execute; returns its events after "<name> execute".
    static QStringList run(TaskSpecification &task)
    {
        TaskEventLog log;
        log.watch(&task, "t");
        task.execute();
        return log.lines;
    }

    static QStringList paths(const RollbackDataList &list)
    {
        QStringList result;
        for (const RollbackData &record : list)
            result << QString::number(record.op) + " " + record.path;
        return result;
    }

    QTemporaryDir dir;
};

TEST_F(FileOpTaskTest, DirCreateMakesMissingParentsFirstAndRecordsEach)
{
    ASSERT_TRUE(QDir().mkpath(path("x")));
    RollbackDataList records;
    DirCreateTaskSpecification task(path("x/y/z/"), &records, nullptr, 0.25);
    EXPECT_EQ(run(task), QStringList({"t progress 0.25", "t finished"}));
    EXPECT_EQ(task.state, int(TaskSpecification::Finished));
    EXPECT_TRUE(QFileInfo(path("x/y/z")).isDir());
    EXPECT_EQ(paths(records), QStringList({"2 " + path("x/y"), "2 " + path("x/y/z")}));

    // An existing folder is fine and not recorded; the records undo what was made.
    DirCreateTaskSpecification again(path("x/y/z"), &records, nullptr, 1.0);
    EXPECT_EQ(run(again), QStringList({"t progress 1", "t finished"}));
    EXPECT_EQ(records.size(), 2);
    EXPECT_TRUE(records.rollback(nullptr));
    EXPECT_FALSE(QFileInfo::exists(path("x/y")));
    EXPECT_TRUE(QFileInfo::exists(path("x")));
}

TEST_F(FileOpTaskTest, DirCreateFailuresNameTheRightPath)
{
    ASSERT_TRUE(writeTestFile(path("file"), "x"));
    ASSERT_TRUE(QDir().mkpath(path("made")));
    const QString relative = "qvx-nonexistent-relative-dir-8d1f/sub";
    const struct
    {
        const char *name;
        QString target;
        QString text;
    } cases[] = {
        {"name taken by a file", path("file"),
         QString("Could not create dir '%1' because it already exists and is not a dir")
             .arg(path("file"))},
        {"ancestor is a file", path("file/a/b"),
         QString("unable to create dir %1").arg(path("file/a"))},
        {"no folder part", "qvx-nonexistent-dir-8d1f",
         "Could not create dir qvx-nonexistent-dir-8d1f"},
        {"relative ancestors", relative, "Could not create dir " + relative},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        RollbackDataList records;
        DirCreateTaskSpecification task(c.target, &records, nullptr, 1.0);
        EXPECT_EQ(run(task), QStringList({"t message " + c.text, "t canceled"}));
        EXPECT_EQ(task.state, int(TaskSpecification::Failed));
        EXPECT_EQ(task.progress, 0.0);
        EXPECT_TRUE(records.isEmpty());
    }
    // Without a list nothing is recorded, and nothing breaks.
    DirCreateTaskSpecification unrecorded(path("made/new"), nullptr, nullptr, 1.0);
    unrecorded.execute();
    EXPECT_EQ(unrecorded.state, int(TaskSpecification::Finished));
}

TEST_F(FileOpTaskTest, DeleteHandlesFilesFoldersAndLinks)
{
    const struct
    {
        const char *name;
        std::function<void(const QString &)> setUp;
        QString target;
        bool recursive;
        bool mustSucceed;
        QString text; // empty: no message
        bool fails;
        QStringList gone;
        QStringList kept;
    } cases[] = {
        {"file",
         [](const QString &base) { writeTestFile(base + "/f", "x"); },
         "f",
         false,
         true,
         "Deleted file '%1'",
         false,
         {"f"},
         {}},
        {"missing file tolerated",
         [](const QString &) {},
         "missing",
         false,
         false,
         "",
         false,
         {},
         {}},
        {"missing file required",
         [](const QString &) {},
         "missing",
         false,
         true,
         "Could not delete '%1'",
         true,
         {},
         {}},
        {"empty folder takes its emptied parents along",
         [](const QString &base) {
             QDir().mkpath(base + "/p/q/empty");
             writeTestFile(base + "/keep", "x");
         },
         "p/q/empty",
         false,
         true,
         "Deleted directory '%1'",
         false,
         {"p"},
         {"keep"}},
        {"full folder tolerated",
         [](const QString &base) { writeTestFile(base + "/full/f", "x"); },
         "full",
         false,
         false,
         "",
         false,
         {},
         {"full/f"}},
        {"full folder required",
         [](const QString &base) { writeTestFile(base + "/full/f", "x"); },
         "full",
         false,
         true,
         "Could not delete '%1'",
         true,
         {},
         {"full/f"}},
        {"recursive",
         [](const QString &base) {
             writeTestFile(base + "/tree/a/b", "x");
             writeTestFile(base + "/tree/c", "x");
         },
         "tree",
         true,
         true,
         "Recursively deleted directory '%1'",
         false,
         {"tree"},
         {}},
        {"link to a folder removes only the link",
         [](const QString &base) {
             writeTestFile(base + "/real/f", "x");
             QFile::link(base + "/real", base + "/link");
         },
         "link",
         true,
         true,
         "Deleted file '%1'",
         false,
         {"link"},
         {"real/f"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir base;
        c.setUp(base.path());
        const QString target = base.filePath(c.target);
        FileDeleteTaskSpecification task(c.mustSucceed, target, c.recursive, nullptr, 0.5,
                                         base.path());
        QStringList expected;
        if (!c.text.isEmpty())
            expected << "t message " + c.text.arg(target);
        expected << (c.fails ? QStringList({"t canceled"})
                             : QStringList({"t progress 0.5", "t finished"}));
        EXPECT_EQ(run(task), expected);
        for (const QString &name : c.gone)
            EXPECT_FALSE(QFileInfo(base.filePath(name)).exists()
                         || QFileInfo(base.filePath(name)).isSymLink())
                << name.toStdString();
        for (const QString &name : c.kept)
            EXPECT_TRUE(QFileInfo::exists(base.filePath(name))) << name.toStdString();
    }
}

TEST_F(FileOpTaskTest, RenameRecordsTheMoveAndNeverOverwrites)
{
    ASSERT_TRUE(writeTestFile(path("old"), "content"));
    RollbackDataList records;
    FileRenameTaskSpecification task(path("old"), path("sub/new"), &records, nullptr, 1.0);
    EXPECT_EQ(task.path, path("sub/new"));
    EXPECT_EQ(run(task), QStringList({"t progress 1", "t finished"}));
    EXPECT_EQ(readTestFile(path("sub/new")), QByteArray("content"));
    ASSERT_EQ(records.size(), 1);
    EXPECT_EQ(records.first().op, int(RollbackData::FILE_RENAME));
    EXPECT_EQ(records.first().path, path("sub/new"));
    EXPECT_EQ(records.first().path2, path("old"));

    ASSERT_TRUE(writeTestFile(path("other"), "other"));
    FileRenameTaskSpecification blocked(path("other"), path("sub/new"), &records, nullptr, 1.0);
    EXPECT_EQ(run(blocked),
              QStringList({QString("t message Could not rename '%1' to '%2': File exists")
                               .arg(path("other"), path("sub/new")),
                           "t canceled"}));
    EXPECT_EQ(records.size(), 1);
    EXPECT_EQ(readTestFile(path("sub/new")), QByteArray("content"));
    EXPECT_EQ(readTestFile(path("other")), QByteArray("other"));

    EXPECT_TRUE(records.rollback(nullptr));
    EXPECT_EQ(readTestFile(path("old")), QByteArray("content"));
}

TEST_F(FileOpTaskTest, CopyReplacesTheTargetAndRecordsOnlySuccess)
{
    ASSERT_TRUE(writeTestFile(path("download"), "new content"));
    ASSERT_TRUE(writeTestFile(path("installed"), "old"));
    const QString failure = "t message Could not copy '%1' to '%2'";
    const struct
    {
        const char *name;
        QString source;
        QString target;
        bool succeeds;
        QByteArray targetAfter; // empty: the target must not exist
        QString reason; // after the failure text
    } cases[] = {
        {"new target", path("download"), path("fresh"), true, "new content", ""},
        {"existing target", path("download"), path("installed"), true, "new content", ""},
        {"missing source keeps the target", path("missing"), path("installed"), false,
         "new content", ": No such file or directory"},
        {"missing target folder", path("download"), path("no/such/target"), false, "",
         ": No such file or directory"},
        {"onto itself", path("download"), path("download"), false, "new content",
         ": it is the same file"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        RollbackDataList records;
        FileCopyTaskSpecification task(&records, c.source, c.target, nullptr, 0.5);
        TaskEventLog log;
        log.watch(&task, "t");
        task.execute();
        ASSERT_TRUE(
            QTest::qWaitFor([&task] { return task.state != TaskSpecification::Running; }, 10000));
        if (c.succeeds) {
            EXPECT_EQ(log.lines, QStringList({"t progress 0.5", "t finished"}));
            EXPECT_EQ(paths(records), QStringList("1 " + c.target));
        } else {
            EXPECT_EQ(log.lines,
                      QStringList({failure.arg(c.source, c.target) + c.reason, "t canceled"}));
            EXPECT_TRUE(records.isEmpty());
        }
        if (c.targetAfter.isEmpty())
            EXPECT_FALSE(QFileInfo::exists(c.target));
        else
            EXPECT_EQ(readTestFile(c.target), c.targetAfter);
    }
    EXPECT_EQ(readTestFile(path("download")), QByteArray("new content"));
}

} // namespace
