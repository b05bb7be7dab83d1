#ifndef FILECOPYTASKSPECIFICATION_H
#define FILECOPYTASKSPECIFICATION_H

#include "slowfileopspecification.h"

// Copies one file on the thread pool, replacing an existing target.
class FileCopyTaskSpecification : public SlowFileOpSpecification
{
    Q_OBJECT

public:
    FileCopyTaskSpecification(RollbackDataList *rollbackList, const QString &source,
                              const QString &target, QObject *parent, double weight);
    ~FileCopyTaskSpecification() override;

    ASyncFunc *createFunc() override;
};

#endif // FILECOPYTASKSPECIFICATION_H
