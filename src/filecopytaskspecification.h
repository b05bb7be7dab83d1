#ifndef FILECOPYTASKSPECIFICATION_H
#define FILECOPYTASKSPECIFICATION_H

#include "slowfileopspecification.h"

// Copies one file on the thread pool, replacing an existing target (modes as FileCopyFunc).
class FileCopyTaskSpecification : public SlowFileOpSpecification
{
    Q_OBJECT

public:
    FileCopyTaskSpecification(RollbackDataList *rollbackList, const QString &source,
                              const QString &target, QObject *parent, double weight,
                              bool keepSourceMode = false);
    ~FileCopyTaskSpecification() override;

    ASyncFunc *createFunc() override;

    bool keepSourceMode;
};

#endif // FILECOPYTASKSPECIFICATION_H
