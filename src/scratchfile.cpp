#include "scratchfile.h"

#include "filemodes.h"
#include "regularfile.h"
#include "systemreason.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QObject>

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

FileIdentity identityOf(const struct stat &info)
{
    FileIdentity identity;
    identity.device = quint64(info.st_dev);
    identity.inode = quint64(info.st_ino);
    return identity;
}

QString notOursText()
{
    return QObject::tr("another file took the scratch file's place while it was written");
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
        setReason(reason, notOursText());
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
// the disk before then. fd is closed in any case.
bool finishScratch(int fd, const FileModes::Whole &whole, QString *reason)
{
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

// How the new content gets into the scratch file: through the descriptor that created it, or,
// for writers that take only a name, by its name.
struct Producer
{
    const ScratchWriter *write = nullptr;
    const ScratchFiller *fill = nullptr;
};

// Lets the producer write the scratch file and gives it its mode; false, and no scratch file
// left, on any failure. written gets the file that the scratch name then holds.
bool writeScratch(const QString &scratch, const Producer &producer, const FileModes::Whole &whole,
                  QString *reason, FileIdentity *written)
{
    int fd = createFileExclusively(scratch);
    if (fd < 0) {
        setSystemReason(reason, errno);
        qDebug() << "writeFileThroughScratch: could not create" << scratch;
        return false;
    }
    QString why;
    bool ok;
    if (producer.fill) {
        ok = (*producer.fill)(fd, &why);
    } else {
        // The writer opens the file by its name; the finished file is looked at again below.
        ::close(fd);
        fd = -1;
        ok = (*producer.write)(scratch, &why);
    }
    struct stat made;
    if (ok && fd >= 0 && ::fstat(fd, &made) != 0) {
        why = systemErrorText(errno);
        ok = false;
    }
    if (ok && fd < 0) {
        fd = openOwnPlainFile(scratch, &why);
        ok = fd >= 0 && ::fstat(fd, &made) == 0;
    }
    // Only the file we wrote goes on: not one that took the scratch name meanwhile.
    struct stat atName;
    if (ok
        && (::lstat(QFile::encodeName(scratch).constData(), &atName) != 0
            || identityOf(atName) != identityOf(made))) {
        why = notOursText();
        ok = false;
    }
    if (ok) {
        ok = finishScratch(fd, whole, &why);
        fd = -1;
    }
    if (!ok) {
        if (fd >= 0)
            ::close(fd);
        QFile::remove(scratch);
        setReason(reason, why);
        return false;
    }
    if (written)
        *written = identityOf(made);
    return true;
}

std::function<void(const QString &)> &scratchMoveHook()
{
    static std::function<void(const QString &)> hook;
    return hook;
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

bool writeThroughScratch(const QString &target, const Producer &producer, QString *reason,
                         const mode_t *modeWhenNew, FileIdentity *written)
{
    const QString destination = destinationOf(target);
    const QString scratch = scratchPathFor(destination);
    const QByteArray destinationName = QFile::encodeName(destination);
    // A replaced file keeps its whole mode and owner, as it would when written in place; a new
    // one does not depend on the umask.
    FileModes::Whole whole;
    struct stat replaced;
    const bool isNew = ::lstat(destinationName.constData(), &replaced) != 0 && errno == ENOENT;
    if (::stat(destinationName.constData(), &replaced) == 0 && S_ISREG(replaced.st_mode))
        whole = FileModes::wholeOf(replaced);
    else
        whole.mode = modeWhenNew ? *modeWhenNew : FileModes::modeOf(FileModes::newFile);
    if (!writeScratch(scratch, producer, whole, reason, written))
        return false;
    if (scratchMoveHook())
        scratchMoveHook()(destination);
    // rename replaces an existing file in one step; QFile::rename would refuse. A new file
    // replaces nothing: what took its name meanwhile is someone else's.
    const int error = isNew ? renameWithoutReplacing(scratch, destination)
        : std::rename(QFile::encodeName(scratch).constData(), destinationName.constData()) == 0
        ? 0
        : errno;
    if (error != 0) {
        setSystemReason(reason, error);
        qDebug() << "writeFileThroughScratch: could not move" << scratch << "to" << destination;
        QFile::remove(scratch);
        return false;
    }
    return true;
}

Producer writing(const ScratchWriter &write)
{
    Producer producer;
    producer.write = &write;
    return producer;
}

Producer filling(const ScratchFiller &fill)
{
    Producer producer;
    producer.fill = &fill;
    return producer;
}

} // namespace

bool writeFileThroughScratch(const QString &target, const ScratchWriter &write, QString *reason,
                             FileIdentity *written)
{
    return writeThroughScratch(target, writing(write), reason, nullptr, written);
}

bool writeFileThroughScratch(const QString &target, const ScratchFiller &fill, QString *reason,
                             FileIdentity *written)
{
    return writeThroughScratch(target, filling(fill), reason, nullptr, written);
}

bool writeFileThroughScratch(const QString &target, const ScratchWriter &write, QString *reason,
                             mode_t modeWhenNew)
{
    return writeThroughScratch(target, writing(write), reason, &modeWhenNew, nullptr);
}

bool writeFileThroughScratch(const QString &target, const ScratchFiller &fill, QString *reason,
                             mode_t modeWhenNew)
{
    return writeThroughScratch(target, filling(fill), reason, &modeWhenNew, nullptr);
}

bool writeFileThroughScratch(const QString &target,
                             const std::function<bool(const QString &scratch)> &write)
{
    return writeFileThroughScratch(
        target,
        ScratchWriter([&write](const QString &scratch, QString *) { return write(scratch); }),
        nullptr);
}

void setScratchMoveHook(const std::function<void(const QString &destination)> &hook)
{
    scratchMoveHook() = hook;
}

int createFileExclusively(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    if (::unlink(name.constData()) != 0 && errno != ENOENT)
        return -1;
    return ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

bool copyIntoScratch(const QString &source, int fd, QString *reason)
{
    return copyContent(source, fd, reason);
}

bool writeIntoScratch(const QByteArray &bytes, int fd, QString *reason)
{
    if (writeAll(fd, bytes.constData(), bytes.size()))
        return true;
    setSystemReason(reason, errno);
    return false;
}

namespace {

// Opens the scratch file by its name for a filler, but only while it is still the empty file of
// ours it was made as: truncating on open would empty whatever a second name put there leads
// to. The close is checked.
bool fillScratchByName(const QString &scratch, const ScratchFiller &fill, QString *reason)
{
    const int fd
        = ::open(QFile::encodeName(scratch).constData(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        setReason(reason, errno == ELOOP ? notOursText() : systemErrorText(errno));
        return false;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1
        || info.st_uid != ::geteuid() || info.st_size != 0) {
        ::close(fd);
        setReason(reason, notOursText());
        return false;
    }
    QString why;
    if (!fill(fd, &why)) {
        ::close(fd);
        setReason(reason, why);
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
    return fillScratchByName(
        scratch, [&](int fd, QString *why) { return copyIntoScratch(source, fd, why); }, reason);
}

bool writeIntoScratch(const QByteArray &bytes, const QString &scratch, QString *reason)
{
    return fillScratchByName(
        scratch, [&](int fd, QString *why) { return writeIntoScratch(bytes, fd, why); }, reason);
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

namespace {

bool writeNewThroughScratch(const QString &target, const Producer &producer,
                            const FileModes::Whole &whole, QString *reason)
{
    const QString scratch = scratchBeside(target);
    if (!writeScratch(scratch, producer, whole, reason, nullptr))
        return false;
    const int error = renameWithoutReplacing(scratch, target);
    if (error != 0) {
        setSystemReason(reason, error);
        qDebug() << "writeNewFileThroughScratch: could not move" << scratch << "to" << target;
        QFile::remove(scratch);
        return false;
    }
    return true;
}

} // namespace

bool writeNewFileThroughScratch(const QString &target, const ScratchWriter &write,
                                const FileModes::Whole &whole, QString *reason)
{
    return writeNewThroughScratch(target, writing(write), whole, reason);
}

bool writeNewFileThroughScratch(const QString &target, const ScratchFiller &fill,
                                const FileModes::Whole &whole, QString *reason)
{
    return writeNewThroughScratch(target, filling(fill), whole, reason);
}

namespace {

// link() never replaces: a taken name fails with EEXIST. linkFailed tells which call failed.
int linkThenUnlink(const QByteArray &source, const QByteArray &target, bool *linkFailed)
{
    *linkFailed = ::link(source.constData(), target.constData()) != 0;
    if (*linkFailed)
        return errno;
    if (::unlink(source.constData()) != 0) {
        const int error = errno;
        ::unlink(target.constData());
        return error;
    }
    return 0;
}

// As the move was done before the system could refuse a taken name: not in one step.
int renameAfterLooking(const QByteArray &source, const QByteArray &target)
{
    struct stat info;
    if (::lstat(target.constData(), &info) == 0)
        return EEXIST;
    if (errno != ENOENT)
        return errno;
    return std::rename(source.constData(), target.constData()) == 0 ? 0 : errno;
}

bool isUnsupported(int error)
{
    return error == ENOSYS || error == ENOTSUP || error == EOPNOTSUPP;
}

// A folder moved to a name inside itself, which the system refuses with EINVAL too.
bool movesIntoItself(const QString &from, const QString &to)
{
    const QFileInfo source(from);
    if (!source.isDir() || source.isSymLink())
        return false;
    const QString folder = source.canonicalFilePath();
    const QString parent = QFileInfo(QFileInfo(to).absolutePath()).canonicalFilePath();
    return !folder.isEmpty() && !parent.isEmpty()
        && (parent == folder || parent.startsWith(folder + QLatin1Char('/')));
}

} // namespace

NoReplaceNext afterOneStepMoveFailed(int error, bool intoItself)
{
    // EINVAL also stands for a flag that this file system does not know.
    if (error == EINVAL)
        return intoItself ? NoReplaceNext::Fail : NoReplaceNext::Link;
    return isUnsupported(error) ? NoReplaceNext::Link : NoReplaceNext::Fail;
}

NoReplaceNext afterLinkingFailed(int error)
{
    // EPERM: a file system without hard links (FAT, exFAT); SMB shares say ENOTSUP.
    return error == EPERM || isUnsupported(error) ? NoReplaceNext::CheckThenRename
                                                  : NoReplaceNext::Fail;
}

int renameByLinking(const QString &from, const QString &to)
{
    bool linkFailed = false;
    return linkThenUnlink(QFile::encodeName(from), QFile::encodeName(to), &linkFailed);
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
    if (afterOneStepMoveFailed(error, error == EINVAL && movesIntoItself(from, to))
        == NoReplaceNext::Fail)
        return error;
    bool linkFailed = false;
    const int linkError = linkThenUnlink(source, target, &linkFailed);
    if (!linkFailed || afterLinkingFailed(linkError) == NoReplaceNext::Fail)
        return linkError;
    // A misjudged cause costs nothing: rename reports it again.
    return renameAfterLooking(source, target);
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
    if (!writeNewFileThroughScratch(to, ScratchFiller([&from](int fd, QString *why) {
                                        return copyIntoScratch(from, fd, why);
                                    }),
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
