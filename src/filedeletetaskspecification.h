#ifndef FILEDELETETASKSPECIFICATION_H
#define FILEDELETETASKSPECIFICATION_H

#include "fastfileoptaskspecification.h"

// Deletes a file or a directory (an empty one with its emptied parents, or a whole tree). A
// failure fails the task only when mustSucceed is set.
class FileDeleteTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT

public:
    FileDeleteTaskSpecification(bool mustSucceed, const QString &path, bool recursive,
                                QObject *parent, double weight);
    ~FileDeleteTaskSpecification() override;

    bool doOp() override;

    bool mustSucceed;
    bool recursive;
};

#endif // FILEDELETETASKSPECIFICATION_H
