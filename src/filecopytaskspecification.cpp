#include "filecopytaskspecification.h"
#include "filecopyfunc.h"

FileCopyTaskSpecification::FileCopyTaskSpecification(RollbackDataList *rollbackList,
                                                     const QString &source, const QString &target,
                                                     QObject *parent, double weight,
                                                     bool keepSourceMode)
    : SlowFileOpSpecification(tr("Could not copy '%1' to '%2'").arg(source, target), rollbackList,
                              source, target, parent, weight)
    , keepSourceMode(keepSourceMode)
{ }

FileCopyTaskSpecification::~FileCopyTaskSpecification() = default;

ASyncFunc *FileCopyTaskSpecification::createFunc()
{
    return new FileCopyFunc(sourcePath, targetPath, keepSourceMode);
}
