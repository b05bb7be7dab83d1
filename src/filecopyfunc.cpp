#include "filecopyfunc.h"

#include "filemodes.h"
#include "scratchfile.h"
#include "systemreason.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <cerrno>

FileCopyFunc::FileCopyFunc(const QString &sourcePath, const QString &targetPath,
                           bool keepSourceMode)
    : SlowFileOpFunc(sourcePath, targetPath)
    , keepSourceMode(keepSourceMode)
{ }

FileCopyFunc::~FileCopyFunc() = default;

bool FileCopyFunc::run()
{
    qDebug() << "run" << sourcePath << targetPath;
    const QFileInfo source(sourcePath);
    const QFileInfo target(targetPath);
    // Never a copy that cannot happen, and never one of a file onto itself.
    if (!source.isFile())
        return failWith(!source.exists()     ? systemErrorText(ENOENT)
                            : source.isDir() ? systemErrorText(EISDIR)
                                             : tr("not a regular file"));
    if (target.exists() && source.canonicalFilePath() == target.canonicalFilePath())
        return failWith(tr("it is the same file"));
    if (keepSourceMode) {
        QString reason;
        if (!copyToNewFile(sourcePath, targetPath, &reason))
            return failWith(reason);
        // The exact mode bits: run as root, a copy would get the owner's access from root's.
        if (!FileModes::giveWholeModeOf(sourcePath, targetPath, &reason)) {
            QFile::remove(targetPath);
            return failWith(reason);
        }
        return true;
    }
    // Through a scratch file: no half-written target remains, and the target ends up with the
    // mode of the file it replaces rather than that of the download.
    const QString from = sourcePath;
    return writeTargetThroughScratch(
        [&from](int fd, QString *why) { return copyIntoScratch(from, fd, why); });
}
