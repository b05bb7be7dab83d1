#include "filetaskspecification_patch.h"

#include "scratchfile.h"
#include "systemreason.h"

#include "ensemblepatchapplier.h"
#include "types.h"

#include <QDebug>
#include <QFileInfo>

namespace {

QString patchFailureReason(int status, int error, const char *patchPath)
{
    switch (status) {
    case quorpatch::STATUS_PATCH_FILE_ERROR:
        if (error != 0)
            return systemErrorText(error);
        // Read without a system error: an empty file, which cannot be mapped.
        if (QFileInfo(QString::fromUtf8(patchPath)).size() == 0)
            return QObject::tr("the patch file is empty");
        return QObject::tr("the patch file cannot be read");
    case quorpatch::STATUS_FILE_ERROR:
        // The old file could not be read or the new one not written: the system knows which.
        return error ? systemErrorText(error)
                     : QObject::tr("the file could not be read or the result not written");
    case quorpatch::STATUS_BAD_MAGIC:
        return QObject::tr("not a patch file");
    case quorpatch::STATUS_BAD_VERSION:
        return QObject::tr("the patch has an unknown version");
    case quorpatch::STATUS_BAD_HEADER:
        return QObject::tr("the patch is damaged");
    case quorpatch::STATUS_CHECKSUM_MISMATCH:
        return QObject::tr("the patch does not fit this file (checksum mismatch)");
    case quorpatch::STATUS_STREAM_ERROR:
        return QObject::tr("the patch data could not be decoded (status %1)").arg(status);
    default:
        return QObject::tr("the patch could not be applied (status %1)").arg(status);
    }
}

} // namespace

bool ApplyEnsemblePatch(const quorvelin::strings::oschar *oldPath,
                        const quorvelin::strings::oschar *patchPath,
                        const quorvelin::strings::oschar *newPath, QString *reason)
{
    // The status says what went wrong; for a file that could not be read or written the engine
    // keeps the system's reason, since errno does not outlast the call.
    int error = 0;
    const int status = quorpatch::ApplyEnsemblePatchFiles(oldPath, patchPath, newPath, &error);
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
    if (reason)
        *reason = patchFailureReason(status, error, patchPath);
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
    return writeTargetThroughScratch([&source, &patch](const QString &scratch, QString *why) {
        return patchFile(source, patch, scratch, why);
    });
}

bool FileFuncPatch::patchFile(const QString &source, const QString &patch, const QString &target,
                              QString *reason)
{
    const QByteArray sourceName = source.toUtf8();
    const QByteArray patchName = patch.toUtf8();
    const QByteArray targetName = target.toUtf8();
    const bool result = ApplyEnsemblePatch(sourceName.constData(), patchName.constData(),
                                           targetName.constData(), reason);
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

void FileTaskSpecification_patch::runDone(bool ok)
{
    if (!ok && !m_baseFailure.isEmpty())
        failureReason = m_baseFailure;
    SlowFileOpSpecification::runDone(ok);
}

void FileTaskSpecification_patch::setBaseFailure(const QString &reason)
{
    m_baseFailure = reason;
}
