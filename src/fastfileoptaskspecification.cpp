#include "fastfileoptaskspecification.h"
#include "rollback.h"

FastFileOpTaskSpecification::FastFileOpTaskSpecification(const QString &path,
                                                         RollbackDataList *rollbackList,
                                                         QObject *parent, double weight)
    : TaskSpecification(parent, weight)
    , rollbackList(rollbackList)
    , path(path)
{ }

FastFileOpTaskSpecification::~FastFileOpTaskSpecification() = default;

void FastFileOpTaskSpecification::execute()
{
    state = Running;
    if (doOp())
        finish();
    else
        fail();
}

void FastFileOpTaskSpecification::addRollbackRecord(const RollbackData &record)
{
    if (rollbackList)
        rollbackList->append(record);
}
