#ifndef COMPOSEDTASKSPECIFICATION_H
#define COMPOSEDTASKSPECIFICATION_H

#include "taskspecification.h"

#include <QHash>
#include <QList>
#include <QVector>

// A task made of child tasks: starts them in the order added, at most maxParallel at once, sums
// their progress into its own and ends once with the state merged from theirs.
class ComposedTaskSpecification : public TaskSpecification
{
    Q_OBJECT

public:
    ComposedTaskSpecification(int maxParallel, QObject *parent, double weight);
    ~ComposedTaskSpecification() override;

    void reset() override;
    void getDownloadProgress(qulonglong *done, qulonglong *total, qulonglong *speed,
                             bool *downloading) override;
    void cancel() override;
    void handleOtherTaskCancelled(TaskSpecification *other) override;

    virtual void subtasksDone();
    virtual void connectSubTask(TaskSpecification *task);

    void addSubTask(TaskSpecification *task);
    void startSubtasks();
    TaskState subtasksState() const;
    void clearSubtasks();

    QList<TaskSpecification *> allTasks;
    QList<TaskSpecification *> pendingTasks;
    QList<TaskSpecification *> runningTasks;
    QList<TaskSpecification *> doneTasks;
    int maxParallel;
    bool subtaskFailed;
    bool subtasksDoneCalled;

signals:
    void startNextTask();

private slots:
    void onStartNextTask();
    void onUpdateProgress(qreal doneFrac);
    void onSubTaskFinished(TaskSpecification *task);
    void onSubTaskCanceled(TaskSpecification *task);

private:
    void childProgressSignalled(const TaskSpecification *child);
    void childProgressChanged(int index);
    void resumChildProgress();
    double childProgressSum() const;

    // Running sums of the children's progress in list order: entry i holds the sum over the
    // first i children. Children past the last entry have progress 0 and add nothing, so a
    // change costs only the children from the changed one to the last one that ever moved.
    QVector<double> m_progressSums;
    // Position of each child in allTasks; kept for long lists only.
    QHash<const TaskSpecification *, int> m_childIndex;
    // A child listed twice has no single position: sum over the whole list then.
    bool m_childListedTwice;
};

#endif // COMPOSEDTASKSPECIFICATION_H
