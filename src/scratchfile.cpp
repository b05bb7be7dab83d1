#include "scratchfile.h"

#include "filemodes.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

namespace {

// Writing into a linked file changes the file it points to; so does the move over it.
QString destinationOf(const QString &target)
{
    const QFileInfo info(target);
    return info.isSymLink() && info.exists() ? info.canonicalFilePath() : target;
}

} // namespace

QString scratchPathFor(const QString &target)
{
    return destinationOf(target) + QStringLiteral("_part_");
}

bool writeFileThroughScratch(const QString &target,
                             const std::function<bool(const QString &scratch)> &write)
{
    const QString destination = destinationOf(target);
    const QString scratch = scratchPathFor(destination);
    QFile::remove(scratch);
    if (!write(scratch)) {
        QFile::remove(scratch);
        return false;
    }
    // A replaced file keeps its mode, as it would when written in place; a new one does not
    // depend on the umask.
    QFile::setPermissions(scratch, FileModes::forReplacing(destination));
    // rename replaces an existing file in one step; QFile::rename would refuse.
    if (std::rename(QFile::encodeName(scratch).constData(),
                    QFile::encodeName(destination).constData())
        != 0) {
        qDebug() << "writeFileThroughScratch: could not move" << scratch << "to" << destination;
        QFile::remove(scratch);
        return false;
    }
    return true;
}
