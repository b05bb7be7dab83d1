#ifndef FILEUNPACKTASKSPECIFICATION_ZIP_H
#define FILEUNPACKTASKSPECIFICATION_ZIP_H

#include "slowfileopfunc.h"
#include "slowfileopspecification.h"

#include <QString>

// Restores a gzip-compressed file. zlib passes a source that is not gzip through unchanged.
class FileUnpackFunc_Zip : public SlowFileOpFunc
{
    Q_OBJECT

public:
    FileUnpackFunc_Zip(const QString &source, const QString &target);
    ~FileUnpackFunc_Zip() override;

    bool run() override;

    // Note the order: the file to write comes first. A failure after it was opened removes it
    // and, when reason is not null, says why: the system's words, or zlib's for damaged data.
    static bool unpackFile(const QString &target, const QString &source, QString *reason = nullptr);
    // The same through fd, open for writing; the caller closes it.
    static bool unpackInto(int fd, const QString &source, QString *reason = nullptr);
};

class FileUnpackTaskSpecification_zip : public SlowFileOpSpecification
{
    Q_OBJECT

public:
    FileUnpackTaskSpecification_zip(RollbackDataList *rollbackList, const QString &source,
                                    const QString &target, QObject *parent, qreal weight);
    ~FileUnpackTaskSpecification_zip() override;

    ASyncFunc *createFunc() override;
};

#endif // FILEUNPACKTASKSPECIFICATION_ZIP_H
