#ifndef FILEMODES_H
#define FILEMODES_H

#include <QFileDevice>
#include <QString>

// The modes the updater gives the files it writes into a bundle.
namespace FileModes {

// rwxr-xr-x: programs and libraries. Nobody but the owner may change the client's code.
extern const QFileDevice::Permissions executable;
// rw-r--r--: any other file that did not exist before.
extern const QFileDevice::Permissions newFile;

// The file's own mode bits (owner, group, others).
QFileDevice::Permissions of(const QString &path);
// The mode for a file written at path: that of the file it replaces, else newFile.
QFileDevice::Permissions forReplacing(const QString &path);

} // namespace FileModes

#endif // FILEMODES_H
