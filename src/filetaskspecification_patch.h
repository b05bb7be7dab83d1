#ifndef FILETASKSPECIFICATION_PATCH_H
#define FILETASKSPECIFICATION_PATCH_H

#include "slowfileopfunc.h"
#include "slowfileopspecification.h"

#include "mappedfile.h"

#include <QString>

// Applies an ensemble patch to oldPath and writes the result to newPath (UTF-8 paths). True only
// when the new file was written completely. On failure reason (when not null) says why: the
// system's words for a file that could not be read or written, else what the patch engine found.
bool ApplyEnsemblePatch(const quorvelin::strings::oschar *oldPath,
                        const quorvelin::strings::oschar *patchPath,
                        const quorvelin::strings::oschar *newPath, QString *reason = nullptr);

// Turns a base file and a downloaded patch into the new file.
class FileFuncPatch : public SlowFileOpFunc
{
    Q_OBJECT

public:
    FileFuncPatch(const QString &source, const QString &patch, const QString &target);
    ~FileFuncPatch() override;

    bool run() override;

    static bool patchFile(const QString &source, const QString &patch, const QString &target,
                          QString *reason = nullptr);
};

class FileTaskSpecification_patch : public SlowFileOpSpecification
{
    Q_OBJECT

public:
    FileTaskSpecification_patch(RollbackDataList *rollbackList, const QString &source,
                                const QString &patch, const QString &target, QObject *parent,
                                qreal weight);
    ~FileTaskSpecification_patch() override;

    ASyncFunc *createFunc() override;
    void runDone(bool ok) override;

    // The base could not be made (a copy that failed): a failure then names this reason, not
    // the patcher's, which can only tell that the base is missing.
    void setBaseFailure(const QString &reason);

private:
    QString m_baseFailure;
};

#endif // FILETASKSPECIFICATION_PATCH_H
