#include "slowfileopspecification.h"

#include "rollback.h"

SlowFileOpSpecification::SlowFileOpSpecification(const QString &errorText,
                                                 RollbackDataList *rollbackList,
                                                 const QString &sourcePath,
                                                 const QString &targetPath, QObject *parent,
                                                 double weight)
    : SlowFileOpSpecification(errorText, rollbackList, sourcePath, QString(), targetPath, parent,
                              weight)
{ }

SlowFileOpSpecification::SlowFileOpSpecification(
    const QString &errorText, RollbackDataList *rollbackList, const QString &sourcePath,
    const QString &middlePath, const QString &targetPath, QObject *parent, double weight)
    : ASyncTaskSpecification(parent, weight)
    , rollbackList(rollbackList)
    , sourcePath(sourcePath)
    , middlePath(middlePath)
    , targetPath(targetPath)
    , errorText(errorText)
{ }

SlowFileOpSpecification::~SlowFileOpSpecification() = default;

void SlowFileOpSpecification::runDone(bool ok)
{
    if (ok) {
        // Recorded even when the target existed before: a rollback removes it.
        if (rollbackList)
            rollbackList->append(RollbackData(RollbackData::FILE_CREATE, targetPath));
    } else {
        emit message(errorText);
    }
    ASyncTaskSpecification::runDone(ok);
}
