#include "sessionfolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString &namePrefix()
{
    static const QString prefix = QStringLiteral("quorvelin_temp_");
    return prefix;
}

// Only the names path() gives: the prefix and a number in plain decimal.
bool isSessionName(const QString &name)
{
    if (!name.startsWith(namePrefix()))
        return false;
    const QString number = name.mid(namePrefix().size());
    bool ok = false;
    const int n = number.toInt(&ok);
    return ok && n >= 0 && n < SessionFolder::kCount && QString::number(n) == number;
}

bool refuse(QString *reason, const char *why)
{
    if (reason)
        *reason = QString::fromLatin1(why);
    return false;
}

// mkdir's mode passes through the umask, which may take the owner's own bits too.
bool setPrivateMode(const QByteArray &path)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fchmod(fd, S_IRWXU) == 0;
    ::close(fd);
    return ok;
}

bool isFolder(const QByteArray &path)
{
    struct stat status;
    return ::stat(path.constData(), &status) == 0 && S_ISDIR(status.st_mode);
}

} // namespace

bool SessionFolder::makeFolder(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    if (name.isEmpty() || ::mkdir(name.constData(), S_IRWXU) != 0)
        return false;
    return setPrivateMode(name);
}

bool SessionFolder::makePath(const QString &path)
{
    if (path.isEmpty())
        return false;
    const QString clean = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    if (isFolder(QFile::encodeName(clean)))
        return true;
    // The first missing folder from the top down, then each one below it.
    int from = 1;
    while (from <= clean.size()) {
        int slash = clean.indexOf(QLatin1Char('/'), from);
        if (slash < 0)
            slash = clean.size();
        const QByteArray name = QFile::encodeName(clean.left(slash));
        from = slash + 1;
        if (isFolder(name))
            continue;
        if (::mkdir(name.constData(), S_IRWXU) == 0) {
            if (!setPrivateMode(name))
                return false;
        } else if (errno != EEXIST || !isFolder(name)) {
            return false;
        }
    }
    return isFolder(QFile::encodeName(clean));
}

bool SessionFolder::makePrivate(const QString &dir)
{
    return !dir.isEmpty() && setPrivateMode(QFile::encodeName(dir));
}

QString SessionFolder::path(const QString &tempPath, int n)
{
    QString base = tempPath;
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    return base + namePrefix() + QString::number(n);
}

bool SessionFolder::isOurs(const QString &dir, QString *reason)
{
    // A path with "." or ".." could name one folder here and another one once links on the
    // way are followed; the updater only ever records clean paths.
    if (dir.isEmpty() || !QDir::isAbsolutePath(dir) || QDir::cleanPath(dir) != dir)
        return refuse(reason, "not a clean absolute path");
    const QFileInfo info(dir);
    if (!isSessionName(info.fileName()))
        return refuse(reason, "not named as a session folder");

    struct stat status;
    if (::lstat(QFile::encodeName(dir).constData(), &status) != 0)
        return refuse(reason, "missing");
    if (!S_ISDIR(status.st_mode))
        return refuse(reason, "not a real folder");
    if (status.st_uid != ::geteuid())
        return refuse(reason, "owned by another user");

    const QString parent = QFileInfo(info.absolutePath()).canonicalFilePath();
    const QString temp = QFileInfo(QDir::tempPath()).canonicalFilePath();
    if (temp.isEmpty() || parent != temp)
        return refuse(reason, "not inside the temporary folder");
    return true;
}
