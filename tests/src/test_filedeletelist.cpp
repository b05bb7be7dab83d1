#include "configuration.h"
#include "faketasks.h"
#include "filedeletelisttaskspecification.h"
#include "fileops_test_support.h"
#include "replacelistdata.h"

#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

namespace {

class FileDeleteListTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        configuration.installPath = dir.path() + "/";
    }

    QString path(const QString &name) const { return dir.filePath(name); }

    // Runs the list to its end; the events of the list task only.
    QStringList run(FileDeleteListTaskSpecification &task)
    {
        TaskEventLog log;
        log.watch(&task, "list");
        task.execute();
        EXPECT_TRUE(
            QTest::qWaitFor([&task] { return task.state != TaskSpecification::Running; }, 10000));
        return log.lines;
    }

    QTemporaryDir dir;
    Configuration configuration;
    QList<DeleteEntry> entries;
};

TEST_F(FileDeleteListTest, EmptyListFinishesAtOnce)
{
    FileDeleteListTaskSpecification task(&entries, &configuration, nullptr, 0.05);
    TaskEventLog log;
    log.watch(&task, "list");
    task.execute();
    EXPECT_EQ(task.state, int(TaskSpecification::Finished));
    EXPECT_EQ(log.lines,
              QStringList(
                  {"list message Starting deleting files", "list progress 0.05", "list finished"}));
}

TEST_F(FileDeleteListTest, DeletesEntriesInOrderAndToleratesFailures)
{
    ASSERT_TRUE(writeTestFile(path("Contents/MacOS/old-tool"), "x"));
    ASSERT_TRUE(writeTestFile(path("Contents/Resources/old/a/b"), "x"));
    ASSERT_TRUE(writeTestFile(path("Contents/Plugins/full/f"), "x"));
    ASSERT_TRUE(QDir().mkpath(path("Contents/Empty/inner")));
    entries << DeleteEntry("Contents/MacOS/old-tool", false)
            << DeleteEntry("Contents/Resources/old", true)
            << DeleteEntry("Contents/vanished", false) // gone since the list was built
            << DeleteEntry("Contents/Plugins/full", false) // not empty: left alone
            << DeleteEntry("Contents/Empty/inner", false);
    FileDeleteListTaskSpecification task(&entries, &configuration, nullptr, 0.5);
    const QStringList events = run(task);

    EXPECT_EQ(task.state, int(TaskSpecification::Finished));
    ASSERT_EQ(task.allTasks.size(), 5);
    for (TaskSpecification *child : task.allTasks)
        EXPECT_DOUBLE_EQ(child->weight, 0.2);
    EXPECT_EQ(
        events.filter(" message "),
        QStringList(
            {"list message Starting deleting files",
             "list message Deleted file '" + path("Contents/MacOS/old-tool") + "'",
             "list message Recursively deleted directory '" + path("Contents/Resources/old") + "'",
             "list message Deleted directory '" + path("Contents/Empty/inner") + "'"}));
    QStringList progress = events.filter(" progress ");
    ASSERT_FALSE(progress.isEmpty());
    EXPECT_EQ(progress.last(), "list progress 0.5");
    EXPECT_EQ(events.last(), "list finished");

    EXPECT_FALSE(QFileInfo::exists(path("Contents/MacOS/old-tool")));
    EXPECT_FALSE(QFileInfo::exists(path("Contents/Resources/old")));
    EXPECT_TRUE(QFileInfo::exists(path("Contents/Plugins/full/f")));
    // The emptied parent went with the empty folder.
    EXPECT_FALSE(QFileInfo::exists(path("Contents/Empty")));
    EXPECT_TRUE(QFileInfo::exists(path("Contents/Plugins")));
}

TEST_F(FileDeleteListTest, ProgressClimbsInEqualShares)
{
    for (const char *name : {"a", "b", "c"}) {
        ASSERT_TRUE(writeTestFile(path(name), "x"));
        entries << DeleteEntry(name, false);
    }
    FileDeleteListTaskSpecification task(&entries, &configuration, nullptr, 1.0);
    // A later change of the shared list does not reach a running step.
    task.execute();
    entries.clear();
    TaskEventLog log;
    log.watch(&task, "list");
    ASSERT_TRUE(
        QTest::qWaitFor([&task] { return task.state != TaskSpecification::Running; }, 10000));
    QStringList values;
    for (const QString &line : log.filtered("list progress "))
        values << line.mid(14).left(6);
    EXPECT_EQ(values, QStringList({"0.3333", "0.6666", "1", "1"}));
    EXPECT_EQ(task.state, int(TaskSpecification::Finished));
}

TEST_F(FileDeleteListTest, CancelBeforeTheFirstStartAbortsWithNothingDeleted)
{
    ASSERT_TRUE(writeTestFile(path("keep"), "x"));
    entries << DeleteEntry("keep", false);
    FileDeleteListTaskSpecification task(&entries, &configuration, nullptr, 1.0);
    task.execute();
    task.cancel();
    ASSERT_TRUE(
        QTest::qWaitFor([&task] { return task.state != TaskSpecification::Running; }, 10000));
    EXPECT_EQ(task.state, int(TaskSpecification::Aborted));
    EXPECT_TRUE(QFileInfo::exists(path("keep")));

    // A reset builds the children anew on the next run.
    task.reset();
    EXPECT_TRUE(task.allTasks.isEmpty());
    EXPECT_EQ(run(task).last(), "list finished");
    EXPECT_FALSE(QFileInfo::exists(path("keep")));
}

TEST(FileDeleteListBoundTest, EmptiedParentsGoOnlyInsideTheClientFolder)
{
    const struct
    {
        const char *label;
        QString installPath; // below the bundle's Contents folder
        QStringList folders; // made inside Contents, empty
        QStringList files; // made inside Contents
        QStringList deletes; // non-recursive entries
        QStringList gone; // inside Contents
        QStringList kept; // inside Contents
    } cases[] = {
        {"parents empty out up to the bundle",
         "",
         {"Resources/old/empty"},
         {},
         {"Resources/old/empty"},
         {"Resources"},
         {}},
        {"the only folder of the bundle", "", {"only"}, {}, {"only"}, {"only"}, {}},
        {"a folder beside others",
         "",
         {"Resources/a/b/empty", "Resources/a/c"},
         {"Resources/a/f"},
         {"Resources/a/b/empty"},
         {"Resources/a/b"},
         {"Resources/a/c", "Resources/a/f"}},
        {"two entries empty one folder",
         "",
         {"Frameworks/A/empty", "Frameworks/B"},
         {},
         {"Frameworks/A/empty", "Frameworks/B"},
         {"Frameworks"},
         {}},
        // The client folder as the updater finds it: its shared-support folder and "..".
        {"client folder named through SharedSupport/..",
         "SharedSupport/../",
         {"SharedSupport", "x/y"},
         {},
         {"x/y"},
         {"x"},
         {"SharedSupport"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        // Nothing else beside the bundle: a climb past it would empty every folder above.
        QTemporaryDir outer;
        ASSERT_TRUE(outer.isValid());
        const QString bundle = outer.filePath("Apps/Client.app");
        const QString contents = bundle + "/Contents";
        ASSERT_TRUE(QDir().mkpath(contents));
        for (const QString &folder : c.folders)
            ASSERT_TRUE(QDir().mkpath(contents + "/" + folder));
        for (const QString &file : c.files)
            ASSERT_TRUE(writeTestFile(contents + "/" + file, "x"));

        Configuration configuration;
        configuration.installPath = contents + "/" + c.installPath;
        QList<DeleteEntry> entries;
        for (const QString &name : c.deletes)
            entries << DeleteEntry(name, false);
        FileDeleteListTaskSpecification task(&entries, &configuration, nullptr, 1.0);
        task.execute();
        ASSERT_TRUE(
            QTest::qWaitFor([&task] { return task.state != TaskSpecification::Running; }, 10000));
        EXPECT_EQ(task.state, int(TaskSpecification::Finished));

        for (const QString &name : c.gone)
            EXPECT_FALSE(QFileInfo::exists(contents + "/" + name)) << name.toStdString();
        for (const QString &name : c.kept)
            EXPECT_TRUE(QFileInfo::exists(contents + "/" + name)) << name.toStdString();
        for (const QString &folder : {contents, bundle, outer.filePath("Apps"), outer.path()})
            EXPECT_TRUE(QFileInfo(folder).isDir()) << folder.toStdString();
    }
}

} // namespace
