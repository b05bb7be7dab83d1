#ifndef FILEREPLACETASKSPECIFICATION_H
#define FILEREPLACETASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "replacelistdata.h"
#include "rollback.h"

#include <QList>
#include <QString>
#include <QStringList>

class Configuration;

// Installs one replace entry into the client bundle: copies, unpacks or patches the download
// into place and checks a restored file against its installed hash. Its undo records go to the
// shared list on success and are undone at once on failure. A file it replaces is kept in the
// download folder until then, so that undoing the install brings the old file back.
class FileReplaceTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    FileReplaceTaskSpecification(const ReplaceEntry &entry, QList<DeleteEntry> *deleteList,
                                 RollbackDataList *sharedRollbackList, Configuration *configuration,
                                 QObject *parent, double weight);
    ~FileReplaceTaskSpecification() override;

    void execute() override;
    void reset() override;
    void subtasksDone() override;

    void makeSubtasksAndStart();

    // Makes the file executable when its name or suffix says it is a program or a library.
    static void makeSingleFileExecutable(const QString &path);

    static const QStringList executableNames;
    static const QStringList executableSuffixes;

    ReplaceEntry entry;
    QList<DeleteEntry> *deleteList;
    RollbackDataList *sharedRollbackList;
    RollbackDataList localRollbackList;
    Configuration *configuration;

private:
    void addDownloadCheck(const QString &download);
    void addBackupTask(const QString &backup);
    void addRestoreRecord();

    // The installed path, and the file that is written for it (the same unless it is a link).
    QString m_InstalledPath;
    QString m_Target;
    // Where the file that was installed before is kept; empty when there was none.
    QString m_Backup;
};

#endif // FILEREPLACETASKSPECIFICATION_H
