#include "configuration.h"
#include "faketasks.h"
#include "fileops_test_support.h"
#include "mainwindowaccess.h"
#include "prepostinstalltaskspecification.h"
#include "replacelistdata.h"

#include <QFile>
#include <QTemporaryDir>
#include <QWidget>

#include <gtest/gtest.h>

namespace {

// Stands in for the main window: counts the restart questions it would ask.
class RebootWindow : public QWidget
{
    Q_OBJECT

public:
    int questions = 0;

public slots:
    void onRebootWithConfirmation() { ++questions; }
};

class PrePostInstallTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        config.tempDir = dir.path();
    }

    void TearDown() override { g_MainWindow = nullptr; }

    // A shell script in the download folder with the given body.
    void script(const QString &name, const QByteArray &body)
    {
        const QString file = dir.filePath(name);
        ASSERT_TRUE(writeTestFile(file, "#!/bin/sh\n" + body + "\n"));
        ASSERT_TRUE(QFile::setPermissions(file, QFile::permissions(file) | QFile::ExeOwner));
    }

    // Runs one command task to its end; returns its messages.
    QStringList runCommand(PrePostInstallCmd &cmd, int *state)
    {
        PrePostInstallTaskSpecification task(&cmd, &config, nullptr, 0.1);
        TaskEventLog log;
        log.watch(&task, "t");
        task.execute();
        EXPECT_TRUE(waitUntil([&task] { return taskEnded(task); }));
        *state = task.state;
        return log.filtered("t message");
    }

    QTemporaryDir dir;
    Configuration config;
};

struct ExitCase
{
    const char *label;
    QByteArray body; // empty: no program at all
    bool required;
    int state;
    QStringList messages; // after "Starting <name>"; "*" matches any error text
};

TEST_F(PrePostInstallTest, ExitCodesDecideTheEndAndTheMessages)
{
    const QString f = "t message Failed to complete cmd, exit code: 1";
    const ExitCase cases[] = {
        {"zero",
         "exit 0",
         true,
         TaskSpecification::Finished,
         {"t message cmd completed sucessfully"}},
        {"one required", "exit 1", true, TaskSpecification::Failed, {f}},
        {"one optional", "exit 1", false, TaskSpecification::Finished, {f}},
        {"two required", "exit 2", true, TaskSpecification::Failed, {}},
        {"two optional", "exit 2", false, TaskSpecification::Finished, {}},
        {"crash required", "kill -9 $$", true, TaskSpecification::Failed, {}},
        {"missing required", "", true, TaskSpecification::Failed, {"*"}},
        {"missing optional", "", false, TaskSpecification::Finished, {"*"}},
        // The shell hands on the low eight bits of 1010, as any program's exit would.
        {"reboot",
         "exit 1010",
         true,
         TaskSpecification::Finished,
         {"t message cmd completed sucessfully, reboot required"}},
    };
    for (const ExitCase &c : cases) {
        SCOPED_TRACE(c.label);
        QFile::remove(dir.filePath("cmd"));
        if (!c.body.isEmpty())
            script("cmd", c.body);
        PrePostInstallCmd cmd("cmd", {}, c.required);
        int state = -1;
        const QStringList messages = runCommand(cmd, &state);
        EXPECT_EQ(state, c.state);
        ASSERT_EQ(messages.size(), c.messages.size() + 1) << messages.join('\n').toStdString();
        EXPECT_EQ(messages.first(), "t message Starting cmd");
        for (int i = 0; i < c.messages.size(); ++i) {
            if (c.messages[i] == "*")
                EXPECT_TRUE(messages[i + 1].startsWith("t message Failed to start cmd: "));
            else
                EXPECT_EQ(messages[i + 1], c.messages[i]);
        }
    }
}

TEST_F(PrePostInstallTest, ArgumentsGetTwoHyphensAndTheStoredCommandStaysAsItWas)
{
    script("args", "for a in \"$@\"; do echo \"$a\"; done > \"$(dirname \"$0\")/seen\"");
    PrePostInstallCmd cmd("args", {"a", "b=1"}, true);
    int state = -1;
    runCommand(cmd, &state);
    EXPECT_EQ(state, int(TaskSpecification::Finished));
    EXPECT_EQ(readTestFile(dir.filePath("seen")), QByteArray("--a\n--b=1\n"));
    EXPECT_EQ(cmd.m_arguments, QStringList({"a", "b=1"}));
}

TEST_F(PrePostInstallTest, RestartRequestReachesTheWindowOnlyWhenThereIsOne)
{
    script("reboot", "exit 1010");
    PrePostInstallCmd cmd("reboot", {}, true);
    int state = -1;

    // Without a window the request still counts as success.
    runCommand(cmd, &state);
    EXPECT_EQ(state, int(TaskSpecification::Finished));

    RebootWindow window;
    g_MainWindow = &window;
    runCommand(cmd, &state);
    EXPECT_EQ(state, int(TaskSpecification::Finished));
    EXPECT_TRUE(waitUntil([&window] { return window.questions == 1; }));
}

TEST_F(PrePostInstallTest, CancelStopsACommandThatNeverEnds)
{
    script("hang", "echo started > \"$(dirname \"$0\")/hang.started\"\nexec sleep 600");
    PrePostInstallCmd cmd("hang", {}, false);
    PrePostInstallTaskSpecification task(&cmd, &config, nullptr, 0.1);
    task.execute();
    ASSERT_TRUE(waitUntil([this] { return QFile::exists(dir.filePath("hang.started")); }));
    EXPECT_EQ(task.state, int(TaskSpecification::Running));
    task.cancel();
    ASSERT_TRUE(waitUntil([&task] { return taskEnded(task); }));
    // Even an optional command does not count as done when it was stopped.
    EXPECT_EQ(task.state, int(TaskSpecification::Aborted));
}

TEST_F(PrePostInstallTest, ListRunsInOrderAndStopsAtTheFirstRequiredFailure)
{
    script("ok", "echo \"$1\" >> \"$(dirname \"$0\")/order\"");
    script("bad", "echo bad >> \"$(dirname \"$0\")/order\"; exit 1");
    QList<PrePostInstallCmd> commands {{"ok", {"1"}, true},
                                       {"bad", {}, false},
                                       {"ok", {"2"}, true},
                                       {"bad", {}, true},
                                       {"ok", {"3"}, true}};
    PrePostInstallListTaskSpecification list(&commands, &config, nullptr, 0.1);
    TaskEventLog log;
    log.watch(&list, "l");
    list.execute();
    ASSERT_TRUE(waitUntil([&list] { return taskEnded(list); }));
    EXPECT_EQ(list.state, int(TaskSpecification::Failed));
    EXPECT_EQ(readTestFile(dir.filePath("order")), QByteArray("--1\nbad\n--2\nbad\n"));
    const QStringList messages = log.filtered("l message");
    ASSERT_FALSE(messages.isEmpty());
    EXPECT_EQ(messages.first(), "l message Starting install condition");
    EXPECT_EQ(messages.count("l message Failed to complete bad, exit code: 1"), 2);
    EXPECT_EQ(messages.count("l message Starting ok"), 2);
}

TEST_F(PrePostInstallTest, ListWeightsAndEmptyList)
{
    QList<PrePostInstallCmd> commands;
    PrePostInstallListTaskSpecification empty(&commands, &config, nullptr, 0.1);
    TaskEventLog log;
    log.watch(&empty, "e");
    empty.execute();
    EXPECT_EQ(empty.state, int(TaskSpecification::Finished));
    EXPECT_TRUE(log.filtered("e message").isEmpty());

    // Every command weighs 0.1 whatever their number: twelve make 1.2 of the list.
    script("ok", "exit 0");
    for (int i = 0; i < 12; ++i)
        commands.append(PrePostInstallCmd("ok", {}, true));
    PrePostInstallListTaskSpecification list(&commands, &config, nullptr, 0.5);
    list.execute();
    ASSERT_EQ(list.allTasks.size(), 12);
    double sum = 0.0;
    for (const TaskSpecification *task : qAsConst(list.allTasks))
        sum += task->weight;
    EXPECT_NEAR(sum, 1.2, 1e-9);
    ASSERT_TRUE(waitUntil([&list] { return taskEnded(list); }));
    EXPECT_EQ(list.state, int(TaskSpecification::Finished));

    // A reset list runs again from the start.
    list.reset();
    EXPECT_EQ(list.state, int(TaskSpecification::Idle));
    list.execute();
    ASSERT_TRUE(waitUntil([&list] { return taskEnded(list); }));
    EXPECT_EQ(list.state, int(TaskSpecification::Finished));
}

} // namespace

#include "test_prepostinstall.moc"
