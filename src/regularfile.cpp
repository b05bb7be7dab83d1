#include "regularfile.h"

#include "systemreason.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

void setWhy(QString *why, const QString &text)
{
    if (why)
        *why = text;
}

} // namespace

QString nonRegularFileText(mode_t mode)
{
    if (S_ISDIR(mode))
        return QStringLiteral("it is a folder, not a regular file");
    if (S_ISFIFO(mode))
        return QStringLiteral("it is a FIFO, not a regular file");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("it is a device, not a regular file");
    if (S_ISSOCK(mode))
        return QStringLiteral("it is a socket, not a regular file");
    if (S_ISLNK(mode))
        return QStringLiteral("it is a symbolic link");
    return QStringLiteral("it is not a regular file");
}

int openRegularFile(const QString &path, int extraFlags, struct stat *info, QString *why)
{
    // O_NONBLOCK keeps open() from waiting for a writer on a FIFO; a device is not read at all.
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | extraFlags);
    if (fd < 0) {
        const int error = errno;
        setWhy(why,
               error == ELOOP && (extraFlags & O_NOFOLLOW) ? nonRegularFileText(S_IFLNK)
                                                           : systemErrorText(error));
        return -1;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        const int error = errno;
        ::close(fd);
        setWhy(why, systemErrorText(error));
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        setWhy(why, nonRegularFileText(st.st_mode));
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags != -1)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    if (info)
        *info = st;
    return fd;
}

bool isReadableRegularFile(const QString &path, QString *why)
{
    const int fd = openRegularFile(path, 0, nullptr, why);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

bool readRegularFile(const QString &path, qint64 maxSize, QByteArray *bytes, QString *why,
                     int extraFlags, struct stat *info)
{
    struct stat st;
    const int fd = openRegularFile(path, extraFlags, &st, why);
    if (fd < 0)
        return false;
    QByteArray content;
    char buffer[65536];
    bool ok = true;
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof(buffer));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            setWhy(why, systemErrorText(errno));
            ok = false;
            break;
        }
        if (got == 0)
            break;
        if (content.size() + got > maxSize) {
            setWhy(why, QStringLiteral("the file is larger than %1 bytes").arg(maxSize));
            ok = false;
            break;
        }
        content.append(buffer, int(got));
    }
    ::close(fd);
    if (!ok)
        return false;
    *bytes = content;
    if (info)
        *info = st;
    return true;
}
