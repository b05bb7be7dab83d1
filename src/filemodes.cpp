#include "filemodes.h"

#include "regularfile.h"
#include "systemreason.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace FileModes {

const QFileDevice::Permissions executable = QFileDevice::ReadOwner | QFileDevice::WriteOwner
    | QFileDevice::ExeOwner | QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser
    | QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther
    | QFileDevice::ExeOther;

const QFileDevice::Permissions newFile = QFileDevice::ReadOwner | QFileDevice::WriteOwner
    | QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ReadGroup
    | QFileDevice::ReadOther;

mode_t modeOf(QFileDevice::Permissions permissions)
{
    const struct
    {
        QFileDevice::Permission flag;
        mode_t bit;
    } bits[] = {
        {QFileDevice::ReadOwner, S_IRUSR},  {QFileDevice::WriteOwner, S_IWUSR},
        {QFileDevice::ExeOwner, S_IXUSR},   {QFileDevice::ReadGroup, S_IRGRP},
        {QFileDevice::WriteGroup, S_IWGRP}, {QFileDevice::ExeGroup, S_IXGRP},
        {QFileDevice::ReadOther, S_IROTH},  {QFileDevice::WriteOther, S_IWOTH},
        {QFileDevice::ExeOther, S_IXOTH},
    };
    mode_t mode = 0;
    for (const auto &b : bits)
        if (permissions.testFlag(b.flag))
            mode |= b.bit;
    return mode;
}

Whole wholeOf(const struct stat &info)
{
    Whole whole;
    whole.mode = info.st_mode & 07777;
    whole.owner = info.st_uid;
    whole.group = info.st_gid;
    return whole;
}

bool wholeOf(const QString &path, Whole *whole)
{
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return false;
    *whole = wholeOf(info);
    return true;
}

bool give(int fd, const Whole &whole)
{
    struct stat now;
    if (::fstat(fd, &now) != 0)
        return false;
    const auto ownerDiffers
        = [&whole, &now] { return whole.owner != uid_t(-1) && now.st_uid != whole.owner; };
    const auto groupDiffers
        = [&whole, &now] { return whole.group != gid_t(-1) && now.st_gid != whole.group; };
    if (ownerDiffers() || groupDiffers()) {
        // A user may still give its file one of its own groups.
        if (::fchown(fd, whole.owner, whole.group) != 0)
            (void)::fchown(fd, uid_t(-1), whole.group);
        if (::fstat(fd, &now) != 0)
            return false;
    }
    mode_t mode = whole.mode & 07777;
    if (ownerDiffers())
        mode &= ~mode_t(S_ISUID);
    if (groupDiffers())
        mode &= ~mode_t(S_ISGID);
    if (::fchmod(fd, mode) == 0)
        return true;
    // macOS refuses a user the set-group-ID bit of a group it is not in, BSD the sticky bit of
    // a file; Linux drops the former by itself.
    const int error = errno;
    const mode_t refusable = S_ISGID | S_ISVTX;
    if ((mode & refusable) && ::fchmod(fd, mode & ~refusable) == 0)
        return true;
    errno = error;
    return false;
}

namespace {

bool giveByPath(const QString &path, const Whole &whole, QString *reason)
{
    QString why;
    const int fd = openRegularFile(path, O_NOFOLLOW, nullptr, &why);
    bool ok = fd >= 0;
    if (ok && !give(fd, whole)) {
        why = systemErrorText(errno);
        ok = false;
    }
    if (fd >= 0)
        ::close(fd);
    if (!ok && reason)
        *reason = why;
    return ok;
}

} // namespace

bool giveWholeModeOf(const QString &from, const QString &to, QString *reason)
{
    Whole whole;
    if (!wholeOf(from, &whole)) {
        if (reason)
            *reason = systemErrorText(errno);
        return false;
    }
    return giveByPath(to, whole, reason);
}

bool giveModeForReplacing(const QString &replaced, const QString &path, QString *reason)
{
    struct stat info;
    if (::stat(QFile::encodeName(replaced).constData(), &info) == 0 && S_ISREG(info.st_mode))
        return giveByPath(path, wholeOf(info), reason);
    Whole whole;
    whole.mode = modeOf(newFile);
    return giveByPath(path, whole, reason);
}

bool makeExecutable(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat info;
    if (::stat(name.constData(), &info) != 0)
        return false;
    const mode_t special = info.st_mode & 07000;
    const mode_t rights
        = (special & (S_ISUID | S_ISGID)) ? info.st_mode & modeOf(executable) : modeOf(executable);
    const mode_t mode = special | rights;
    return mode == (info.st_mode & 07777) || ::chmod(name.constData(), mode) == 0;
}

} // namespace FileModes
