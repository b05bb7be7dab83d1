#ifndef ASYNCTASKSPECIFICATION_H
#define ASYNCTASKSPECIFICATION_H

#include "taskspecification.h"

class ASyncFunc;

// A leaf task whose work runs in a worker on the global thread pool. The task itself is only
// touched on the GUI thread: the worker's signals come back through queued connections.
class ASyncTaskSpecification : public TaskSpecification
{
    Q_OBJECT

public:
    ASyncTaskSpecification(QObject *parent, double weight);
    ~ASyncTaskSpecification() override;

    void execute() override;
    void reset() override;

    virtual ASyncFunc *createFunc() = 0;
    virtual void connectFunc(ASyncFunc *func);
    virtual void runDone(bool ok);

protected slots:
    void onRunResult(bool res);
    void onProgress(qreal progress);
};

#endif // ASYNCTASKSPECIFICATION_H
