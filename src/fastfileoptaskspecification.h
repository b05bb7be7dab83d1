#ifndef FASTFILEOPTASKSPECIFICATION_H
#define FASTFILEOPTASKSPECIFICATION_H

#include "taskspecification.h"

#include <QString>

class RollbackData;
class RollbackDataList;

// A quick file operation done on the GUI thread inside execute: the task ends before execute
// returns.
class FastFileOpTaskSpecification : public TaskSpecification
{
    Q_OBJECT

public:
    FastFileOpTaskSpecification(const QString &path, RollbackDataList *rollbackList,
                                QObject *parent, double weight);
    ~FastFileOpTaskSpecification() override;

    void execute() override;
    virtual bool doOp() = 0;

    // May be null: nothing is recorded then.
    RollbackDataList *rollbackList;
    QString path;

protected:
    void addRollbackRecord(const RollbackData &record);
};

#endif // FASTFILEOPTASKSPECIFICATION_H
