#ifndef FILEUNPACKTASKSPECIFICATION_LZMA2_H
#define FILEUNPACKTASKSPECIFICATION_LZMA2_H

#include "slowfileopfunc.h"
#include "slowfileopspecification.h"

#include <QString>

// Restores a file from the LZMA2 container.
class FileUnpackFunc_lzma2 : public SlowFileOpFunc
{
    Q_OBJECT

public:
    FileUnpackFunc_lzma2(const QString &source, const QString &target);
    ~FileUnpackFunc_lzma2() override;

    bool run() override;

    // On failure reason (when not null) says why: the system's words, or a damaged container.
    static bool unpackFile(const QString &source, const QString &target, QString *reason = nullptr);
    // The reason given for a source that is no sound container.
    static QString damagedText();
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
