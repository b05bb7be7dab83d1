#include "faketasks.h"
#include "rollback.h"
#include "slowfileopfunc.h"
#include "slowfileopspecification.h"

#include <QThreadPool>

#include <gtest/gtest.h>

namespace {

// Reports whether it was handed the paths of its task.
class PathCheckFunc : public SlowFileOpFunc
{
public:
    PathCheckFunc(const QString &source, const QString &middle, const QString &target, bool result)
        : SlowFileOpFunc(source, middle, target)
        , m_Result(result)
    { }
    bool run() override
    {
        return m_Result && sourcePath == "src" && middlePath == "mid" && targetPath == "dst";
    }

private:
    bool m_Result;
};

class PathCheckTask : public SlowFileOpSpecification
{
public:
    PathCheckTask(RollbackDataList *list, bool result, QObject *parent = nullptr)
        : SlowFileOpSpecification("Could not make 'src' into 'dst'", list, "src", "mid", "dst",
                                  parent, 0.5)
        , m_Result(result)
    { }
    ASyncFunc *createFunc() override
    {
        return new PathCheckFunc(sourcePath, middlePath, targetPath, m_Result);
    }

private:
    bool m_Result;
};

TEST(SlowFileOpBase, ConstructorsKeepThePathsAndTheText)
{
    RollbackDataList list;
    struct TwoPaths : SlowFileOpSpecification
    {
        TwoPaths(RollbackDataList *list)
            : SlowFileOpSpecification("text", list, "a", "b", nullptr, 0.25)
        { }
        ASyncFunc *createFunc() override { return nullptr; }
    } two(&list);
    EXPECT_EQ(two.rollbackList, &list);
    EXPECT_EQ(two.sourcePath, "a");
    EXPECT_TRUE(two.middlePath.isEmpty());
    EXPECT_EQ(two.targetPath, "b");
    EXPECT_EQ(two.errorText, "text");
    EXPECT_EQ(two.weight, 0.25);

    PathCheckTask three(nullptr, true);
    EXPECT_EQ(three.rollbackList, nullptr);
    EXPECT_EQ(three.middlePath, "mid");

    struct Func : SlowFileOpFunc
    {
        using SlowFileOpFunc::SlowFileOpFunc;
        bool run() override { return true; }
    };
    Func f2("a", "b");
    EXPECT_EQ(f2.sourcePath, "a");
    EXPECT_TRUE(f2.middlePath.isEmpty());
    EXPECT_EQ(f2.targetPath, "b");
    Func f3("a", "m", "b");
    EXPECT_EQ(f3.middlePath, "m");
}

TEST(SlowFileOpBase, SuccessRecordsTheTargetBeforeFinished)
{
    RollbackDataList list;
    TaskEventLog log;
    PathCheckTask task(&list, true);
    log.watch(&task, "t");
    int recordsAtFinish = -1;
    QObject::connect(&task, &TaskSpecification::finished,
                     [&](TaskSpecification *) { recordsAtFinish = list.size(); });
    task.execute();
    ASSERT_TRUE(waitUntil([&] { return taskEnded(task); }));
    EXPECT_EQ(task.state, TaskSpecification::Finished);
    EXPECT_EQ(recordsAtFinish, 1);
    ASSERT_EQ(list.size(), 1);
    EXPECT_EQ(list.at(0).op, int(RollbackData::FILE_CREATE));
    EXPECT_EQ(list.at(0).path, "dst");
    EXPECT_TRUE(log.filtered("t message").isEmpty());
}

TEST(SlowFileOpBase, FailureSendsTheTextThenCanceledAndRecordsNothing)
{
    for (bool withList : {true, false}) {
        RollbackDataList list;
        TaskEventLog log;
        PathCheckTask task(withList ? &list : nullptr, false);
        log.watch(&task, "t");
        task.execute();
        ASSERT_TRUE(waitUntil([&] { return taskEnded(task); }));
        EXPECT_EQ(task.state, TaskSpecification::Failed);
        EXPECT_EQ(log.lines,
                  QStringList({"t message Could not make 'src' into 'dst'", "t canceled"}));
        EXPECT_TRUE(list.isEmpty());
    }
}

TEST(SlowFileOpBase, SuccessWithoutAListOnlyFinishes)
{
    PathCheckTask task(nullptr, true);
    task.execute();
    ASSERT_TRUE(waitUntil([&] { return taskEnded(task); }));
    EXPECT_EQ(task.state, TaskSpecification::Finished);
    EXPECT_DOUBLE_EQ(task.progress, 0.5);
}

} // namespace
