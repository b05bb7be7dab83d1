#include "fileunpacktaskspecification_lzma2.h"

#include "lzma2container.h"
#include "scratchfile.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

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
