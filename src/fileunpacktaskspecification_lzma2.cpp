#include "fileunpacktaskspecification_lzma2.h"

#include "filemodes.h"
#include "lzma2container.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

bool writeFileThroughScratch(const QString &target,
                             const std::function<bool(const QString &scratch)> &write)
{
    // Writing into a linked file changes the file it points to; so does the move here.
    const QFileInfo info(target);
    const QString destination
        = info.isSymLink() && info.exists() ? info.canonicalFilePath() : target;
    const QString scratch = destination + QStringLiteral("_part_");
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

FileUnpackFunc_lzma2::FileUnpackFunc_lzma2(const QString &source, const QString &target)
    : SlowFileOpFunc(source, target)
{ }

FileUnpackFunc_lzma2::~FileUnpackFunc_lzma2() = default;

bool FileUnpackFunc_lzma2::run()
{
    const QString source = sourcePath;
    return writeFileThroughScratch(
        targetPath, [&source](const QString &scratch) { return unpackFile(source, scratch); });
}

bool FileUnpackFunc_lzma2::unpackFile(const QString &source, const QString &target)
{
    const QByteArray sourceName = source.toUtf8();
    const QByteArray targetName = target.toUtf8();
    const bool result = quorpatch::DecompressFile(sourceName.constData(), targetName.constData());
    qDebug() << "unpackFile" << source << target << (result ? "true" : "false");
    return result;
}

FileUnpackTaskSpecification_lzma2::FileUnpackTaskSpecification_lzma2(RollbackDataList *rollbackList,
                                                                     const QString &source,
                                                                     const QString &target,
                                                                     QObject *parent, qreal weight)
    : SlowFileOpSpecification(tr("Could not unpack '%1' to '%2'").arg(source, target), rollbackList,
                              source, target, parent, weight)
{ }

FileUnpackTaskSpecification_lzma2::~FileUnpackTaskSpecification_lzma2() = default;

ASyncFunc *FileUnpackTaskSpecification_lzma2::createFunc()
{
    return new FileUnpackFunc_lzma2(sourcePath, targetPath);
}
