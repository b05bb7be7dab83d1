#include "filecopytaskspecification.h"
#include "filecopyfunc.h"

FileCopyTaskSpecification::FileCopyTaskSpecification(RollbackDataList *rollbackList,
                                                     const QString &source, const QString &target,
                                                     QObject *parent, double weight)
    : SlowFileOpSpecification(tr("Could not copy '%1' to '%2'").arg(source, target), rollbackList,
                              source, target, parent, weight)
{ }

FileCopyTaskSpecification::~FileCopyTaskSpecification() = default;

ASyncFunc *FileCopyTaskSpecification::createFunc()
{
    return new FileCopyFunc(sourcePath, targetPath);
}
