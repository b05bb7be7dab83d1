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

protected:
    // For run's failure paths: sends the reason and returns false.
    bool failWith(const QString &reason);
    // The target written through its scratch file by write; a failure sends its reason.
    bool writeTargetThroughScratch(const ScratchWriter &write);
};

#endif // SLOWFILEOPFUNC_H
