#include "filereplacelisttaskspecification.h"

#include "configuration.h"
#include "dircreatetaskspecification.h"
#include "filereplacetaskspecification.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QStringList>

FileReplaceListTaskSpecification::FileReplaceListTaskSpecification(QList<ReplaceEntry> *replaceList,
                                                                   QList<DeleteEntry> *deleteList,
                                                                   Configuration *configuration,
                                                                   QObject *parent, double weight)
    : ComposedTaskSpecification(2, parent, weight)
    , replaceList(replaceList)
    , deleteList(deleteList)
    , configuration(configuration)
{ }

FileReplaceListTaskSpecification::~FileReplaceListTaskSpecification() = default;

void FileReplaceListTaskSpecification::execute()
{
    emit message(tr("Starting file updates"));
    makeSubtasksAndStart();
}

void FileReplaceListTaskSpecification::makeSubtasksAndStart()
{
    const int count = collectTargetDirs();
    addReplaceTasks(count >= 1);
    state = Running;
    startSubtasks();
}

int FileReplaceListTaskSpecification::collectTargetDirs()
{
    if (!replaceList)
        return 0;
    const QDir base(configuration->installPath);
    QSet<QString> seen;
    QStringList missing;
    for (const ReplaceEntry &entry : qAsConst(*replaceList)) {
        const QString dir = QFileInfo(base.filePath(entry.localRelativePath(QString()))).path();
        if (seen.contains(dir))
            continue;
        seen.insert(dir);
        // Something else in a folder's place is handed on too: its task reports it.
        if (!QFileInfo(dir).isDir())
            missing.append(dir);
    }
    missing.sort(Qt::CaseSensitive);
    for (const QString &dir : qAsConst(missing))
        addSubTask(new DirCreateTaskSpecification(dir, &rollbackList, this, 0.1 / missing.size()));
    return missing.size();
}

void FileReplaceListTaskSpecification::addReplaceTasks(bool directoriesCreated)
{
    if (!replaceList || replaceList->isEmpty())
        return;
    const double total = directoriesCreated ? 0.9 : 1.0;
    const double weight = total / replaceList->size();
    for (const ReplaceEntry &entry : qAsConst(*replaceList))
        addSubTask(new FileReplaceTaskSpecification(entry, deleteList, &rollbackList, configuration,
                                                    this, weight));
}

void FileReplaceListTaskSpecification::subtasksDone()
{
    if (subtasksState() != Finished) {
        emit message(tr("rolling back file updates"));
        rollbackList.rollback(this);
    }
    ComposedTaskSpecification::subtasksDone();
}

void FileReplaceListTaskSpecification::reset()
{
    clearSubtasks();
    rollbackList.rollback(this);
    // With no children left this only clears the end flags of the last run and the base.
    ComposedTaskSpecification::reset();
}
