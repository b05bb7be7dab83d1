#ifndef CHECKSIGNATURETASKSPECIFICATION_H
#define CHECKSIGNATURETASKSPECIFICATION_H

#include "asynctaskspecification.h"

#include <QString>

// Checks one file on the thread pool: against an expected SHA-512 hex hash, or, when the hash is
// empty, against its detached signature. checkDone reports the outcome before the task ends.
class CheckSignatureTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT

public:
    CheckSignatureTaskSpecification(const QString &filePath, const QString &expectedHash,
                                    bool failOnMismatch, QObject *parent, double weight);
    ~CheckSignatureTaskSpecification() override;

    ASyncFunc *createFunc() override;
    void runDone(bool ok) override;

    QString filePath;
    QString expectedHash;
    // A failed check ends the task Failed (true) or Finished (false).
    bool failOnMismatch;

signals:
    void checkDone(bool pass, CheckSignatureTaskSpecification *task);
};

#endif // CHECKSIGNATURETASKSPECIFICATION_H
