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

bool SlowFileOpFunc::written(bool ok, const FileIdentity &file, const QString &reason)
{
    if (!ok)
        return failWith(reason);
    emit producedFile(file.device, file.inode);
    return true;
}

bool SlowFileOpFunc::writeTargetThroughScratch(const ScratchWriter &write)
{
    QString reason;
    FileIdentity file;
    const bool ok = writeFileThroughScratch(targetPath, write, &reason, &file);
    return written(ok, file, reason);
}

bool SlowFileOpFunc::writeTargetThroughScratch(const ScratchFiller &fill)
{
    QString reason;
    FileIdentity file;
    const bool ok = writeFileThroughScratch(targetPath, fill, &reason, &file);
    return written(ok, file, reason);
}
