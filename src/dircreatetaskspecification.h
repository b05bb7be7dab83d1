#ifndef DIRCREATETASKSPECIFICATION_H
#define DIRCREATETASKSPECIFICATION_H

#include "fastfileoptaskspecification.h"

// Creates a directory with its missing parents, recording each one it made.
class DirCreateTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT

public:
    DirCreateTaskSpecification(const QString &path, RollbackDataList *rollbackList, QObject *parent,
                               double weight);
    ~DirCreateTaskSpecification() override;

    bool doOp() override;

private:
    bool createDir(const QString &dir);
};

#endif // DIRCREATETASKSPECIFICATION_H
