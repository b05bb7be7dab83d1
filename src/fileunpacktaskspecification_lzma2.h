#ifndef FILEUNPACKTASKSPECIFICATION_LZMA2_H
#define FILEUNPACKTASKSPECIFICATION_LZMA2_H

#include "slowfileopfunc.h"
#include "slowfileopspecification.h"

#include <QString>

#include <functional>

// Lets write produce the new content of target under a scratch name beside it and moves the
// result over target only when write succeeded. A failed or interrupted write therefore never
// leaves a half-written target, and a target that existed stays as it was.
bool writeFileThroughScratch(const QString &target,
                             const std::function<bool(const QString &scratch)> &write);

// Restores a file from the LZMA2 container.
class FileUnpackFunc_lzma2 : public SlowFileOpFunc
{
    Q_OBJECT

public:
    FileUnpackFunc_lzma2(const QString &source, const QString &target);
    ~FileUnpackFunc_lzma2() override;

    bool run() override;

    static bool unpackFile(const QString &source, const QString &target);
};

class FileUnpackTaskSpecification_lzma2 : public SlowFileOpSpecification
{
    Q_OBJECT

public:
    FileUnpackTaskSpecification_lzma2(RollbackDataList *rollbackList, const QString &source,
                                      const QString &target, QObject *parent, qreal weight);
    ~FileUnpackTaskSpecification_lzma2() override;

    ASyncFunc *createFunc() override;
};

#endif // FILEUNPACKTASKSPECIFICATION_LZMA2_H
