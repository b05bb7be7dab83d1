#include "filecopyfunc.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

FileCopyFunc::FileCopyFunc(const QString &sourcePath, const QString &targetPath)
    : SlowFileOpFunc(sourcePath, targetPath)
{ }

FileCopyFunc::~FileCopyFunc() = default;

bool FileCopyFunc::run()
{
    qDebug() << "run" << sourcePath << targetPath;
    const QFileInfo source(sourcePath);
    const QFileInfo target(targetPath);
    // The old target is removed before copying: never for a copy that cannot happen, and never
    // when source and target are the same file, which would lose it.
    if (!source.isFile())
        return false;
    if (target.exists()) {
        if (source.canonicalFilePath() == target.canonicalFilePath())
            return false;
        if (!QFile::remove(targetPath))
            return false;
    }
    // QFile::copy writes a temporary file and renames it, so no half-written target remains.
    return QFile::copy(sourcePath, targetPath);
}
