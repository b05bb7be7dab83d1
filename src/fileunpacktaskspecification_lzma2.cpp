#include "fileunpacktaskspecification_lzma2.h"

#include "lzma2container.h"
#include "scratchfile.h"
#include "systemreason.h"

#include <QDebug>

FileUnpackFunc_lzma2::FileUnpackFunc_lzma2(const QString &source, const QString &target)
    : SlowFileOpFunc(source, target)
{ }

FileUnpackFunc_lzma2::~FileUnpackFunc_lzma2() = default;

bool FileUnpackFunc_lzma2::run()
{
    const QString source = sourcePath;
    return writeTargetThroughScratch([&source](const QString &scratch, QString *why) {
        return unpackFile(source, scratch, why);
    });
}

bool FileUnpackFunc_lzma2::unpackFile(const QString &source, const QString &target, QString *reason)
{
    const QByteArray sourceName = source.toUtf8();
    const QByteArray targetName = target.toUtf8();
    // The engine names the system call that failed; errno itself is gone by the time it returns.
    int error = 0;
    const bool result
        = quorpatch::DecompressFile(sourceName.constData(), targetName.constData(), &error);
    qDebug() << "unpackFile" << source << target << (result ? "true" : "false");
    if (!result && reason)
        *reason = error != 0 ? systemErrorText(error) : damagedText();
    return result;
}

QString FileUnpackFunc_lzma2::damagedText()
{
    return tr("the packed file is damaged or incomplete");
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
