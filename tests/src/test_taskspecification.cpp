#include "faketasks.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

namespace {

using End = FakeTask::End;

void deliverOtherCancelled(TaskSpecification *receiver, TaskSpecification *other)
{
    ASSERT_TRUE(QMetaObject::invokeMethod(receiver, "onOtherTaskCancelled", Qt::DirectConnection,
                                          Q_ARG(TaskSpecification *, other)));
}

TEST(TaskModel, FreshTaskIsIdleAndSilentUntilExecuted)
{
    TaskEventLog log;
    FakeTask task("t", nullptr, 0.3, End::Never, &log);
    EXPECT_EQ(task.state, TaskSpecification::Idle);
    EXPECT_EQ(task.progress, 0.0);
    EXPECT_EQ(task.weight, 0.3);
    EXPECT_FALSE(task.cancelRequested);
    qulonglong done = 7, total = 7, speed = 7;
    bool downloading = true;
    task.TaskSpecification::getDownloadProgress(&done, &total, &speed, &downloading);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(total, 0u);
    EXPECT_EQ(speed, 0u);
    EXPECT_FALSE(downloading);
    EXPECT_TRUE(log.lines.isEmpty());
}

TEST(TaskModel, StateValuesAreFixed)
{
    EXPECT_EQ(TaskSpecification::Idle, 0);
    EXPECT_EQ(TaskSpecification::Running, 1);
    EXPECT_EQ(TaskSpecification::Finished, 2);
    EXPECT_EQ(TaskSpecification::Failed, 3);
    EXPECT_EQ(TaskSpecification::Aborted, 4);
}

TEST(TaskModel, SetProgressStoresAndEmitsTheWeightedValue)
{
    struct Case
    {
        double weight;
        double fraction;
        double expected;
    };
    const Case cases[] = {
        {0.4, 0.5, 0.2}, {1.0, 0.25, 0.25}, {0.05, 1.0, 0.05},
        {0.8, 0.0, 0.0}, {2.0, 0.75, 1.5},  {0.0, 0.9, 0.0},
    };
    for (const Case &c : cases) {
        FakeTask task("t", nullptr, c.weight);
        QSignalSpy spy(&task, &TaskSpecification::updateProgress);
        task.setProgress(c.fraction);
        SCOPED_TRACE(testing::Message() << "weight " << c.weight << " fraction " << c.fraction);
        EXPECT_DOUBLE_EQ(task.progress, c.expected);
        ASSERT_EQ(spy.count(), 1);
        EXPECT_DOUBLE_EQ(spy.at(0).at(0).toDouble(), c.expected);
    }
}

TEST(TaskModel, SetWeightEmitsNothing)
{
    FakeTask task("t", nullptr, 0.5);
    QSignalSpy spy(&task, &TaskSpecification::updateProgress);
    task.setWeight(0.7);
    EXPECT_EQ(task.weight, 0.7);
    EXPECT_EQ(spy.count(), 0);
}

TEST(TaskModel, EndingsSetStateAndSendTheirSignalsInOrder)
{
    struct Case
    {
        End end;
        int state;
        QStringList events;
        double progressAfter;
    };
    // The task has done 40% of its work (weight 0.05) when it ends.
    const Case cases[] = {
        {End::Finish, TaskSpecification::Finished, {"t progress 0.05", "t finished"}, 0.05},
        {End::Fail, TaskSpecification::Failed, {"t canceled"}, 0.02},
        {End::Abort, TaskSpecification::Aborted, {"t canceled"}, 0.02},
    };
    for (const Case &c : cases) {
        TaskEventLog log;
        FakeTask task("t", nullptr, 0.05, End::Never, &log);
        task.execute();
        EXPECT_EQ(task.state, TaskSpecification::Running);
        task.setProgress(0.4);
        log.lines.clear();
        switch (c.end) {
        case End::Finish:
            task.finish();
            break;
        case End::Fail:
            task.fail();
            break;
        default:
            task.abort();
            break;
        }
        EXPECT_EQ(task.state, c.state);
        EXPECT_EQ(log.filtered("t "), c.events);
        EXPECT_DOUBLE_EQ(task.progress, c.progressAfter);
    }
}

TEST(TaskModel, EndSignalsCarryTheTaskItself)
{
    FakeTask task("t", nullptr, 1.0);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.finish();
    task.fail();
    ASSERT_EQ(finished.count(), 1);
    ASSERT_EQ(canceled.count(), 1);
    EXPECT_EQ(finished.at(0).at(0).value<TaskSpecification *>(), &task);
    EXPECT_EQ(canceled.at(0).at(0).value<TaskSpecification *>(), &task);
}

TEST(TaskModel, OtherTaskCancelledReachesOnlyARunningTaskAboutAnotherTask)
{
    struct Case
    {
        End endBefore; // Never: the task is still running after execute
        bool execute;
        bool aboutItself;
        int expectedCalls;
    };
    const Case cases[] = {
        {End::Never, true, false, 1},  {End::Never, true, true, 0}, {End::Never, false, false, 0},
        {End::Finish, true, false, 0}, {End::Fail, true, false, 0}, {End::Abort, true, false, 0},
    };
    for (const Case &c : cases) {
        FakeTask other("o", nullptr, 1.0);
        FakeTask task("t", nullptr, 1.0, c.endBefore);
        if (c.execute)
            task.execute();
        deliverOtherCancelled(&task, c.aboutItself ? &task : &other);
        SCOPED_TRACE(testing::Message() << "state " << task.state << " itself " << c.aboutItself);
        EXPECT_EQ(task.otherCancelledCount, c.expectedCalls);
    }
}

TEST(TaskModel, CancelOnALeafOnlySetsTheFlag)
{
    TaskEventLog log;
    FakeTask task("t", nullptr, 0.5, End::Never, &log);
    task.execute();
    task.cancel();
    EXPECT_TRUE(task.cancelRequested);
    EXPECT_EQ(task.state, TaskSpecification::Running);
    task.finish();
    EXPECT_EQ(task.state, TaskSpecification::Finished);
    EXPECT_EQ(log.filtered("t "), QStringList({"t execute", "t progress 0.5", "t finished"}));
}

TEST(TaskModel, ResetReturnsToIdleAndAlwaysEmitsZero)
{
    for (bool ranBefore : {false, true}) {
        FakeTask task("t", nullptr, 0.5);
        if (ranBefore) {
            task.execute();
            task.cancel();
            task.setProgress(0.5);
            task.fail();
        }
        QSignalSpy spy(&task, &TaskSpecification::updateProgress);
        task.reset();
        EXPECT_EQ(task.state, TaskSpecification::Idle);
        EXPECT_FALSE(task.cancelRequested);
        EXPECT_EQ(task.progress, 0.0);
        ASSERT_EQ(spy.count(), 1);
        EXPECT_EQ(spy.at(0).at(0).toDouble(), 0.0);
    }
}

} // namespace
