#ifndef FILEDELETETASKSPECIFICATION_H
#define FILEDELETETASKSPECIFICATION_H

#include "fastfileoptaskspecification.h"

// Deletes a file or a directory (an empty one with its emptied parents, or a whole tree). A
// failure fails the task only when mustSucceed is set.
class FileDeleteTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT

public:
    // insideFolder bounds the emptied parents of an empty directory: only those strictly inside
    // it go, and the directory itself must lie strictly inside it. Empty: no parent goes.
    FileDeleteTaskSpecification(bool mustSucceed, const QString &path, bool recursive,
                                QObject *parent, double weight,
                                const QString &insideFolder = QString());
    ~FileDeleteTaskSpecification() override;

    bool doOp() override;

    bool mustSucceed;
    bool recursive;
    QString insideFolder;

private:
    bool removeEmptyFolder();
};

#endif // FILEDELETETASKSPECIFICATION_H
