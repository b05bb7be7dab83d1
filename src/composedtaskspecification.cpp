#include "composedtaskspecification.h"

namespace {

// Up to this many children a look along the list is cheaper than keeping an index of them.
constexpr int smallChildList = 16;

} // namespace

ComposedTaskSpecification::ComposedTaskSpecification(int maxParallel, QObject *parent,
                                                     double weight)
    : TaskSpecification(parent, weight)
    , maxParallel(maxParallel)
    , subtaskFailed(false)
    , subtasksDoneCalled(false)
    , m_childListedTwice(false)
{
    // Children are only ever started from the event loop: a child that ends inside its own
    // execute must not start its successor from within that call chain.
    connect(this, &ComposedTaskSpecification::startNextTask, this,
            &ComposedTaskSpecification::onStartNextTask, Qt::QueuedConnection);
}

ComposedTaskSpecification::~ComposedTaskSpecification()
{
    // Children that are ours die with this object right after this body. A deferred delete for
    // each would only have to be looked up and dropped again, a search of the whole event queue
    // per child.
    for (TaskSpecification *task : qAsConst(allTasks)) {
        disconnect(task, nullptr, this, nullptr);
        if (task->parent() != this)
            task->deleteLater();
    }
}

void ComposedTaskSpecification::reset()
{
    for (TaskSpecification *task : qAsConst(allTasks))
        task->reset();
    pendingTasks = allTasks;
    runningTasks.clear();
    doneTasks.clear();
    subtaskFailed = false;
    subtasksDoneCalled = false;
    TaskSpecification::reset();
}

void ComposedTaskSpecification::getDownloadProgress(qulonglong *done, qulonglong *total,
                                                    qulonglong *speed, bool *downloading)
{
    *downloading = false;
    for (TaskSpecification *task : qAsConst(allTasks)) {
        qulonglong taskDone = 0;
        qulonglong taskTotal = 0;
        qulonglong taskSpeed = 0;
        bool taskDownloading = false;
        task->getDownloadProgress(&taskDone, &taskTotal, &taskSpeed, &taskDownloading);
        *downloading = *downloading || taskDownloading;
        *speed += taskSpeed;
        if (taskTotal != 0) {
            *done += taskDone;
            *total += taskTotal;
        }
    }
}

void ComposedTaskSpecification::cancel()
{
    TaskSpecification::cancel();
    if (state != Running)
        return;
    // A child may end inside its cancel, and this task with it; whatever runs on that end must
    // not pull the list from under this loop.
    const QList<TaskSpecification *> tasks = allTasks;
    for (TaskSpecification *task : tasks)
        task->cancel();
}

void ComposedTaskSpecification::handleOtherTaskCancelled(TaskSpecification *other)
{
    emit otherTaskCancelled(other);
}

void ComposedTaskSpecification::subtasksDone()
{
    switch (subtasksState()) {
    case Aborted:
        abort();
        break;
    case Finished:
        finish();
        break;
    default:
        fail();
        break;
    }
}

void ComposedTaskSpecification::connectSubTask(TaskSpecification *task)
{
    connect(task, &TaskSpecification::finished, this,
            &ComposedTaskSpecification::onSubTaskFinished);
    connect(task, &TaskSpecification::canceled, this,
            &ComposedTaskSpecification::onSubTaskCanceled);
    connect(task, &TaskSpecification::error, this, &TaskSpecification::error);
    // Bound to the child itself: asking Qt for the sender costs time in the number of children.
    connect(task, &TaskSpecification::updateProgress, this,
            [this, task] { childProgressSignalled(task); });
    connect(task, &TaskSpecification::message, this, &TaskSpecification::message);
    connect(this, &TaskSpecification::otherTaskCancelled, task,
            &ComposedTaskSpecification::onOtherTaskCancelled);
}

void ComposedTaskSpecification::addSubTask(TaskSpecification *task)
{
    const int index = allTasks.size();
    allTasks.append(task);
    pendingTasks.append(task);
    if (m_childIndex.isEmpty() && index >= smallChildList) {
        for (int i = 0; i < index; ++i)
            m_childIndex.insert(allTasks.at(i), i);
    }
    if (m_childIndex.isEmpty() ? allTasks.indexOf(task) < index : m_childIndex.contains(task))
        m_childListedTwice = true;
    else if (!m_childIndex.isEmpty())
        m_childIndex.insert(task, index);
    connectSubTask(task);
    if (m_childListedTwice)
        resumChildProgress();
    else
        childProgressChanged(index);
    setProgress(childProgressSum());
}

void ComposedTaskSpecification::startSubtasks()
{
    state = Running;
    // A negative limit would start nothing and never end; it ends like a limit of 0.
    const int n = qMax(0, qMin(maxParallel, pendingTasks.size()));
    if (n == 0) {
        subtasksDone();
        return;
    }
    for (int i = 0; i < n; ++i)
        emit startNextTask();
}

TaskSpecification::TaskState ComposedTaskSpecification::subtasksState() const
{
    if (allTasks.isEmpty())
        return Finished;
    bool someAborted = false;
    bool allFinished = true;
    for (const TaskSpecification *task : allTasks) {
        if (task->state == Failed)
            return Failed;
        if (task->state == Aborted)
            someAborted = true;
        if (task->state != Finished)
            allFinished = false;
    }
    if (someAborted)
        return Aborted;
    if (allFinished)
        return Finished;
    if (cancelRequested)
        return Aborted;
    if (subtaskFailed)
        return Failed;
    return Running;
}

void ComposedTaskSpecification::clearSubtasks()
{
    for (TaskSpecification *task : qAsConst(allTasks)) {
        disconnect(task, nullptr, this, nullptr);
        task->deleteLater();
    }
    allTasks.clear();
    pendingTasks.clear();
    runningTasks.clear();
    doneTasks.clear();
    m_progressSums = QVector<double>();
    m_childIndex.clear();
    m_childListedTwice = false;
    // Tasks that rebuild their children on the next execute must be able to run again.
    subtaskFailed = false;
    subtasksDoneCalled = false;
}

void ComposedTaskSpecification::onStartNextTask()
{
    if (!pendingTasks.isEmpty() && !subtaskFailed && !cancelRequested) {
        TaskSpecification *task = pendingTasks.takeFirst();
        runningTasks.append(task);
        task->execute();
        return;
    }
    if (runningTasks.isEmpty() && !subtasksDoneCalled) {
        subtasksDoneCalled = true;
        subtasksDone();
    }
}

void ComposedTaskSpecification::onUpdateProgress(qreal doneFrac)
{
    Q_UNUSED(doneFrac);
    resumChildProgress();
    setProgress(childProgressSum());
}

void ComposedTaskSpecification::childProgressSignalled(const TaskSpecification *child)
{
    // The list is open to subclasses: anything that does not fit it is summed anew.
    const int index = m_childIndex.isEmpty()
        ? allTasks.indexOf(const_cast<TaskSpecification *>(child))
        : m_childIndex.value(child, -1);
    if (m_childListedTwice || index < 0 || index >= allTasks.size() || allTasks.at(index) != child
        || m_progressSums.size() > allTasks.size() + 1)
        resumChildProgress();
    else
        childProgressChanged(index);
    setProgress(childProgressSum());
}

void ComposedTaskSpecification::childProgressChanged(int index)
{
    // The sums must stay what adding all children up in list order gives, to the last bit: so
    // everything after the changed child is added again, in order, rather than corrected by
    // the difference.
    const int covered = qMax(0, m_progressSums.size() - 1);
    if (index < covered) {
        for (int i = index; i < covered; ++i)
            m_progressSums[i + 1] = m_progressSums[i] + allTasks.at(i)->progress;
        return;
    }
    const double value = allTasks.at(index)->progress;
    if (value == 0.0)
        return;
    if (m_progressSums.isEmpty())
        m_progressSums.append(0.0);
    const double before = m_progressSums.last();
    while (m_progressSums.size() <= index)
        m_progressSums.append(before);
    m_progressSums.append(before + value);
}

double ComposedTaskSpecification::childProgressSum() const
{
    return m_progressSums.isEmpty() ? 0.0 : m_progressSums.last();
}

void ComposedTaskSpecification::resumChildProgress()
{
    m_progressSums.clear();
    for (int i = 0; i < allTasks.size(); ++i)
        childProgressChanged(i);
}

void ComposedTaskSpecification::onSubTaskFinished(TaskSpecification *task)
{
    runningTasks.removeOne(task);
    doneTasks.append(task);
    emit startNextTask();
}

void ComposedTaskSpecification::onSubTaskCanceled(TaskSpecification *task)
{
    runningTasks.removeOne(task);
    doneTasks.append(task);
    if (!subtaskFailed) {
        subtaskFailed = true;
        emit otherTaskCancelled(task);
    }
    if (runningTasks.isEmpty() && !subtasksDoneCalled) {
        subtasksDoneCalled = true;
        subtasksDone();
    }
}
