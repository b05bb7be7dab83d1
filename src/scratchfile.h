#ifndef SCRATCHFILE_H
#define SCRATCHFILE_H

#include "filemodes.h"

#include <QString>

#include <functional>

#include <sys/types.h>

// The scratch name a new content of target is written under: beside the file a link at target
// points to, since the move over it must replace that file and not the link.
QString scratchPathFor(const QString &target);

// Writes the new content of a file under the name it is given. On failure it may say why in
// reason (never null when called from writeFileThroughScratch).
using ScratchWriter = std::function<bool(const QString &scratch, QString *reason)>;

// Lets write produce the new content of target under its scratch name and moves the result over
// target only when write succeeded and every byte is on the disk. A failed or interrupted write
// therefore never leaves a half-written target, and a target that existed stays as it was.
//
// Whatever lies at the scratch name beforehand (a link, a file) is removed, not followed: write
// gets an empty file of ours there, created exclusively, to open and overwrite. Only a plain file
// of ours is moved over target.
//
// On failure reason (when not null) gets the system's words for what failed, or write's own.
bool writeFileThroughScratch(const QString &target, const ScratchWriter &write, QString *reason);
// As above, but a target that does not exist yet is created with modeWhenNew instead of the
// bundle's mode for new files. A target that exists keeps its whole mode and owner.
bool writeFileThroughScratch(const QString &target, const ScratchWriter &write, QString *reason,
                             mode_t modeWhenNew);
bool writeFileThroughScratch(const QString &target,
                             const std::function<bool(const QString &scratch)> &write);

// Removes whatever lies at path without following it (a link, a file of someone else's) and
// creates a new empty file there, 0600, that no one else can have opened. Returns its descriptor
// open for writing, or -1 with errno set.
int createFileExclusively(const QString &path);

// Writes all size bytes to fd, again after an interrupted call; false with errno set.
bool writeAll(int fd, const char *data, qint64 size);

// For write above: copies the content of source into the scratch file, which must be the plain
// file it was given (a link that replaced it is refused).
bool copyIntoScratch(const QString &source, const QString &scratch, QString *reason = nullptr);
// For write above: bytes as the content of the scratch file, refused as copyIntoScratch does.
bool writeIntoScratch(const QByteArray &bytes, const QString &scratch, QString *reason = nullptr);

// Copies the content of source into a new file at target (what lay there is removed first, not
// followed), mode 0600. Succeeds only when every byte reached the disk; a failed copy leaves no
// file at target.
bool copyToNewFile(const QString &source, const QString &target, QString *reason = nullptr);

// As writeFileThroughScratch, for a name that must not be taken: the finished file gets whole
// before it appears under target, and it never replaces what took the name in the meantime
// (EEXIST). Fails, leaving nothing at target, when the mode cannot be given.
bool writeNewFileThroughScratch(const QString &target, const ScratchWriter &write,
                                const FileModes::Whole &whole, QString *reason = nullptr);

// Renames from to to in one step that fails with EEXIST when to is taken; 0 or an errno value.
// Where the file system cannot do that, renameByLinking does it.
int renameWithoutReplacing(const QString &from, const QString &to);
// A second name for from at to, which link() never replaces, then from removed; 0 or an errno
// value. For files only.
int renameByLinking(const QString &from, const QString &to);

// Moves a file to a name that must not be taken. Across file systems the file is copied, with
// its whole mode and owner, and the old name removed after; a copy that fails leaves nothing at
// the new name.
bool moveFileWithoutReplacing(const QString &from, const QString &to, QString *reason = nullptr);

#endif // SCRATCHFILE_H
