#include "fileunpacktaskspecification_zip.h"

#include "regularfile.h"
#include "scratchfile.h"
#include "systemreason.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <zlib.h>

FileUnpackFunc_Zip::FileUnpackFunc_Zip(const QString &source, const QString &target)
    : SlowFileOpFunc(source, target)
{ }

FileUnpackFunc_Zip::~FileUnpackFunc_Zip() = default;

bool FileUnpackFunc_Zip::run()
{
    const QString source = sourcePath;
    // Through the descriptor that made the scratch file: a second name put at the scratch name
    // meanwhile is never written.
    return writeTargetThroughScratch(
        [&source](int fd, QString *why) { return unpackInto(fd, source, why); });
}

namespace {

// zlib's own words for a stream it cannot restore; for a failed read the system's, which zlib
// took down when the read failed (errno may have changed since).
QString gzipReason(gzFile in, const QString &source)
{
    int status = Z_OK;
    QByteArray text(gzerror(in, &status));
    // zlib puts the path first, as it was given; the message names it already.
    const QByteArray path = source.toUtf8() + ": ";
    if (text.startsWith(path))
        text.remove(0, path.size());
    if (status == Z_ERRNO)
        return QString::fromLocal8Bit(text);
    return FileUnpackFunc_Zip::tr("damaged gzip data (%1)").arg(QString::fromUtf8(text));
}

} // namespace

bool FileUnpackFunc_Zip::unpackFile(const QString &target, const QString &source, QString *reason)
{
    // Written unbuffered, so a failed write is seen at the write that failed. Never through a
    // link: one put in the scratch file's place would have us write wherever it points.
    const int fd = ::open(QFile::encodeName(target).constData(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int error = errno;
        if (reason)
            *reason = error == ELOOP ? nonRegularFileText(S_IFLNK) : systemErrorText(error);
        return false;
    }
    bool ok = unpackInto(fd, source, reason);
    if (::close(fd) != 0 && errno != EINTR && ok) {
        const int error = errno;
        if (reason)
            *reason = systemErrorText(error);
        ok = false;
    }
    if (!ok)
        QFile::remove(target);
    return ok;
}

bool FileUnpackFunc_Zip::unpackInto(int fd, const QString &source, QString *reason)
{
    gzFile in = nullptr;
    const auto fail = [&](const QString &why) {
        if (in)
            gzclose(in);
        if (reason)
            *reason = why;
        return false;
    };
    errno = 0;
    in = gzopen(source.toUtf8().constData(), "rb");
    const int openError = errno;
    if (!in)
        return fail(openError ? systemErrorText(openError) : tr("the gzip file cannot be read"));
    gzrewind(in);
    char buffer[16384];
    for (;;) {
        const int n = gzread(in, buffer, sizeof(buffer));
        if (n < 0)
            return fail(gzipReason(in, source));
        if (n > 0) {
            if (!writeAll(fd, buffer, n)) {
                const int error = errno;
                return fail(systemErrorText(error));
            }
            continue;
        }
        // A stream cut short also ends with 0; zlib only tells through its error state.
        int status = Z_OK;
        gzerror(in, &status);
        if (status != Z_OK)
            return fail(gzipReason(in, source));
        gzclose(in);
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
