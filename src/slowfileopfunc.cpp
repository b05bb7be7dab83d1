#include "slowfileopfunc.h"

SlowFileOpFunc::SlowFileOpFunc(const QString &sourcePath, const QString &targetPath)
    : SlowFileOpFunc(sourcePath, QString(), targetPath)
{ }

SlowFileOpFunc::SlowFileOpFunc(const QString &sourcePath, const QString &middlePath,
                               const QString &targetPath)
    : sourcePath(sourcePath)
    , middlePath(middlePath)
    , targetPath(targetPath)
{ }

SlowFileOpFunc::~SlowFileOpFunc() = default;

bool SlowFileOpFunc::failWith(const QString &reason)
{
    emit failureReason(reason);
    return false;
}

bool SlowFileOpFunc::writeTargetThroughScratch(const ScratchWriter &write)
{
    QString reason;
    return writeFileThroughScratch(targetPath, write, &reason) || failWith(reason);
}
