#ifndef SLOWFILEOPFUNC_H
#define SLOWFILEOPFUNC_H

#include "asyncfunc.h"
#include "scratchfile.h"

#include <QString>

// Worker of a task that produces one file: it holds its own copies of the paths.
class SlowFileOpFunc : public ASyncFunc
{
    Q_OBJECT

public:
    SlowFileOpFunc(const QString &sourcePath, const QString &targetPath);
    SlowFileOpFunc(const QString &sourcePath, const QString &middlePath, const QString &targetPath);
    ~SlowFileOpFunc() override;

    QString sourcePath;
    QString middlePath;
    QString targetPath;

signals:
    // Why the work failed, sent before the result: the task adds it to its failure text.
    void failureReason(QString reason);
    // The file the work put at the target, sent before the result: only that file is removed
    // by a rollback.
    void producedFile(quint64 device, quint64 inode);

protected:
    // For run's failure paths: sends the reason and returns false.
    bool failWith(const QString &reason);
    // The target written through its scratch file by write or fill; a failure sends its reason.
    bool writeTargetThroughScratch(const ScratchWriter &write);
    bool writeTargetThroughScratch(const ScratchFiller &fill);

private:
    bool written(bool ok, const FileIdentity &file, const QString &reason);
};

#endif // SLOWFILEOPFUNC_H
