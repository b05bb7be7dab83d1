#ifndef FILEMODES_H
#define FILEMODES_H

#include <QFileDevice>
#include <QString>

#include <sys/stat.h>
#include <sys/types.h>

// The modes the updater gives the files it writes into a bundle.
namespace FileModes {

// rwxr-xr-x: programs and libraries. Nobody but the owner may change the client's code.
extern const QFileDevice::Permissions executable;
// rw-r--r--: any other file that did not exist before.
extern const QFileDevice::Permissions newFile;

// The nine permission bits of permissions as a mode.
mode_t modeOf(QFileDevice::Permissions permissions);

// What a file that takes another one's place must carry for the bundle to stay as it was: all
// twelve mode bits (set-user-ID, set-group-ID and sticky too, which Qt's permissions lack) and
// the owner, whom the set-ID bits are about. An owner or group of -1 leaves the file's own.
struct Whole
{
    mode_t mode = 0;
    uid_t owner = uid_t(-1);
    gid_t group = gid_t(-1);
};

Whole wholeOf(const struct stat &info);
// Of the file at path, a link followed; false with errno set when there is none.
bool wholeOf(const QString &path, Whole *whole);

// Gives the open file fd the owner and the mode of whole. The owner goes first, since a change
// of owner clears the set-ID bits. Where the process cannot give the owner or the group (only
// root may give a file away), the set-ID bit about it is dropped rather than kept for someone
// else; so is a set-group-ID or sticky bit the system refuses a user. False with errno set when
// not even the permission bits could be set.
bool give(int fd, const Whole &whole);

// Gives the file at to (a link there is not followed) the whole mode of the file at from.
bool giveWholeModeOf(const QString &from, const QString &to, QString *reason = nullptr);
// Gives the file at path the whole mode of the file at replaced when there is one, else newFile.
bool giveModeForReplacing(const QString &replaced, const QString &path, QString *reason = nullptr);

// Sets the permission bits of the file at path (a link followed) to executable; a sticky bit,
// which it got from the file it replaced, stays. A set-user-ID or set-group-ID program keeps
// its mode and only loses write rights beyond executable: who may run it with its owner's or
// group's rights was chosen for the file it replaced, and is never widened.
bool makeExecutable(const QString &path);

} // namespace FileModes

#endif // FILEMODES_H
