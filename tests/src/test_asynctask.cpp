#include "asyncrun.h"
#include "faketasks.h"

#include <QPointer>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QThreadPool>

#include <gtest/gtest.h>

namespace {

class AsyncTaskTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        gate->open();
        QThreadPool::globalInstance()->waitForDone(-1);
    }

    std::shared_ptr<WorkerGate> gate = std::make_shared<WorkerGate>();
    TaskEventLog log;
};

TEST_F(AsyncTaskTest, ResultArrivesOnlyAfterExecuteReturned)
{
    for (bool result : {true, false}) {
        log.lines.clear();
        FakeAsyncTask task("t", nullptr, 0.25, result, &log);
        task.messages = QStringList({"checking", "done checking"});
        task.execute();
        EXPECT_EQ(task.state, TaskSpecification::Running);
        // Even a worker that is already through cannot end the task before the event loop runs.
        QThreadPool::globalInstance()->waitForDone(-1);
        EXPECT_EQ(task.state, TaskSpecification::Running);
        EXPECT_EQ(log.lines, QStringList({"t execute"}));
        ASSERT_TRUE(waitUntil([&] { return taskEnded(task); }));
        const QStringList expected = result
            ? QStringList({"t execute", "t message checking", "t message done checking",
                           "t progress 0.25", "t finished"})
            : QStringList(
                {"t execute", "t message checking", "t message done checking", "t canceled"});
        EXPECT_EQ(log.lines, expected);
        EXPECT_EQ(task.state, result ? TaskSpecification::Finished : TaskSpecification::Failed);
    }
}

TEST_F(AsyncTaskTest, WorkerProgressIsWeightedOnTheGuiThread)
{
    struct Case
    {
        double weight;
        QList<qreal> steps;
        QList<double> expected;
    };
    const Case cases[] = {
        {0.8, {0.5}, {0.4}},
        {0.5, {0.1, 0.6, 1.0}, {0.05, 0.3, 0.5}},
    };
    for (const Case &c : cases) {
        FakeAsyncTask task("t", nullptr, c.weight);
        task.progressSteps = c.steps;
        QList<double> seen;
        QList<QThread *> threads;
        QObject::connect(&task, &TaskSpecification::updateProgress, [&](qreal value) {
            seen.append(value);
            threads.append(QThread::currentThread());
        });
        task.execute();
        ASSERT_TRUE(waitUntil([&] { return taskEnded(task); }));
        ASSERT_EQ(seen.size(), c.expected.size() + 1); // and the final one of finish
        for (int i = 0; i < c.expected.size(); ++i)
            EXPECT_DOUBLE_EQ(seen.at(i), c.expected.at(i));
        EXPECT_DOUBLE_EQ(seen.last(), c.weight);
        for (QThread *thread : threads)
            EXPECT_EQ(thread, QCoreApplication::instance()->thread());
    }
}

TEST_F(AsyncTaskTest, WorkerErrorsAreRelayed)
{
    FakeAsyncTask task("t", nullptr, 1.0, false, &log);
    task.errors = QStringList({"disk full"});
    task.execute();
    ASSERT_TRUE(waitUntil([&] { return taskEnded(task); }));
    EXPECT_EQ(log.filtered("t error"), QStringList({"t error disk full"}));
}

TEST_F(AsyncTaskTest, CancelDoesNotInterruptTheWorker)
{
    for (bool result : {true, false}) {
        FakeAsyncTask task("t", nullptr, 1.0, result);
        task.gate = gate;
        task.execute();
        task.cancel();
        EXPECT_TRUE(task.cancelRequested);
        EXPECT_EQ(task.state, TaskSpecification::Running);
        gate->open(1);
        ASSERT_TRUE(waitUntil([&] { return taskEnded(task); }));
        EXPECT_EQ(task.state, result ? TaskSpecification::Finished : TaskSpecification::Failed);
    }
}

TEST_F(AsyncTaskTest, ResultAfterTheTaskLeftRunningChangesNothing)
{
    for (bool result : {true, false}) {
        FakeAsyncTask task("t", nullptr, 1.0, result);
        task.gate = gate;
        task.execute();
        task.abort();
        QSignalSpy finished(&task, &TaskSpecification::finished);
        QSignalSpy canceled(&task, &TaskSpecification::canceled);
        gate->open(1);
        QThreadPool::globalInstance()->waitForDone(-1);
        QTest::qWait(20);
        EXPECT_EQ(task.state, TaskSpecification::Aborted);
        EXPECT_EQ(finished.count() + canceled.count(), 0);
    }
}

TEST_F(AsyncTaskTest, ResetWaitsForThePoolAndDropsTheOldResult)
{
    for (bool runAgainAtOnce : {false, true}) {
        SCOPED_TRACE(runAgainAtOnce);
        log.lines.clear();
        FakeAsyncTask task("t", nullptr, 1.0, true, &log);
        task.execute();
        task.reset();
        EXPECT_EQ(task.state, TaskSpecification::Idle);
        if (!runAgainAtOnce) {
            QTest::qWait(20);
            EXPECT_EQ(task.state, TaskSpecification::Idle);
        }
        // The new run ends once, by its own worker's result, not by the old one's.
        task.result = false;
        task.execute();
        ASSERT_TRUE(waitUntil([&] { return taskEnded(task); }));
        QTest::qWait(20);
        EXPECT_EQ(task.state, TaskSpecification::Failed);
        EXPECT_TRUE(log.filtered("t finished").isEmpty());
        EXPECT_EQ(log.filtered("t canceled").size(), 1);
    }
}

TEST_F(AsyncTaskTest, TasksRunSideBySideOnThePool)
{
    // Two workers that each wait for the other can only both end when they run at once.
    auto first = std::make_shared<WorkerGate>();
    auto second = std::make_shared<WorkerGate>();
    struct Meeting : ASyncFunc
    {
        std::shared_ptr<WorkerGate> mine, other;
        bool run() override
        {
            other->open(1);
            return mine->permits.tryAcquire(1, 20000);
        }
    };
    struct MeetingTask : ASyncTaskSpecification
    {
        std::shared_ptr<WorkerGate> mine, other;
        MeetingTask(std::shared_ptr<WorkerGate> a, std::shared_ptr<WorkerGate> b)
            : ASyncTaskSpecification(nullptr, 1.0)
            , mine(a)
            , other(b)
        { }
        ASyncFunc *createFunc() override
        {
            auto *func = new Meeting;
            func->mine = mine;
            func->other = other;
            return func;
        }
    };
    if (QThreadPool::globalInstance()->maxThreadCount() < 2)
        GTEST_SKIP() << "the pool has a single thread";
    MeetingTask a(first, second);
    MeetingTask b(second, first);
    a.execute();
    b.execute();
    ASSERT_TRUE(waitUntil([&] { return taskEnded(a) && taskEnded(b); }));
    EXPECT_EQ(a.state, TaskSpecification::Finished);
    EXPECT_EQ(b.state, TaskSpecification::Finished);
}

TEST(AsyncWorker, RunsOnItsOwnWithoutATask)
{
    for (bool result : {true, false}) {
        FakeFunc func(result, {0.5}, {"text"}, {}, nullptr);
        EXPECT_EQ(func.run(), result);
        QSignalSpy spy(&func, &ASyncFunc::runResult);
        EXPECT_EQ(func.runAndReport(), result);
        ASSERT_EQ(spy.count(), 1);
        EXPECT_EQ(spy.at(0).at(0).toBool(), result);
    }
}

TEST(AsyncWorker, RunnableReportsTheResultAndDeletesTheWorker)
{
    auto *func = new FakeFunc(true, {}, {}, {}, nullptr);
    QPointer<FakeFunc> alive(func);
    QSignalSpy spy(func, &ASyncFunc::runResult);
    auto *runnable = new ASyncRun(func);
    EXPECT_TRUE(runnable->autoDelete());
    runnable->run();
    ASSERT_EQ(spy.count(), 1);
    EXPECT_TRUE(spy.at(0).at(0).toBool());
    EXPECT_FALSE(alive.isNull());
    delete runnable;
    EXPECT_TRUE(alive.isNull());
}

} // namespace
