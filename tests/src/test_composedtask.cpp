#include "faketasks.h"

#include <QPointer>
#include <QSignalSpy>
#include <QTest>
#include <QThreadPool>

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>

namespace {

using End = FakeTask::End;

// The largest number of children that were running at once, from the "execute" and end lines
// of the children whose names start with "c".
int maxRunningAtOnce(const QStringList &lines)
{
    int running = 0;
    int most = 0;
    for (const QString &line : lines) {
        if (!line.startsWith('c'))
            continue;
        if (line.endsWith(" execute"))
            most = qMax(most, ++running);
        else if (line.endsWith(" finished") || line.endsWith(" canceled"))
            --running;
    }
    return most;
}

QStringList executeOrder(const QStringList &lines)
{
    QStringList names;
    for (const QString &line : lines) {
        if (line.startsWith('c') && line.endsWith(" execute"))
            names.append(line.section(' ', 0, 0));
    }
    return names;
}

class ComposedTaskTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        if (gate)
            gate->open();
        QThreadPool::globalInstance()->waitForDone(-1);
    }

    FakeTask *addSync(const QString &name, double weight, End end = End::Never)
    {
        auto *task = new FakeTask(name, parent.get(), weight, end, &log);
        parent->addSubTask(task);
        return task;
    }

    FakeAsyncTask *addAsync(const QString &name, double weight, bool result = true)
    {
        auto *task = new FakeAsyncTask(name, parent.get(), weight, result, &log);
        task->gate = gate;
        parent->addSubTask(task);
        return task;
    }

    void makeParent(int maxParallel, double weight = 1.0)
    {
        parent.reset(new FakeComposedTask("p", maxParallel, nullptr, weight, &log));
    }

    TaskEventLog log;
    std::unique_ptr<FakeComposedTask> parent;
    std::shared_ptr<WorkerGate> gate;
};

TEST_F(ComposedTaskTest, WithoutChildrenFinishesInsideExecute)
{
    makeParent(1, 0.3);
    parent->execute();
    EXPECT_EQ(parent->state, TaskSpecification::Finished);
    EXPECT_DOUBLE_EQ(parent->progress, 0.3);
    EXPECT_EQ(parent->subtasksDoneCount, 1);
    EXPECT_EQ(log.lines,
              QStringList({"p execute", "p subtasksDone", "p progress 0.3", "p finished"}));
}

TEST_F(ComposedTaskTest, ChildrenStartOnlyFromTheEventLoop)
{
    makeParent(3);
    FakeTask *a = addSync("ca", 0.5, End::Finish);
    parent->execute();
    EXPECT_EQ(a->executeCount, 0);
    EXPECT_EQ(parent->state, TaskSpecification::Running);
    ASSERT_TRUE(waitUntil([&] { return taskEnded(*parent); }));
    EXPECT_EQ(parent->state, TaskSpecification::Finished);
}

TEST_F(ComposedTaskTest, AsyncChildrenNeverExceedTheLimitAndStartInOrder)
{
    for (int maxParallel : {1, 2, 3, 5, 8}) {
        SCOPED_TRACE(maxParallel);
        log.lines.clear();
        makeParent(maxParallel);
        QStringList names;
        for (int i = 0; i < 5; ++i) {
            names << QString("c%1").arg(i);
            addAsync(names.last(), 0.2);
        }
        parent->execute();
        ASSERT_TRUE(waitUntil([&] { return taskEnded(*parent); }));
        EXPECT_EQ(parent->state, TaskSpecification::Finished);
        EXPECT_EQ(parent->subtasksDoneCount, 1);
        EXPECT_EQ(executeOrder(log.lines), names);
        EXPECT_LE(maxRunningAtOnce(log.lines), maxParallel);
        EXPECT_EQ(parent->doneTasks.size(), 5);
        EXPECT_TRUE(parent->runningTasks.isEmpty());
    }
}

TEST_F(ComposedTaskTest, LimitTwoKeepsTwoRunningAndRefillsOnePerEnd)
{
    makeParent(2);
    QList<FakeTask *> children;
    for (int i = 0; i < 5; ++i)
        children << addSync(QString("c%1").arg(i), 0.2);
    parent->execute();
    ASSERT_TRUE(waitUntil([&] { return parent->runningTasks.size() == 2; }));
    EXPECT_EQ(parent->runningTasks, (QList<TaskSpecification *> {children[0], children[1]}));
    children[1]->finish();
    ASSERT_TRUE(waitUntil([&] { return children[2]->executeCount == 1; }));
    EXPECT_EQ(parent->runningTasks, (QList<TaskSpecification *> {children[0], children[2]}));
    EXPECT_EQ(parent->doneTasks, (QList<TaskSpecification *> {children[1]}));
    for (FakeTask *child : {children[0], children[2]})
        child->finish();
    ASSERT_TRUE(waitUntil([&] { return parent->runningTasks.size() == 2; }));
    children[3]->finish();
    children[4]->finish();
    ASSERT_TRUE(waitUntil([&] { return taskEnded(*parent); }));
    EXPECT_EQ(parent->state, TaskSpecification::Finished);
    EXPECT_EQ(maxRunningAtOnce(log.lines), 2);
}

TEST_F(ComposedTaskTest, LongListOfChildrenEndingInsideExecuteRunsOneAfterAnother)
{
    makeParent(1);
    const int count = 2000; // deep enough that a recursive start would overflow the stack
    for (int i = 0; i < count; ++i)
        addSync(QString("c%1").arg(i), 1.0 / count, End::Finish);
    parent->execute();
    ASSERT_TRUE(waitUntil([&] { return taskEnded(*parent); }));
    EXPECT_EQ(parent->state, TaskSpecification::Finished);
    EXPECT_EQ(parent->subtasksDoneCount, 1);
    // Each child ends before the next one is executed.
    QStringList children = log.filtered("c");
    EXPECT_EQ(children.at(0), "c0 execute");
    EXPECT_EQ(children.at(1), "c0 progress " + QString::number(1.0 / count));
    EXPECT_EQ(children.at(2), "c0 finished");
    EXPECT_EQ(children.at(3), "c1 execute");
}

TEST_F(ComposedTaskTest, LimitZeroStartsNothingAndFailsAtOnce)
{
    for (int maxParallel : {0, -1}) {
        makeParent(maxParallel);
        FakeTask *child = addSync("c", 1.0, End::Finish);
        parent->execute();
        EXPECT_EQ(parent->state, TaskSpecification::Failed) << maxParallel;
        QTest::qWait(20);
        EXPECT_EQ(child->executeCount, 0);
        EXPECT_EQ(parent->subtasksDoneCount, 1);
    }
}

TEST_F(ComposedTaskTest, FailureWhileASiblingRunsWaitsForItAndStartsNoMore)
{
    // The sibling still running is synchronous in one case and a worker on the pool in the other.
    for (bool asyncSibling : {false, true}) {
        SCOPED_TRACE(asyncSibling);
        log.lines.clear();
        gate = std::make_shared<WorkerGate>();
        makeParent(2);
        TaskSpecification *sibling = asyncSibling
            ? static_cast<TaskSpecification *>(addAsync("ca", 0.5))
            : addSync("ca", 0.5);
        FakeTask *failing = addSync("cb", 0.5);
        FakeTask *pending = addSync("cc", 0.5);
        parent->execute();
        ASSERT_TRUE(waitUntil([&] { return failing->executeCount == 1; }));
        failing->fail();
        EXPECT_TRUE(parent->subtaskFailed);
        EXPECT_EQ(parent->state, TaskSpecification::Running);
        if (asyncSibling)
            EXPECT_EQ(static_cast<FakeAsyncTask *>(sibling)->otherCancelledCount, 1);
        else
            EXPECT_EQ(static_cast<FakeTask *>(sibling)->otherCancelledCount, 1);
        EXPECT_EQ(failing->otherCancelledCount, 0);
        EXPECT_EQ(pending->otherCancelledCount, 0);
        EXPECT_EQ(log.filtered("p other"), QStringList({"p other cb"}));

        if (asyncSibling)
            gate->open();
        else
            static_cast<FakeTask *>(sibling)->finish();
        ASSERT_TRUE(waitUntil([&] { return taskEnded(*parent); }));
        QTest::qWait(20);
        EXPECT_EQ(parent->state, TaskSpecification::Failed);
        EXPECT_EQ(sibling->state, TaskSpecification::Finished);
        EXPECT_EQ(pending->executeCount, 0);
        EXPECT_EQ(parent->subtasksDoneCount, 1);
        // The parent ends only after the sibling has ended.
        const QStringList ends = log.filtered("");
        EXPECT_LT(ends.indexOf("ca finished"), ends.indexOf("p canceled"));
    }
}

TEST_F(ComposedTaskTest, SecondFailureIsNotAnnouncedAgain)
{
    makeParent(3);
    FakeTask *a = addSync("ca", 0.3);
    FakeTask *b = addSync("cb", 0.3);
    FakeTask *c = addSync("cc", 0.3);
    parent->execute();
    ASSERT_TRUE(waitUntil([&] { return c->executeCount == 1; }));
    a->fail();
    b->abort();
    EXPECT_EQ(log.filtered("p other"), QStringList({"p other ca"}));
    EXPECT_EQ(c->otherCancelledCount, 1);
    c->finish();
    ASSERT_TRUE(waitUntil([&] { return taskEnded(*parent); }));
    // A failed child wins over an aborted one.
    EXPECT_EQ(parent->state, TaskSpecification::Failed);
    EXPECT_EQ(parent->subtasksDoneCount, 1);
}

TEST_F(ComposedTaskTest, QueuedStartsAfterTheLastChildCauseOneSubtasksDone)
{
    struct Case
    {
        End first;
        End second;
        int state;
    };
    const Case cases[] = {
        {End::Finish, End::Finish, TaskSpecification::Finished},
        {End::Finish, End::Fail, TaskSpecification::Failed},
        {End::Abort, End::Finish, TaskSpecification::Aborted},
    };
    for (const Case &c : cases) {
        makeParent(4);
        addSync("ca", 0.5, c.first);
        addSync("cb", 0.5, c.second);
        parent->execute();
        ASSERT_TRUE(waitUntil([&] { return taskEnded(*parent); }));
        QTest::qWait(20);
        EXPECT_EQ(parent->state, c.state);
        EXPECT_EQ(parent->subtasksDoneCount, 1);
    }
}

TEST_F(ComposedTaskTest, CancelBeforeExecuteStartsNoChild)
{
    makeParent(2);
    FakeTask *a = addSync("ca", 0.5, End::Finish);
    parent->cancel();
    EXPECT_TRUE(parent->cancelRequested);
    EXPECT_FALSE(a->cancelRequested); // the parent was not running yet
    parent->execute();
    ASSERT_TRUE(waitUntil([&] { return taskEnded(*parent); }));
    EXPECT_EQ(parent->state, TaskSpecification::Aborted);
    EXPECT_EQ(a->executeCount, 0);
    EXPECT_EQ(parent->subtasksDoneCount, 1);
}

TEST_F(ComposedTaskTest, CancelDuringAnAsyncChildLetsItRunToItsEnd)
{
    struct Case
    {
        int children;
        bool result;
        int parentState;
    };
    const Case cases[] = {
        {1, true, TaskSpecification::Finished}, // the last child finished anyway
        {3, true, TaskSpecification::Aborted}, // pending children were never started
        {1, false, TaskSpecification::Failed},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.children << " children, result " << c.result);
        gate = std::make_shared<WorkerGate>();
        makeParent(1);
        QList<FakeAsyncTask *> children;
        for (int i = 0; i < c.children; ++i)
            children << addAsync(QString("c%1").arg(i), 1.0, c.result);
        parent->execute();
        ASSERT_TRUE(waitUntil([&] { return children[0]->executeCount == 1; }));
        parent->cancel();
        for (FakeAsyncTask *child : children)
            EXPECT_TRUE(child->cancelRequested); // pending ones get their flag too
        EXPECT_EQ(children[0]->state, TaskSpecification::Running);
        gate->open();
        ASSERT_TRUE(waitUntil([&] { return taskEnded(*parent); }));
        EXPECT_EQ(children[0]->state,
                  c.result ? TaskSpecification::Finished : TaskSpecification::Failed);
        for (int i = 1; i < c.children; ++i)
            EXPECT_EQ(children[i]->executeCount, 0);
        EXPECT_EQ(parent->state, c.parentState);
        EXPECT_EQ(parent->subtasksDoneCount, 1);
        QThreadPool::globalInstance()->waitForDone(-1);
    }
}

TEST_F(ComposedTaskTest, CancelOfTwoDownloadsEndsFailedThroughTheRelay)
{
    makeParent(2);
    FakeTask *a = addSync("ca", 0.5);
    FakeTask *b = addSync("cb", 0.5);
    for (FakeTask *t : {a, b}) {
        t->abortOnCancel = true;
        t->failOnOtherCancelled = true;
    }
    parent->execute();
    ASSERT_TRUE(waitUntil([&] { return b->executeCount == 1; }));
    parent->cancel();
    EXPECT_EQ(a->state, TaskSpecification::Aborted);
    EXPECT_EQ(b->state, TaskSpecification::Failed);
    EXPECT_EQ(parent->state, TaskSpecification::Failed);
    EXPECT_EQ(parent->subtasksDoneCount, 1);
}

TEST_F(ComposedTaskTest, OtherTaskCancelledIsPassedDownToGrandchildren)
{
    makeParent(2);
    auto *inner = new FakeComposedTask("ci", 1, parent.get(), 0.5, &log);
    auto *grandchild = new FakeTask("g", inner, 1.0, End::Never, &log);
    inner->addSubTask(grandchild);
    parent->addSubTask(inner);
    FakeTask *failing = addSync("cf", 0.5);
    parent->execute();
    ASSERT_TRUE(waitUntil([&] { return grandchild->executeCount == 1 && failing->executeCount; }));
    failing->fail();
    EXPECT_EQ(grandchild->otherCancelledCount, 1);
    EXPECT_EQ(log.filtered("ci other"), QStringList({"ci other cf"}));
    grandchild->finish();
    ASSERT_TRUE(waitUntil([&] { return taskEnded(*parent); }));
    EXPECT_EQ(inner->state, TaskSpecification::Finished);
    EXPECT_EQ(parent->state, TaskSpecification::Failed);
}

TEST_F(ComposedTaskTest, ChildTextsAreRelayedUnchanged)
{
    makeParent(1);
    auto *child = addAsync("c", 1.0);
    child->messages = QStringList({"first line", "second line"});
    child->errors = QStringList({"hard error"});
    parent->execute();
    ASSERT_TRUE(waitUntil([&] { return taskEnded(*parent); }));
    EXPECT_EQ(log.filtered("p message"),
              QStringList({"p message first line", "p message second line"}));
    EXPECT_EQ(log.filtered("p error"), QStringList({"p error hard error"}));
}

TEST_F(ComposedTaskTest, ProgressIsWeightTimesTheSumOfTheChildren)
{
    struct Step
    {
        int child;
        double fraction; // < 0: finish the child
        double expected;
    };
    // Parent weight 0.5; children weights 0.6 and 0.6 add up to more than 1.
    const Step steps[] = {
        {0, 0.5, 0.5 * 0.3},
        {1, 0.25, 0.5 * (0.3 + 0.15)},
        {0, -1, 0.5 * (0.6 + 0.15)},
        {1, 1.0, 0.5 * 1.2}, // beyond the parent's own weight while running
    };
    makeParent(2, 0.5);
    FakeTask *children[] = {addSync("ca", 0.6), addSync("cb", 0.6)};
    EXPECT_EQ(parent->progress, 0.0);
    parent->execute();
    ASSERT_TRUE(waitUntil([&] { return children[1]->executeCount == 1; }));
    for (const Step &s : steps) {
        QSignalSpy spy(parent.get(), &TaskSpecification::updateProgress);
        if (s.fraction < 0)
            children[s.child]->finish();
        else
            children[s.child]->setProgress(s.fraction);
        EXPECT_DOUBLE_EQ(parent->progress, s.expected);
        ASSERT_GE(spy.count(), 1);
        EXPECT_DOUBLE_EQ(spy.last().at(0).toDouble(), s.expected);
    }
    children[1]->finish();
    ASSERT_TRUE(waitUntil([&] { return taskEnded(*parent); }));
    EXPECT_EQ(parent->state, TaskSpecification::Finished);
    EXPECT_DOUBLE_EQ(parent->progress, 0.5);
}

TEST_F(ComposedTaskTest, AddingAChildRecomputesProgress)
{
    makeParent(1, 2.0);
    auto *child = new FakeTask("c", parent.get(), 0.5);
    child->setProgress(0.5);
    QSignalSpy spy(parent.get(), &TaskSpecification::updateProgress);
    parent->addSubTask(child);
    EXPECT_DOUBLE_EQ(parent->progress, 0.5);
    EXPECT_EQ(spy.count(), 1);
    EXPECT_EQ(parent->allTasks, (QList<TaskSpecification *> {child}));
    EXPECT_EQ(parent->pendingTasks, (QList<TaskSpecification *> {child}));
}

TEST_F(ComposedTaskTest, SubtasksStateRulesApplyInOrder)
{
    using S = TaskSpecification;
    struct Case
    {
        QList<int> childStates;
        bool cancelRequested;
        bool subtaskFailed;
        int expected;
    };
    const Case cases[] = {
        {{}, true, true, S::Finished},
        {{S::Finished, S::Finished}, false, false, S::Finished},
        {{S::Finished, S::Finished}, true, true, S::Finished},
        {{S::Aborted, S::Failed}, false, true, S::Failed},
        {{S::Failed, S::Aborted}, false, true, S::Failed},
        {{S::Aborted, S::Finished}, false, true, S::Aborted},
        {{S::Finished, S::Idle}, true, false, S::Aborted},
        {{S::Finished, S::Running}, true, true, S::Aborted},
        {{S::Finished, S::Idle}, false, true, S::Failed},
        {{S::Finished, S::Running}, false, false, S::Running},
    };
    for (const Case &c : cases) {
        makeParent(1);
        for (int childState : c.childStates)
            addSync("c", 1.0)->state = childState;
        parent->cancelRequested = c.cancelRequested;
        parent->subtaskFailed = c.subtaskFailed;
        EXPECT_EQ(parent->subtasksState(), c.expected)
            << "children " << c.childStates.size() << " cancel " << c.cancelRequested << " failed "
            << c.subtaskFailed;
    }
}

TEST_F(ComposedTaskTest, DownloadFiguresAreSummedOverChildrenWithATotal)
{
    makeParent(3);
    FakeTask *a = addSync("ca", 0.3);
    FakeTask *b = addSync("cb", 0.3);
    FakeTask *c = addSync("cc", 0.3);
    a->dlDone = 10, a->dlTotal = 100, a->dlSpeed = 5, a->dlActive = false;
    b->dlDone = 7, b->dlTotal = 0, b->dlSpeed = 3, b->dlActive = true; // no total: done not counted
    c->dlDone = 20, c->dlTotal = 50, c->dlSpeed = 0, c->dlActive = false;
    qulonglong done = 1, total = 2, speed = 4;
    bool downloading = true;
    parent->getDownloadProgress(&done, &total, &speed, &downloading);
    EXPECT_EQ(done, 1u + 10 + 20);
    EXPECT_EQ(total, 2u + 100 + 50);
    EXPECT_EQ(speed, 4u + 5 + 3);
    EXPECT_TRUE(downloading);
    b->dlActive = false;
    parent->getDownloadProgress(&done, &total, &speed, &downloading);
    EXPECT_FALSE(downloading);
}

TEST_F(ComposedTaskTest, ResetMakesTheTaskRunnableAgain)
{
    makeParent(1, 0.5);
    FakeTask *a = addSync("ca", 0.5, End::Finish);
    FakeTask *b = addSync("cb", 0.5, End::Fail);
    parent->execute();
    ASSERT_TRUE(waitUntil([&] { return taskEnded(*parent); }));
    EXPECT_EQ(parent->state, TaskSpecification::Failed);

    QSignalSpy progress(parent.get(), &TaskSpecification::updateProgress);
    parent->reset();
    EXPECT_EQ(parent->state, TaskSpecification::Idle);
    EXPECT_EQ(a->state, TaskSpecification::Idle);
    EXPECT_EQ(b->state, TaskSpecification::Idle);
    EXPECT_EQ(parent->pendingTasks, parent->allTasks);
    EXPECT_TRUE(parent->runningTasks.isEmpty());
    EXPECT_TRUE(parent->doneTasks.isEmpty());
    EXPECT_FALSE(parent->subtaskFailed);
    EXPECT_FALSE(parent->subtasksDoneCalled);
    EXPECT_EQ(parent->progress, 0.0);
    ASSERT_GE(progress.count(), 1);
    EXPECT_EQ(progress.last().at(0).toDouble(), 0.0);

    b->endInExecute = End::Finish;
    parent->execute();
    ASSERT_TRUE(waitUntil([&] { return taskEnded(*parent); }));
    EXPECT_EQ(parent->state, TaskSpecification::Finished);
    EXPECT_EQ(a->executeCount, 2);
    EXPECT_EQ(parent->subtasksDoneCount, 2);
}

TEST_F(ComposedTaskTest, ClearSubtasksDisconnectsAndReleasesTheChildren)
{
    makeParent(1);
    QPointer<FakeTask> child = addSync("c", 1.0);
    parent->clearSubtasks();
    EXPECT_TRUE(parent->allTasks.isEmpty());
    EXPECT_TRUE(parent->pendingTasks.isEmpty());
    ASSERT_FALSE(child.isNull()); // released later, from the event loop
    QSignalSpy relayed(parent.get(), &TaskSpecification::message);
    QSignalSpy progress(parent.get(), &TaskSpecification::updateProgress);
    emit child->message("after clear");
    child->finish();
    EXPECT_EQ(relayed.count(), 0);
    EXPECT_EQ(progress.count(), 0);
    EXPECT_EQ(parent->progress, 0.0);
    EXPECT_EQ(parent->doneTasks.size(), 0);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(child.isNull());
}

TEST_F(ComposedTaskTest, DestructorReleasesOwnChildrenAtOnceAndOthersLater)
{
    makeParent(1);
    QPointer<FakeTask> own = addSync("own", 0.5);
    QObject elsewhere;
    QPointer<FakeTask> foreign = new FakeTask("foreign", &elsewhere, 0.5);
    parent->addSubTask(foreign);
    parent->execute();
    parent.reset();
    EXPECT_TRUE(own.isNull());
    ASSERT_FALSE(foreign.isNull());
    foreign->finish(); // nobody listens any more
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(foreign.isNull());
}

TEST_F(ComposedTaskTest, DestructorReleasesTheChildren)
{
    makeParent(1);
    QPointer<FakeTask> child = addSync("c", 1.0);
    parent.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(child.isNull());
}

// Checks every progress value a composed task sends against the sum of its children's
// progress, added up in list order from 0.0 and times its weight, to the last bit; and that
// each added child and each progress signal of a child makes the parent send exactly one.
class ProgressAudit
{
public:
    void watch(ComposedTaskSpecification *task, const QString &name)
    {
        names[task] = name;
        QObject::connect(task, &TaskSpecification::updateProgress, &context,
                         [this, task](qreal value) { record(task, value); });
    }

    void add(ComposedTaskSpecification *parent, TaskSpecification *child)
    {
        // Connected before the parent's own connection, so it runs first.
        QObject::connect(child, &TaskSpecification::updateProgress, &context,
                         [this, parent] { ++owed[parent]; });
        ++owed[parent];
        parent->addSubTask(child);
    }

    void checkNothingOwed(const QString &step)
    {
        for (const auto &entry : owed) {
            if (entry.second != 0)
                problems << step + ": " + names[entry.first] + " sent too few";
        }
    }

    QStringList problems;
    int emissions = 0;

private:
    static bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

    void record(ComposedTaskSpecification *task, double value)
    {
        ++emissions;
        double sum = 0.0;
        for (const TaskSpecification *child : qAsConst(task->allTasks))
            sum += child->progress;
        const double expected = sum * task->weight;
        if (owed[task] > 0) {
            --owed[task];
            if (!sameBits(value, expected))
                problems << QString("%1 sent %2, children add up to %3")
                                .arg(names[task])
                                .arg(value, 0, 'g', 17)
                                .arg(expected, 0, 'g', 17);
            return;
        }
        // Its own end and its own reset are the only other senders.
        const bool ownEnd = task->state == TaskSpecification::Finished && value == task->weight;
        const bool ownReset = task->state == TaskSpecification::Idle && value == 0.0;
        if (!ownEnd && !ownReset)
            problems << names[task] + " sent an unexplained " + QString::number(value);
    }

    QObject context;
    std::map<const ComposedTaskSpecification *, int> owed;
    std::map<const ComposedTaskSpecification *, QString> names;
};

struct TreeCase
{
    const char *name;
    double weight;
    int maxParallel;
    // One entry per child of the root: {weight} is a leaf, {weight, w1, w2, ...} a composed
    // child with leaves of those weights. Leaves are numbered in order across the tree.
    QVector<QVector<double>> children;
    // Steps, run one after another with the event loop turned in between:
    // "e" execute the root, "r" reset it, "p3:0.5" leaf 3 to half its work, "f3" finish it,
    // "x3" fail it, "d3" add leaf 3 to the root once more, "a0.25" add a new leaf to the root.
    const char *script;
};

class ProgressSumTree
{
public:
    explicit ProgressSumTree(const TreeCase &c)
        : root(new FakeComposedTask("root", c.maxParallel, nullptr, c.weight))
    {
        audit.watch(root.get(), "root");
        for (const QVector<double> &child : c.children) {
            if (child.size() == 1) {
                audit.add(root.get(), newLeaf(root.get(), child[0]));
                continue;
            }
            auto *group = new FakeComposedTask(QString("g%1").arg(root->allTasks.size()),
                                               c.maxParallel, root.get(), child[0]);
            audit.watch(group, group->name);
            for (int i = 1; i < child.size(); ++i)
                audit.add(group, newLeaf(group, child[i]));
            audit.add(root.get(), group);
        }
    }

    void run(const QString &step)
    {
        const QChar op = step.at(0);
        const QString arg = step.mid(1);
        if (op == 'e') {
            root->execute();
        } else if (op == 'r') {
            root->reset();
        } else if (op == 'a') {
            audit.add(root.get(), newLeaf(root.get(), arg.toDouble()));
        } else {
            FakeTask *leaf = leaves.at(arg.section(':', 0, 0).toInt());
            if (op == 'p')
                leaf->setProgress(arg.section(':', 1).toDouble());
            else if (op == 'f')
                leaf->finish();
            else if (op == 'x')
                leaf->fail();
            else if (op == 'd')
                audit.add(root.get(), leaf);
        }
        QCoreApplication::processEvents();
        audit.checkNothingOwed(step);
    }

    ProgressAudit audit;
    std::unique_ptr<FakeComposedTask> root;
    QList<FakeTask *> leaves;

private:
    FakeTask *newLeaf(QObject *parent, double weight)
    {
        leaves << new FakeTask(QString("l%1").arg(leaves.size()), parent, weight);
        return leaves.last();
    }
};

QVector<QVector<double>> equalLeaves(int count)
{
    return QVector<QVector<double>>(count, {1.0 / count});
}

TEST(ComposedTaskProgressSums, EverySentValueIsTheInOrderSumOfTheChildren)
{
    const TreeCase cases[] = {
        {"no children", 0.5, 1, {}, "e"},
        {"tenths that do not add up exactly",
         1.0,
         3,
         {{0.1}, {0.2}, {0.3}, {0.4}},
         "e p0:1 p1:1 p2:1 p1:0.5 p3:0.7 p0:0.3 f1 f0 p2:0.1 f2 f3"},
        {"large and small weights",
         0.4,
         2,
         {{1e16}, {1.0}, {1.0}, {3e-17}, {-1e16}},
         "e p1:1 p0:1 p2:1 p0:0.5 p4:1 p3:1 p1:0.25 f0 f1 f2 f3 f4"},
        {"updates from children not yet started and out of order",
         0.9,
         1,
         {{0.25}, {0.5}, {0.125}, {0.0625}},
         "p3:0.3 p1:0.7 e p3:0 p2:1 p0:0.1 f0 p3:1 f1 f2 f3"},
        {"negative zero and a zero weight",
         1.0,
         2,
         {{-0.5}, {0.0}, {0.3}},
         "e p0:0 p1:1 p2:0.5 p0:0.5 p0:0 f1 f0 f2"},
        {"failure stops the run",
         0.7,
         2,
         {{0.3}, {0.3}, {0.3}, {0.3}},
         "e p0:0.5 p1:0.5 x0 p1:0.9 f1"},
        {"nested composed children",
         0.8,
         2,
         {{0.3, 0.5, 0.5}, {0.1}, {0.6, 0.2, 0.7, 0.1}},
         "e p0:0.5 p2:0.3 p1:1 f0 p3:0.4 f2 f1 p4:0.9 f3 f4 f5"},
        {"reset after a run, then a second run",
         0.5,
         2,
         {{0.2}, {0.3, 0.4, 0.6}, {0.5}},
         "e p0:1 p1:0.5 f0 f1 p2:0.3 f2 f3 r e p3:0.5 f0 f1 f2 f3"},
        {"children added after the start",
         1.0,
         1,
         {{0.1}},
         "e p0:0.5 a0.2 a0.3 f0 p1:0.7 a0.05 f1 f2 f3"},
        {"a child listed twice counts twice", 1.0, 1, {{0.3}, {0.2}}, "d0 e p0:0.5 p1:0.5 d1 f0"},
        {"a long list", 1.0, 3, equalLeaves(40), "e p2:0.5 p0:1 p39:0.3 f1 p2:0.25 f0 p20:1 f2"},
        {"a child listed twice in a long list", 1.0, 2, equalLeaves(20),
         "e p3:0.5 d3 p3:0.7 p19:1 d19 f0 p3:0.1 f3"},
    };
    for (const TreeCase &c : cases) {
        SCOPED_TRACE(c.name);
        ProgressSumTree tree(c);
        for (const QString &step : QString(c.script).split(' '))
            tree.run(step);
        EXPECT_EQ(tree.audit.problems, QStringList());
        EXPECT_GT(tree.audit.emissions, 0);
    }
}

TEST(ComposedTaskProgressSums, ManyChildrenUpdatedAtRandomKeepTheInOrderSum)
{
    // A download list: many children of one small share each, several at a time, progress
    // reported by children near the front while later ones start.
    const int count = 3000;
    TreeCase c {"many", 0.4, 6, QVector<QVector<double>>(count, {1.0 / count}), "e"};
    ProgressSumTree tree(c);
    tree.run("e");
    std::mt19937 random(20261210);
    std::uniform_real_distribution<double> fraction(0.0, 1.0);
    int nextToFinish = 0;
    for (int step = 0; step < 20000 && nextToFinish < count; ++step) {
        const int window = qMin(count - nextToFinish, 8);
        const int leaf = nextToFinish + int(random() % unsigned(window));
        if (leaf == nextToFinish && random() % 3 == 0)
            tree.run(QString("f%1").arg(nextToFinish++));
        else
            tree.run(QString("p%1:%2").arg(leaf).arg(fraction(random), 0, 'g', 17));
    }
    while (nextToFinish < count)
        tree.run(QString("f%1").arg(nextToFinish++));
    EXPECT_EQ(tree.audit.problems.mid(0, 5), QStringList());
    EXPECT_EQ(tree.root->state, TaskSpecification::Finished);
}

} // namespace
