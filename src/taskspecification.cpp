#include "taskspecification.h"

TaskSpecification::TaskSpecification(QObject *parent, double weight)
    : QObject(parent)
    , cancelRequested(false)
    , weight(weight)
    , progress(0.0)
    , state(Idle)
{ }

TaskSpecification::~TaskSpecification() = default;

void TaskSpecification::reset()
{
    cancelRequested = false;
    state = Idle;
    progress = 0.0 * weight;
    emit updateProgress(progress);
}

void TaskSpecification::getDownloadProgress(qulonglong *done, qulonglong *total, qulonglong *speed,
                                            bool *downloading)
{
    *done = 0;
    *total = 0;
    *speed = 0;
    *downloading = false;
}

void TaskSpecification::cancel()
{
    cancelRequested = true;
}

void TaskSpecification::handleOtherTaskCancelled(TaskSpecification *other)
{
    Q_UNUSED(other);
}

void TaskSpecification::setProgress(double fraction)
{
    progress = fraction * weight;
    emit updateProgress(progress);
}

void TaskSpecification::setWeight(double newWeight)
{
    weight = newWeight;
}

void TaskSpecification::finish()
{
    state = Finished;
    progress = weight;
    // The parent sums progress when it handles finished, so the full weight must be in first.
    emit updateProgress(progress);
    emit finished(this);
}

void TaskSpecification::fail()
{
    state = Failed;
    emit canceled(this);
}

void TaskSpecification::abort()
{
    state = Aborted;
    emit canceled(this);
}

void TaskSpecification::onOtherTaskCancelled(TaskSpecification *other)
{
    if (other != this && state == Running)
        handleOtherTaskCancelled(other);
}
