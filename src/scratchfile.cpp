#include "scratchfile.h"

#include "filemodes.h"
#include "regularfile.h"
#include "systemreason.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void setReason(QString *reason, const QString &text)
{
    if (reason)
        *reason = text;
}

void setSystemReason(QString *reason, int error)
{
    setReason(reason, systemErrorText(error));
}

// Opens the finished scratch file, which must still be the plain file of ours it was: a link or
// a second name put in its place while it was written is no content of ours to install.
int openOwnPlainFile(const QString &path, QString *reason)
{
    struct stat info;
    const int fd = openRegularFile(path, O_NOFOLLOW, &info, reason);
    if (fd < 0)
        return -1;
    if (info.st_nlink != 1 || info.st_uid != ::geteuid()) {
        ::close(fd);
        setReason(reason, QString());
        return -1;
    }
    return fd;
}

// Writing into a linked file changes the file it points to; so does the move over it.
QString destinationOf(const QString &target)
{
    const QFileInfo info(target);
    return info.isSymLink() && info.exists() ? info.canonicalFilePath() : target;
}

bool copyContent(const QString &source, int fd, QString *reason)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly)) {
        setReason(reason, in.errorString());
        return false;
    }
    char buffer[65536];
    for (;;) {
        const qint64 got = in.read(buffer, sizeof(buffer));
        if (got < 0) {
            setReason(reason, in.errorString());
            return false;
        }
        if (got == 0)
            return true;
        if (!writeAll(fd, buffer, got)) {
            setSystemReason(reason, errno);
            return false;
        }
    }
}

// Some file systems report a full disk only when the data is flushed or the file closed.
bool syncAndClose(int fd, QString *reason)
{
    bool ok = true;
    if (::fsync(fd) != 0) {
        setSystemReason(reason, errno);
        ok = false;
    }
    if (::close(fd) != 0 && errno != EINTR && ok) {
        setSystemReason(reason, errno);
        ok = false;
    }
    return ok;
}

// The scratch file gets its mode before it appears under the target name, and every byte is on
// the disk before then.
bool finishScratch(const QString &scratch, const FileModes::Whole &whole, QString *reason)
{
    const int fd = openOwnPlainFile(scratch, reason);
    if (fd < 0)
        return false;
    if (!FileModes::give(fd, whole)) {
        setSystemReason(reason, errno);
        ::close(fd);
        return false;
    }
    return syncAndClose(fd, reason);
}

// Beside path itself, a link there not followed: a new name is never written through one.
QString scratchBeside(const QString &path)
{
    return path + QStringLiteral("_part_");
}

// Lets write produce the scratch file; false, and no scratch file left, on any failure.
bool writeScratch(const QString &scratch, const ScratchWriter &write, QString *reason)
{
    const int fd = createFileExclusively(scratch);
    if (fd < 0) {
        setSystemReason(reason, errno);
        qDebug() << "writeFileThroughScratch: could not create" << scratch;
        return false;
    }
    // The writers open the file by its name.
    ::close(fd);
    QString why;
    if (!write(scratch, &why)) {
        QFile::remove(scratch);
        setReason(reason, why);
        return false;
    }
    return true;
}

} // namespace

bool writeAll(int fd, const char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}

QString scratchPathFor(const QString &target)
{
    return destinationOf(target) + QStringLiteral("_part_");
}

namespace {

bool writeThroughScratch(const QString &target, const ScratchWriter &write, QString *reason,
                         const mode_t *modeWhenNew)
{
    const QString destination = destinationOf(target);
    const QString scratch = scratchPathFor(destination);
    if (!writeScratch(scratch, write, reason))
        return false;
    // A replaced file keeps its whole mode and owner, as it would when written in place; a new
    // one does not depend on the umask.
    FileModes::Whole whole;
    struct stat replaced;
    if (::stat(QFile::encodeName(destination).constData(), &replaced) == 0
        && S_ISREG(replaced.st_mode))
        whole = FileModes::wholeOf(replaced);
    else
        whole.mode = modeWhenNew ? *modeWhenNew : FileModes::modeOf(FileModes::newFile);
    QString why;
    if (!finishScratch(scratch, whole, &why)) {
        QFile::remove(scratch);
        setReason(reason, why);
        return false;
    }
    // rename replaces an existing file in one step; QFile::rename would refuse.
    if (std::rename(QFile::encodeName(scratch).constData(),
                    QFile::encodeName(destination).constData())
        != 0) {
        setSystemReason(reason, errno);
        qDebug() << "writeFileThroughScratch: could not move" << scratch << "to" << destination;
        QFile::remove(scratch);
        return false;
    }
    return true;
}

} // namespace

bool writeFileThroughScratch(const QString &target, const ScratchWriter &write, QString *reason)
{
    return writeThroughScratch(target, write, reason, nullptr);
}

bool writeFileThroughScratch(const QString &target, const ScratchWriter &write, QString *reason,
                             mode_t modeWhenNew)
{
    return writeThroughScratch(target, write, reason, &modeWhenNew);
}

bool writeFileThroughScratch(const QString &target,
                             const std::function<bool(const QString &scratch)> &write)
{
    return writeFileThroughScratch(
        target, [&write](const QString &scratch, QString *) { return write(scratch); }, nullptr);
}

int createFileExclusively(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    if (::unlink(name.constData()) != 0 && errno != ENOENT)
        return -1;
    return ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

namespace {

// Opens the scratch file by its name, never through a link put in its place, lets fill write
// its content and checks the close.
bool fillScratch(const QString &scratch, const std::function<bool(int fd)> &fill, QString *reason)
{
    const int fd = ::open(QFile::encodeName(scratch).constData(),
                          O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        setSystemReason(reason, errno);
        return false;
    }
    if (!fill(fd)) {
        ::close(fd);
        return false;
    }
    if (::close(fd) != 0 && errno != EINTR) {
        setSystemReason(reason, errno);
        return false;
    }
    return true;
}

} // namespace

bool copyIntoScratch(const QString &source, const QString &scratch, QString *reason)
{
    return fillScratch(
        scratch, [&](int fd) { return copyContent(source, fd, reason); }, reason);
}

bool writeIntoScratch(const QByteArray &bytes, const QString &scratch, QString *reason)
{
    return fillScratch(
        scratch,
        [&](int fd) {
            if (writeAll(fd, bytes.constData(), bytes.size()))
                return true;
            setSystemReason(reason, errno);
            return false;
        },
        reason);
}

bool copyToNewFile(const QString &source, const QString &target, QString *reason)
{
    const int fd = createFileExclusively(target);
    if (fd < 0) {
        setSystemReason(reason, errno);
        return false;
    }
    if (!copyContent(source, fd, reason)) {
        ::close(fd);
        QFile::remove(target);
        return false;
    }
    if (!syncAndClose(fd, reason)) {
        QFile::remove(target);
        return false;
    }
    return true;
}

bool writeNewFileThroughScratch(const QString &target, const ScratchWriter &write,
                                const FileModes::Whole &whole, QString *reason)
{
    const QString scratch = scratchBeside(target);
    if (!writeScratch(scratch, write, reason))
        return false;
    QString why;
    if (!finishScratch(scratch, whole, &why)) {
        QFile::remove(scratch);
        setReason(reason, why);
        return false;
    }
    const int error = renameWithoutReplacing(scratch, target);
    if (error != 0) {
        setSystemReason(reason, error);
        qDebug() << "writeNewFileThroughScratch: could not move" << scratch << "to" << target;
        QFile::remove(scratch);
        return false;
    }
    return true;
}

int renameByLinking(const QString &from, const QString &to)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    // link() never replaces: a taken name fails with EEXIST.
    if (::link(source.constData(), target.constData()) != 0)
        return errno;
    if (::unlink(source.constData()) != 0) {
        const int error = errno;
        ::unlink(target.constData());
        return error;
    }
    return 0;
}

int renameWithoutReplacing(const QString &from, const QString &to)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
#if defined(__linux__)
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE)
        == 0)
        return 0;
    const int error = errno;
#elif defined(__APPLE__)
    int error = ENOTSUP;
    if (__builtin_available(macOS 10.12, *)) {
        if (::renamex_np(source.constData(), target.constData(), RENAME_EXCL) == 0)
            return 0;
        error = errno;
    }
#else
    const int error = ENOTSUP;
#endif
    // The file system (or the system) cannot do it in one step.
    if (error == EINVAL || error == ENOSYS || error == ENOTSUP || error == EOPNOTSUPP)
        return renameByLinking(from, to);
    return error;
}

bool moveFileWithoutReplacing(const QString &from, const QString &to, QString *reason)
{
    struct stat info;
    if (::lstat(QFile::encodeName(from).constData(), &info) != 0) {
        setSystemReason(reason, errno);
        return false;
    }
    const int error = renameWithoutReplacing(from, to);
    if (error == 0)
        return true;
    if (error != EXDEV || !S_ISREG(info.st_mode)) {
        setSystemReason(reason, error);
        return false;
    }
    if (!writeNewFileThroughScratch(
            to,
            [&from](const QString &scratch, QString *why) {
                return copyIntoScratch(from, scratch, why);
            },
            FileModes::wholeOf(info), reason))
        return false;
    if (::unlink(QFile::encodeName(from).constData()) != 0) {
        // Not moved unless the old name is gone.
        setSystemReason(reason, errno);
        QFile::remove(to);
        return false;
    }
    return true;
}
