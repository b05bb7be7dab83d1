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

QFileDevice::Permissions forReplacing(const QString &path)
{
    const QFileInfo info(path);
    if (!info.isFile())
        return newFile;
    // The user flags describe the running user's access, not the file's own bits.
    return info.permissions()
        & ~(QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser);
}

} // namespace FileModes
