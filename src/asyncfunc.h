#ifndef ASYNCFUNC_H
#define ASYNCFUNC_H

#include <QObject>
#include <QString>

// The work of an asynchronous task, run once on a pool thread. It holds copies of everything it
// needs and never touches the task tree; its signals reach the task through queued connections.
class ASyncFunc : public QObject
{
    Q_OBJECT

public:
    ASyncFunc();
    ~ASyncFunc() override;

    virtual bool run() = 0;

    // Runs the work on the calling thread and reports the result on runResult.
    bool runAndReport();

signals:
    void runResult(bool res);
    void message(QString);
    void error(QString);
    void progress(qreal progress);
};

#endif // ASYNCFUNC_H
