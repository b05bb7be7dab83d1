#include "filemodes.h"

#include <QFileInfo>

namespace FileModes {

const QFileDevice::Permissions executable = QFileDevice::ReadOwner | QFileDevice::WriteOwner
    | QFileDevice::ExeOwner | QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser
    | QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther
    | QFileDevice::ExeOther;

const QFileDevice::Permissions newFile = QFileDevice::ReadOwner | QFileDevice::WriteOwner
    | QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ReadGroup
    | QFileDevice::ReadOther;

QFileDevice::Permissions of(const QString &path)
{
    // The user flags describe the running user's access, not the file's own bits.
    return QFileInfo(path).permissions()
        & ~(QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser);
}

QFileDevice::Permissions forReplacing(const QString &path)
{
    return QFileInfo(path).isFile() ? of(path) : newFile;
}

} // namespace FileModes
