#include "scratchfile.h"

#include "filemodes.h"
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

// A link or a second name put in the scratch file's place while it was written is no content of
// ours to install.
bool isOwnPlainFile(const QString &path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISREG(info.st_mode)
        && info.st_nlink == 1 && info.st_uid == ::geteuid();
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

bool syncToDisk(const QString &path, QString *reason)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        setSystemReason(reason, errno);
        return false;
    }
    return syncAndClose(fd, reason);
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
    const int fd = createFileExclusively(scratch);
    if (fd < 0) {
        setSystemReason(reason, errno);
        qDebug() << "writeFileThroughScratch: could not create" << scratch;
        return false;
    }
    // The writers open the file by its name.
    ::close(fd);
    QString why;
    if (!write(scratch, &why) || !isOwnPlainFile(scratch) || !syncToDisk(scratch, &why)) {
        QFile::remove(scratch);
        setReason(reason, why);
        return false;
    }
    // A replaced file keeps its mode, as it would when written in place; a new one does not
    // depend on the umask unless the caller asks for it.
    if (modeWhenNew && !QFileInfo(destination).isFile())
        ::chmod(QFile::encodeName(scratch).constData(), *modeWhenNew);
    else
        QFile::setPermissions(scratch, FileModes::forReplacing(destination));
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

bool copyIntoScratch(const QString &source, const QString &scratch, QString *reason)
{
    const int fd = ::open(QFile::encodeName(scratch).constData(),
                          O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        setSystemReason(reason, errno);
        return false;
    }
    if (!copyContent(source, fd, reason)) {
        ::close(fd);
        return false;
    }
    if (::close(fd) != 0 && errno != EINTR) {
        setSystemReason(reason, errno);
        return false;
    }
    return true;
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

bool moveFileWithoutReplacing(const QString &from, const QString &to, QString *reason)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    struct stat info;
    if (::lstat(source.constData(), &info) != 0) {
        setSystemReason(reason, errno);
        return false;
    }
    struct stat taken;
    if (::lstat(target.constData(), &taken) == 0) {
        setSystemReason(reason, EEXIST);
        return false;
    }
    if (std::rename(source.constData(), target.constData()) == 0)
        return true;
    if (errno != EXDEV || !S_ISREG(info.st_mode)) {
        setSystemReason(reason, errno);
        return false;
    }
    const QFileDevice::Permissions mode = FileModes::of(from);
    if (!writeFileThroughScratch(
            to,
            [&from](const QString &scratch, QString *why) {
                return copyIntoScratch(from, scratch, why);
            },
            reason))
        return false;
    QFile::setPermissions(to, mode);
    if (::unlink(source.constData()) != 0) {
        // Not moved unless the old name is gone.
        setSystemReason(reason, errno);
        QFile::remove(to);
        return false;
    }
    return true;
}
