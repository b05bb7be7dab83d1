#include "checksignaturetaskspecification.h"
#include "checksigfunc.h"

#include <QDebug>

CheckSignatureTaskSpecification::CheckSignatureTaskSpecification(const QString &filePath,
                                                                 const QString &expectedHash,
                                                                 bool failOnMismatch,
                                                                 QObject *parent, double weight)
    : ASyncTaskSpecification(parent, weight)
    , filePath(filePath)
    , expectedHash(expectedHash)
    , failOnMismatch(failOnMismatch)
{ }

CheckSignatureTaskSpecification::~CheckSignatureTaskSpecification() = default;

ASyncFunc *CheckSignatureTaskSpecification::createFunc()
{
    return new CheckSigFunc(filePath, expectedHash);
}

void CheckSignatureTaskSpecification::runDone(bool ok)
{
    if (state != Running)
        return;
    if (ok) {
        emit checkDone(true, this);
        finish();
        return;
    }
    qDebug() << "Signature check failed for" << filePath;
    emit message(tr("Signature check failed for %1").arg(filePath));
    emit checkDone(false, this);
    if (failOnMismatch)
        fail();
    else
        finish();
}
