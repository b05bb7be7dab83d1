#include "dircreatetaskspecification.h"
#include "rollback.h"

#include <QDir>
#include <QFileInfo>

DirCreateTaskSpecification::DirCreateTaskSpecification(const QString &path,
                                                       RollbackDataList *rollbackList,
                                                       QObject *parent, double weight)
    : FastFileOpTaskSpecification(path, rollbackList, parent, weight)
{ }

DirCreateTaskSpecification::~DirCreateTaskSpecification() = default;

bool DirCreateTaskSpecification::doOp()
{
    QString dir = path;
    // "a/b/" names the folder "a/b"; its last component must not come out empty.
    while (dir.size() > 1 && dir.endsWith(QLatin1Char('/')))
        dir.chop(1);
    return createDir(dir);
}

bool DirCreateTaskSpecification::createDir(const QString &dir)
{
    const QFileInfo info(dir);
    if (info.exists()) {
        if (info.isDir())
            return true;
        emit message(
            tr("Could not create dir '%1' because it already exists and is not a dir").arg(dir));
        return false;
    }

    const QString parentPath = info.path();
    if (parentPath == QLatin1String(".") || info.isRoot()) {
        emit message(tr("Could not create dir %1").arg(path));
        return false;
    }
    if (!QFileInfo::exists(parentPath) && !createDir(parentPath))
        return false;

    if (QDir(parentPath).mkdir(info.fileName())) {
        addRollbackRecord(RollbackData(RollbackData::DIR_CREATE, dir));
        return true;
    }
    emit message(tr("unable to create dir %1").arg(dir));
    return false;
}
