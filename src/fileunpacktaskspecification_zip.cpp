#include "fileunpacktaskspecification_zip.h"

#include "scratchfile.h"

#include <QFile>

#include <zlib.h>

FileUnpackFunc_Zip::FileUnpackFunc_Zip(const QString &source, const QString &target)
    : SlowFileOpFunc(source, target)
{ }

FileUnpackFunc_Zip::~FileUnpackFunc_Zip() = default;

bool FileUnpackFunc_Zip::run()
{
    const QString source = sourcePath;
    return writeFileThroughScratch(
        targetPath, [&source](const QString &scratch) { return unpackFile(scratch, source); });
}

bool FileUnpackFunc_Zip::unpackFile(const QString &target, const QString &source)
{
    QFile out(target);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    gzFile in = gzopen(source.toUtf8().constData(), "rb");
    if (!in) {
        out.close();
        out.remove();
        return false;
    }
    gzrewind(in);
    char buffer[16384];
    for (;;) {
        const int n = gzread(in, buffer, sizeof(buffer));
        if (n == 0) {
            // A stream cut short also ends with 0; zlib only tells through its error state.
            int status = Z_OK;
            gzerror(in, &status);
            gzclose(in);
            if (status != Z_OK) {
                out.close();
                out.remove();
                return false;
            }
            // Bytes still buffered count as written only once they reached the file.
            const bool flushed = out.flush();
            out.close();
            if (!flushed) {
                out.remove();
                return false;
            }
            return true;
        }
        if (n < 0 || out.write(buffer, n) < n) {
            gzclose(in);
            out.close();
            out.remove();
            return false;
        }
    }
}

FileUnpackTaskSpecification_zip::FileUnpackTaskSpecification_zip(RollbackDataList *rollbackList,
                                                                 const QString &source,
                                                                 const QString &target,
                                                                 QObject *parent, qreal weight)
    : SlowFileOpSpecification(tr("Could not unzip '%1' to '%2'").arg(source, target), rollbackList,
                              source, target, parent, weight)
{ }

FileUnpackTaskSpecification_zip::~FileUnpackTaskSpecification_zip() = default;

ASyncFunc *FileUnpackTaskSpecification_zip::createFunc()
{
    return new FileUnpackFunc_Zip(sourcePath, targetPath);
}
