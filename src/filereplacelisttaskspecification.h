#ifndef FILEREPLACELISTTASKSPECIFICATION_H
#define FILEREPLACELISTTASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "replacelistdata.h"
#include "rollback.h"

#include <QList>

class Configuration;

// Installs the whole replace list into the client bundle, two files at a time, after creating
// the folders they need. Unless every file was installed, everything it did is undone.
class FileReplaceListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    FileReplaceListTaskSpecification(QList<ReplaceEntry> *replaceList,
                                     QList<DeleteEntry> *deleteList, Configuration *configuration,
                                     QObject *parent, double weight);
    ~FileReplaceListTaskSpecification() override;

    void execute() override;
    void reset() override;
    void subtasksDone() override;

    void makeSubtasksAndStart();
    int collectTargetDirs();
    void addReplaceTasks(bool directoriesCreated);

    QList<ReplaceEntry> *replaceList;
    QList<DeleteEntry> *deleteList;
    RollbackDataList rollbackList;
    Configuration *configuration;

private:
    // False (with the message sent) when a target leads out of the client folder.
    bool targetsConfined();
};

// Step one: completes a new copy of the updater inside the download folder from the downloaded
// archives and patches, without touching the installed client, and prepares it to run step two.
class UpdateSelfUnzipTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    UpdateSelfUnzipTaskSpecification(QList<ReplaceEntry> *replaceList, Configuration *configuration,
                                     QObject *parent, double weight);
    ~UpdateSelfUnzipTaskSpecification() override;

    void execute() override;
    void reset() override;
    void subtasksDone() override;

    void makeSubtasksAndStart();

    QList<ReplaceEntry> *replaceList;
    Configuration *configuration;

private:
    enum Phase { CheckingDownloads, Staging, CheckingStagedFiles };

    bool startNextPhase();
    QString downloadOf(const ReplaceEntry &entry) const;
    bool addDownloadChecks();
    bool addStagingTasks();
    bool addStagedFileChecks();
    void linkIntoStagedBundle(const QString &folder);
    // False, with the message sent, when a translation could not be copied.
    bool copyTranslations();
    // Ends the task failed, or aborted after a cancel.
    void endUnfinished();

    Phase m_Phase = CheckingDownloads;
};

#endif // FILEREPLACELISTTASKSPECIFICATION_H
