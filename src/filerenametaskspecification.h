#ifndef FILERENAMETASKSPECIFICATION_H
#define FILERENAMETASKSPECIFICATION_H

#include "fastfileoptaskspecification.h"

// Renames a file without overwriting; path holds the new name.
class FileRenameTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT

public:
    FileRenameTaskSpecification(const QString &from, const QString &to,
                                RollbackDataList *rollbackList, QObject *parent, double weight);
    ~FileRenameTaskSpecification() override;

    bool doOp() override;

    QString sourceName;
};

#endif // FILERENAMETASKSPECIFICATION_H
