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
};

#endif // FILEREPLACELISTTASKSPECIFICATION_H
