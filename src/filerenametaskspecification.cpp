#include "filerenametaskspecification.h"
#include "rollback.h"
#include "scratchfile.h"
#include "systemreason.h"

#include <QDir>
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

    // Not QFile::rename: across file systems it copies, and a copy cut short by a full disk
    // stays at the new name with no word of why.
    QString reason;
    if (!moveFileWithoutReplacing(sourceName, path, &reason)) {
        emit message(
            withSystemReason(tr("Could not rename '%1' to '%2'").arg(sourceName, path), reason));
        return false;
    }
    addRollbackRecord(RollbackData(RollbackData::FILE_RENAME, sourceName, path));
    return true;
}
