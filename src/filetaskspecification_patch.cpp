#include "filetaskspecification_patch.h"

#include "scratchfile.h"

#include "ensemblepatchapplier.h"
#include "types.h"

#include <QDebug>

bool ApplyEnsemblePatch(const quorvelin::strings::oschar *oldPath,
                        const quorvelin::strings::oschar *patchPath,
                        const quorvelin::strings::oschar *newPath)
{
    const int status = quorpatch::ApplyEnsemblePatchFiles(oldPath, patchPath, newPath);
    qDebug() << "ApplyEnsemblePatch status =" << status << oldPath << patchPath << newPath;
    switch (status) {
    case quorpatch::STATUS_OK:
        return true;
    case quorpatch::STATUS_BAD_MAGIC:
        qDebug() << "Not a quorpatch patch";
        break;
    case quorpatch::STATUS_BAD_VERSION:
        qDebug() << "Wrong version patch";
        break;
    case quorpatch::STATUS_BAD_HEADER:
        qDebug() << "Corrupt patch";
        break;
    case quorpatch::STATUS_STREAM_ERROR:
        qDebug() << "Stream error (likely out of memory or disk space)";
        break;
    case quorpatch::STATUS_DISASSEMBLY_FAILED:
        qDebug() << "Disassembly failed (could be because of memory issues)";
        break;
    default:
        break;
    }
    return false;
}

FileFuncPatch::FileFuncPatch(const QString &source, const QString &patch, const QString &target)
    : SlowFileOpFunc(source, patch, target)
{ }

FileFuncPatch::~FileFuncPatch() = default;

bool FileFuncPatch::run()
{
    const QString source = sourcePath;
    const QString patch = middlePath;
    return writeFileThroughScratch(targetPath, [&source, &patch](const QString &scratch) {
        return patchFile(source, patch, scratch);
    });
}

bool FileFuncPatch::patchFile(const QString &source, const QString &patch, const QString &target)
{
    const QByteArray sourceName = source.toUtf8();
    const QByteArray patchName = patch.toUtf8();
    const QByteArray targetName = target.toUtf8();
    const bool result
        = ApplyEnsemblePatch(sourceName.constData(), patchName.constData(), targetName.constData());
    qDebug() << "Patch result" << (result ? "true" : "false");
    return result;
}

FileTaskSpecification_patch::FileTaskSpecification_patch(RollbackDataList *rollbackList,
                                                         const QString &source,
                                                         const QString &patch,
                                                         const QString &target, QObject *parent,
                                                         qreal weight)
    : SlowFileOpSpecification(tr("Could not patch '%1' to '%2'").arg(source, target), rollbackList,
                              source, patch, target, parent, weight)
{
    qDebug() << "FileTaskSpecification_patch"
             << "srcFile:" << source << "patchFile:" << patch << "dstFile:" << target;
}

FileTaskSpecification_patch::~FileTaskSpecification_patch() = default;

ASyncFunc *FileTaskSpecification_patch::createFunc()
{
    return new FileFuncPatch(sourcePath, middlePath, targetPath);
}
