#ifndef TASKSPECIFICATION_H
#define TASKSPECIFICATION_H

#include <QObject>
#include <QString>

// Base of every step of an update run. A task lives on the GUI thread; its progress is kept
// already multiplied by its weight, so a parent only has to add its children's values up.
class TaskSpecification : public QObject
{
    Q_OBJECT

public:
    enum TaskState { Idle = 0, Running = 1, Finished = 2, Failed = 3, Aborted = 4 };
    Q_ENUM(TaskState)

    TaskSpecification(QObject *parent, double weight);
    ~TaskSpecification() override;

    virtual void execute() = 0;
    virtual void reset();
    virtual void getDownloadProgress(qulonglong *done, qulonglong *total, qulonglong *speed,
                                     bool *downloading);
    virtual void cancel();
    virtual void handleOtherTaskCancelled(TaskSpecification *other);

    void setProgress(double fraction);
    void setWeight(double weight);
    void finish();
    void fail();
    void abort();

    bool cancelRequested;
    double weight;
    double progress;
    int state;

signals:
    void finished(TaskSpecification *task);
    void canceled(TaskSpecification *task);
    void error(QString errorMessage);
    void updateProgress(qreal doneFrac);
    void message(QString message);
    void otherTaskCancelled(TaskSpecification *task);

protected slots:
    void onOtherTaskCancelled(TaskSpecification *other);
};

#endif // TASKSPECIFICATION_H
