#ifndef FAKETASKS_H
#define FAKETASKS_H

// Small tasks for tests of the task tree, and a recorder of the signals a task sends.

#include "asyncfunc.h"
#include "asynctaskspecification.h"
#include "composedtaskspecification.h"
#include "taskspecification.h"

#include <QSemaphore>
#include <QStringList>

#include <functional>
#include <memory>
#include <ostream>

// Readable QString values in test failure messages.
void PrintTo(const QString &text, std::ostream *os);
void PrintTo(const QStringList &list, std::ostream *os);

// True once the task is Finished, Failed or Aborted.
bool taskEnded(const TaskSpecification &task);

// Runs the event loop until the condition holds or the time limit passes; returns the condition.
bool waitUntil(const std::function<bool()> &condition, int timeoutMs = 20000);

// Records the signals of one or more tasks, in the order they arrive, as short lines:
// "<name> progress 0.25", "<name> finished", "<name> canceled", "<name> message <text>",
// "<name> error <text>", "<name> other <name of the failed task>".
class TaskEventLog : public QObject
{
    Q_OBJECT

public:
    void watch(TaskSpecification *task, const QString &name);
    void add(const QString &line) { lines.append(line); }
    QString nameOf(const TaskSpecification *task) const;
    // The lines that start with prefix, in order.
    QStringList filtered(const QString &prefix) const;

    QStringList lines;

private:
    QList<QPair<const TaskSpecification *, QString>> m_Names;
};

// A task that runs synchronously on the GUI thread. Its end is chosen by the test: at once
// inside execute, or later through finish/fail/abort. It can react to a cancel request or to a
// sibling's failure as a download does.
class FakeTask : public TaskSpecification
{
    Q_OBJECT

public:
    enum class End { Never, Finish, Fail, Abort };

    FakeTask(const QString &name, QObject *parent, double weight, End endInExecute = End::Never,
             TaskEventLog *log = nullptr);

    void execute() override;
    void cancel() override;
    void handleOtherTaskCancelled(TaskSpecification *other) override;
    void getDownloadProgress(qulonglong *done, qulonglong *total, qulonglong *speed,
                             bool *downloading) override;

    QString name;
    End endInExecute;
    TaskEventLog *log;
    int executeCount = 0;
    int otherCancelledCount = 0;
    // Reactions of a download: abort on cancel, fail on a sibling's failure.
    bool abortOnCancel = false;
    bool failOnOtherCancelled = false;
    // Figures reported by getDownloadProgress.
    qulonglong dlDone = 0;
    qulonglong dlTotal = 0;
    qulonglong dlSpeed = 0;
    bool dlActive = false;
};

// Lets a test hold workers on the pool until it opens the gate. Every worker that waits takes
// one permit; open() hands out enough for all of them.
struct WorkerGate
{
    QSemaphore permits;
    void open(int n = 1000) { permits.release(n); }
};

class FakeFunc : public ASyncFunc
{
    Q_OBJECT

public:
    FakeFunc(bool result, QList<qreal> progressSteps, QStringList messages, QStringList errors,
             std::shared_ptr<WorkerGate> gate);
    bool run() override;

private:
    bool m_Result;
    QList<qreal> m_ProgressSteps;
    QStringList m_Messages;
    QStringList m_Errors;
    std::shared_ptr<WorkerGate> m_Gate;
};

// An asynchronous task whose worker sends the given messages, errors and progress steps and
// returns the given result, after waiting at the gate when one is set.
class FakeAsyncTask : public ASyncTaskSpecification
{
    Q_OBJECT

public:
    FakeAsyncTask(const QString &name, QObject *parent, double weight, bool result = true,
                  TaskEventLog *log = nullptr);

    void execute() override;
    ASyncFunc *createFunc() override;

    QString name;
    bool result;
    TaskEventLog *log;
    QList<qreal> progressSteps;
    QStringList messages;
    QStringList errors;
    std::shared_ptr<WorkerGate> gate;
    int executeCount = 0;
    int otherCancelledCount = 0;

    void handleOtherTaskCancelled(TaskSpecification *other) override;
};

// A composed task whose children are added by the test before execute; counts subtasksDone.
class FakeComposedTask : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    FakeComposedTask(const QString &name, int maxParallel, QObject *parent, double weight,
                     TaskEventLog *log = nullptr);

    void execute() override;
    void subtasksDone() override;

    QString name;
    TaskEventLog *log;
    int subtasksDoneCount = 0;
};

#endif // FAKETASKS_H
