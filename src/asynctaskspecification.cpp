#include "asynctaskspecification.h"

#include "asyncfunc.h"
#include "asyncrun.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThreadPool>

ASyncTaskSpecification::ASyncTaskSpecification(QObject *parent, double weight)
    : TaskSpecification(parent, weight)
{ }

ASyncTaskSpecification::~ASyncTaskSpecification() = default;

void ASyncTaskSpecification::execute()
{
    ASyncFunc *func = createFunc();
    connectFunc(func);
    QThreadPool::globalInstance()->start(new ASyncRun(func), 0);
    // The result comes through a queued connection, so it cannot arrive before this is set.
    state = Running;
}

void ASyncTaskSpecification::reset()
{
    // A worker still on the pool would report into the reset task; results it already queued
    // belong to the old run and must not end a new one.
    QThreadPool::globalInstance()->waitForDone(-1);
    QCoreApplication::removePostedEvents(this, QEvent::MetaCall);
    TaskSpecification::reset();
}

void ASyncTaskSpecification::connectFunc(ASyncFunc *func)
{
    connect(func, &ASyncFunc::runResult, this, &ASyncTaskSpecification::onRunResult,
            Qt::QueuedConnection);
    connect(func, &ASyncFunc::message, this, &TaskSpecification::message, Qt::QueuedConnection);
    connect(func, &ASyncFunc::error, this, &TaskSpecification::error, Qt::QueuedConnection);
    connect(func, &ASyncFunc::progress, this, &ASyncTaskSpecification::onProgress,
            Qt::QueuedConnection);
}

void ASyncTaskSpecification::runDone(bool ok)
{
    if (state != Running)
        return;
    if (ok)
        finish();
    else
        fail();
}

void ASyncTaskSpecification::onRunResult(bool res)
{
    runDone(res);
}

void ASyncTaskSpecification::onProgress(qreal progress)
{
    setProgress(progress);
}
