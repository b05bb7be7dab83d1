#ifndef SLOWFILEOPSPECIFICATION_H
#define SLOWFILEOPSPECIFICATION_H

#include "asynctaskspecification.h"
#include "scratchfile.h"

#include <QString>

class RollbackDataList;

// Base of the tasks that produce one file on the thread pool (copy, unpack, patch). On success
// the produced file is recorded for rollback; on failure the prepared text is sent.
class SlowFileOpSpecification : public ASyncTaskSpecification
{
    Q_OBJECT

public:
    SlowFileOpSpecification(const QString &errorText, RollbackDataList *rollbackList,
                            const QString &sourcePath, const QString &targetPath, QObject *parent,
                            double weight);
    SlowFileOpSpecification(const QString &errorText, RollbackDataList *rollbackList,
                            const QString &sourcePath, const QString &middlePath,
                            const QString &targetPath, QObject *parent, double weight);
    ~SlowFileOpSpecification() override;

    void connectFunc(ASyncFunc *func) override;
    void runDone(bool ok) override;

    RollbackDataList *rollbackList;
    QString sourcePath;
    QString middlePath;
    QString targetPath;
    QString errorText;
    // What the worker said about its failure; added to errorText.
    QString failureReason;
    // The file the worker put at the target, when it said; the record names it.
    FileIdentity producedFile;

private slots:
    void onFailureReason(const QString &reason);
    void onProducedFile(quint64 device, quint64 inode);
};

#endif // SLOWFILEOPSPECIFICATION_H
