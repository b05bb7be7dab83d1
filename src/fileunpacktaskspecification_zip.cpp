#include "fileunpacktaskspecification_zip.h"

#include "scratchfile.h"
#include "systemreason.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include <zlib.h>

FileUnpackFunc_Zip::FileUnpackFunc_Zip(const QString &source, const QString &target)
    : SlowFileOpFunc(source, target)
{ }

FileUnpackFunc_Zip::~FileUnpackFunc_Zip() = default;

bool FileUnpackFunc_Zip::run()
{
    const QString source = sourcePath;
    return writeTargetThroughScratch([&source](const QString &scratch, QString *why) {
        return unpackFile(scratch, source, why);
    });
}

namespace {

// zlib's own words for a stream it cannot restore; the system's for a failed read.
QString gzipReason(gzFile in, const QString &source)
{
    int status = Z_OK;
    QString text = QString::fromUtf8(gzerror(in, &status));
    if (status == Z_ERRNO)
        return systemErrorText(errno);
    // zlib puts the path first; the message names it already.
    const QString path = source + QStringLiteral(": ");
    if (text.startsWith(path))
        text.remove(0, path.size());
    return FileUnpackFunc_Zip::tr("damaged gzip data (%1)").arg(text);
}

} // namespace

bool FileUnpackFunc_Zip::unpackFile(const QString &target, const QString &source, QString *reason)
{
    // Written unbuffered, so a failed write is seen at the write that failed.
    const int fd = ::open(QFile::encodeName(target).constData(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (reason)
            *reason = systemErrorText(errno);
        return false;
    }
    gzFile in = nullptr;
    const auto fail = [&](const QString &why) {
        if (in)
            gzclose(in);
        ::close(fd);
        QFile::remove(target);
        if (reason)
            *reason = why;
        return false;
    };
    errno = 0;
    in = gzopen(source.toUtf8().constData(), "rb");
    if (!in)
        return fail(errno ? systemErrorText(errno) : tr("the gzip file cannot be read"));
    gzrewind(in);
    char buffer[16384];
    for (;;) {
        const int n = gzread(in, buffer, sizeof(buffer));
        if (n < 0)
            return fail(gzipReason(in, source));
        if (n > 0) {
            if (!writeAll(fd, buffer, n))
                return fail(systemErrorText(errno));
            continue;
        }
        // A stream cut short also ends with 0; zlib only tells through its error state.
        int status = Z_OK;
        gzerror(in, &status);
        if (status != Z_OK)
            return fail(gzipReason(in, source));
        gzclose(in);
        in = nullptr;
        if (::close(fd) != 0 && errno != EINTR) {
            const int error = errno;
            QFile::remove(target);
            if (reason)
                *reason = systemErrorText(error);
            return false;
        }
        return true;
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
