#include "faketasks.h"

#include <QDeadlineTimer>
#include <QTest>

bool taskEnded(const TaskSpecification &task)
{
    return task.state == TaskSpecification::Finished || task.state == TaskSpecification::Failed
        || task.state == TaskSpecification::Aborted;
}

bool waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(5);
    }
    return true;
}

void TaskEventLog::watch(TaskSpecification *task, const QString &name)
{
    // A new task may live where an earlier, deleted one did: the newest name wins.
    m_Names.prepend(qMakePair(static_cast<const TaskSpecification *>(task), name));
    connect(task, &TaskSpecification::updateProgress, this,
            [this, name](qreal value) { add(name + " progress " + QString::number(value)); });
    connect(task, &TaskSpecification::finished, this, [this, name](TaskSpecification *t) {
        add(name + " finished" + (nameOf(t) == name ? QString() : " " + nameOf(t)));
    });
    connect(task, &TaskSpecification::canceled, this, [this, name](TaskSpecification *t) {
        add(name + " canceled" + (nameOf(t) == name ? QString() : " " + nameOf(t)));
    });
    connect(task, &TaskSpecification::message, this,
            [this, name](const QString &text) { add(name + " message " + text); });
    connect(task, &TaskSpecification::error, this,
            [this, name](const QString &text) { add(name + " error " + text); });
    connect(task, &TaskSpecification::otherTaskCancelled, this,
            [this, name](TaskSpecification *t) { add(name + " other " + nameOf(t)); });
}

QString TaskEventLog::nameOf(const TaskSpecification *task) const
{
    for (const auto &entry : m_Names) {
        if (entry.first == task)
            return entry.second;
    }
    return QStringLiteral("?");
}

void PrintTo(const QString &text, std::ostream *os)
{
    *os << '"' << text.toStdString() << '"';
}

void PrintTo(const QStringList &list, std::ostream *os)
{
    *os << '{';
    for (int i = 0; i < list.size(); ++i) {
        *os << (i ? ", " : "");
        PrintTo(list.at(i), os);
    }
    *os << '}';
}

QStringList TaskEventLog::filtered(const QString &prefix) const
{
    QStringList result;
    for (const QString &line : lines) {
        if (line.startsWith(prefix))
            result.append(line);
    }
    return result;
}

FakeTask::FakeTask(const QString &name, QObject *parent, double weight, End endInExecute,
                   TaskEventLog *log)
    : TaskSpecification(parent, weight)
    , name(name)
    , endInExecute(endInExecute)
    , log(log)
{
    if (log)
        log->watch(this, name);
}

void FakeTask::execute()
{
    ++executeCount;
    if (log)
        log->add(name + " execute");
    state = Running;
    switch (endInExecute) {
    case End::Never:
        break;
    case End::Finish:
        finish();
        break;
    case End::Fail:
        fail();
        break;
    case End::Abort:
        abort();
        break;
    }
}

void FakeTask::cancel()
{
    TaskSpecification::cancel();
    if (abortOnCancel && state == Running)
        abort();
}

void FakeTask::handleOtherTaskCancelled(TaskSpecification *other)
{
    Q_UNUSED(other);
    ++otherCancelledCount;
    if (failOnOtherCancelled)
        fail();
}

void FakeTask::getDownloadProgress(qulonglong *done, qulonglong *total, qulonglong *speed,
                                   bool *downloading)
{
    *done = dlDone;
    *total = dlTotal;
    *speed = dlSpeed;
    *downloading = dlActive;
}

FakeFunc::FakeFunc(bool result, QList<qreal> progressSteps, QStringList messages,
                   QStringList errors, std::shared_ptr<WorkerGate> gate)
    : m_Result(result)
    , m_ProgressSteps(std::move(progressSteps))
    , m_Messages(std::move(messages))
    , m_Errors(std::move(errors))
    , m_Gate(std::move(gate))
{ }

bool FakeFunc::run()
{
    if (m_Gate)
        m_Gate->permits.acquire();
    for (const QString &text : qAsConst(m_Messages))
        emit message(text);
    for (const QString &text : qAsConst(m_Errors))
        emit error(text);
    for (qreal step : qAsConst(m_ProgressSteps))
        emit progress(step);
    return m_Result;
}

FakeAsyncTask::FakeAsyncTask(const QString &name, QObject *parent, double weight, bool result,
                             TaskEventLog *log)
    : ASyncTaskSpecification(parent, weight)
    , name(name)
    , result(result)
    , log(log)
{
    if (log)
        log->watch(this, name);
}

void FakeAsyncTask::execute()
{
    ++executeCount;
    if (log)
        log->add(name + " execute");
    ASyncTaskSpecification::execute();
}

ASyncFunc *FakeAsyncTask::createFunc()
{
    return new FakeFunc(result, progressSteps, messages, errors, gate);
}

void FakeAsyncTask::handleOtherTaskCancelled(TaskSpecification *other)
{
    Q_UNUSED(other);
    ++otherCancelledCount;
}

FakeComposedTask::FakeComposedTask(const QString &name, int maxParallel, QObject *parent,
                                   double weight, TaskEventLog *log)
    : ComposedTaskSpecification(maxParallel, parent, weight)
    , name(name)
    , log(log)
{
    if (log)
        log->watch(this, name);
}

void FakeComposedTask::execute()
{
    if (log)
        log->add(name + " execute");
    state = Running;
    startSubtasks();
}

void FakeComposedTask::subtasksDone()
{
    ++subtasksDoneCount;
    if (log)
        log->add(name + " subtasksDone");
    ComposedTaskSpecification::subtasksDone();
}
