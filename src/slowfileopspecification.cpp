#include "slowfileopspecification.h"

#include "rollback.h"
#include "slowfileopfunc.h"
#include "systemreason.h"

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

void SlowFileOpSpecification::connectFunc(ASyncFunc *func)
{
    ASyncTaskSpecification::connectFunc(func);
    // Queued like the result, and sent before it, so it is in place when the result arrives.
    if (auto *fileFunc = qobject_cast<SlowFileOpFunc *>(func)) {
        connect(fileFunc, &SlowFileOpFunc::failureReason, this,
                &SlowFileOpSpecification::onFailureReason, Qt::QueuedConnection);
        connect(fileFunc, &SlowFileOpFunc::producedFile, this,
                &SlowFileOpSpecification::onProducedFile, Qt::QueuedConnection);
    }
}

void SlowFileOpSpecification::onProducedFile(quint64 device, quint64 inode)
{
    producedFile.device = device;
    producedFile.inode = inode;
}

void SlowFileOpSpecification::onFailureReason(const QString &reason)
{
    failureReason = reason;
}

void SlowFileOpSpecification::runDone(bool ok)
{
    const QString reason = failureReason;
    failureReason.clear();
    const FileIdentity file = producedFile;
    producedFile = FileIdentity();
    if (ok) {
        // Recorded even when the target existed before: a rollback removes it, but only while
        // it is still the file written here.
        if (rollbackList) {
            RollbackData record(RollbackData::FILE_CREATE, targetPath);
            record.file = file;
            rollbackList->append(record);
        }
    } else {
        emit message(withSystemReason(errorText, reason));
    }
    ASyncTaskSpecification::runDone(ok);
}
