#include "filerenametaskspecification.h"
#include "rollback.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

FileRenameTaskSpecification::FileRenameTaskSpecification(const QString &from, const QString &to,
                                                         RollbackDataList *rollbackList,
                                                         QObject *parent, double weight)
    : FastFileOpTaskSpecification(to, rollbackList, parent, weight)
    , sourceName(from)
{ }

FileRenameTaskSpecification::~FileRenameTaskSpecification() = default;

bool FileRenameTaskSpecification::doOp()
{
    const QString targetDir = QFileInfo(path).path();
    if (!QFileInfo::exists(targetDir))
        QDir().mkdir(targetDir);

    if (!QFile::rename(sourceName, path)) {
        emit message(tr("Could not rename '%1' to '%2'").arg(sourceName, path));
        return false;
    }
    addRollbackRecord(RollbackData(RollbackData::FILE_RENAME, sourceName, path));
    return true;
}
