#include "scratchfile.h"

#include "filemodes.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

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
    const int fd = createFileExclusively(scratch);
    if (fd < 0) {
        qDebug() << "writeFileThroughScratch: could not create" << scratch;
        return false;
    }
    // The writers open the file by its name.
    ::close(fd);
    if (!write(scratch) || !isOwnPlainFile(scratch)) {
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

int createFileExclusively(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    if (::unlink(name.constData()) != 0 && errno != ENOENT)
        return -1;
    return ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

bool copyIntoScratch(const QString &source, const QString &scratch)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    const int fd = ::open(QFile::encodeName(scratch).constData(),
                          O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    QFile out;
    if (!out.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    char buffer[65536];
    for (;;) {
        const qint64 got = in.read(buffer, sizeof(buffer));
        if (got < 0)
            return false;
        if (got == 0)
            break;
        if (out.write(buffer, got) != got)
            return false;
    }
    return out.flush();
}
