#include "filecopyfunc.h"

#include "filemodes.h"
#include "scratchfile.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

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
        return false;
    if (target.exists() && source.canonicalFilePath() == target.canonicalFilePath())
        return false;
    if (keepSourceMode) {
        if (target.exists() && !QFile::remove(targetPath))
            return false;
        if (!QFile::copy(sourcePath, targetPath))
            return false;
        // QFile::copy hands on the running user's access as the owner's bits: run as root, a
        // read-only file would come back writable.
        return QFile::setPermissions(targetPath, FileModes::of(sourcePath));
    }
    // Through a scratch file: no half-written target remains, and the target ends up with the
    // mode of the file it replaces rather than that of the download.
    const QString from = sourcePath;
    return writeFileThroughScratch(
        targetPath, [&from](const QString &scratch) { return copyIntoScratch(from, scratch); });
}
