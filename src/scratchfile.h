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
// Writes the new content through fd, the descriptor that created the scratch file, so nothing put
// at its name meanwhile is written. On failure it says why in reason (never null).
using ScratchFiller = std::function<bool(int fd, QString *reason)>;

// Which file a name leads to; zero when not known.
struct FileIdentity
{
    quint64 device = 0;
    quint64 inode = 0;

    bool known() const { return inode != 0; }
    bool operator==(const FileIdentity &other) const
    {
        return device == other.device && inode == other.inode;
    }
    bool operator!=(const FileIdentity &other) const { return !(*this == other); }
};

// Lets write produce the new content of target under its scratch name and moves the result over
// target only when write succeeded and every byte is on the disk. A failed or interrupted write
// therefore never leaves a half-written target, and a target that existed stays as it was.
//
// Whatever lies at the scratch name beforehand (a link, a file) is removed, not followed: write
// gets an empty file of ours there, created exclusively, to open and overwrite. Only a plain file
// of ours is moved over target.
//
// A target that did not exist when the write started is new: the file never replaces what took
// that name in the meantime (EEXIST), and what took it stays as it is.
//
// On failure reason (when not null) gets the system's words for what failed, or write's own.
// written (when not null) gets the file that was put at target.
bool writeFileThroughScratch(const QString &target, const ScratchWriter &write, QString *reason,
                             FileIdentity *written = nullptr);
bool writeFileThroughScratch(const QString &target, const ScratchFiller &fill, QString *reason,
                             FileIdentity *written = nullptr);
// As above, but a target that does not exist yet is created with modeWhenNew instead of the
// bundle's mode for new files. A target that exists keeps its whole mode and owner.
bool writeFileThroughScratch(const QString &target, const ScratchWriter &write, QString *reason,
                             mode_t modeWhenNew);
bool writeFileThroughScratch(const QString &target, const ScratchFiller &fill, QString *reason,
                             mode_t modeWhenNew);
bool writeFileThroughScratch(const QString &target,
                             const std::function<bool(const QString &scratch)> &write);

// For tests: called on the writing thread with the name a finished scratch file is about to be
// moved to. Empty by default.
void setScratchMoveHook(const std::function<void(const QString &destination)> &hook);

// Removes whatever lies at path without following it (a link, a file of someone else's) and
// creates a new empty file there, 0600, that no one else can have opened. Returns its descriptor
// open for writing, or -1 with errno set.
int createFileExclusively(const QString &path);

// Writes all size bytes to fd, again after an interrupted call; false with errno set.
bool writeAll(int fd, const char *data, qint64 size);

// For fill above: copies the content of source through fd.
bool copyIntoScratch(const QString &source, int fd, QString *reason);
// For fill above: bytes as the content written through fd.
bool writeIntoScratch(const QByteArray &bytes, int fd, QString *reason);
// For a writer that is given only the name: as above, into the empty file of ours that the
// scratch name must still be (a link or a second name put in its place is refused, not written).
bool copyIntoScratch(const QString &source, const QString &scratch, QString *reason = nullptr);
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
bool writeNewFileThroughScratch(const QString &target, const ScratchFiller &fill,
                                const FileModes::Whole &whole, QString *reason = nullptr);

// Renames from to to without replacing what is at to (EEXIST); 0 or an errno value. In one step
// where the file system can; else by a second name (renameByLinking); on a volume that can do
// neither (FAT, exFAT, many network shares) to is looked at first and then renamed to, which
// leaves a moment in which a file that takes the name would be replaced.
int renameWithoutReplacing(const QString &from, const QString &to);
// A second name for from at to, which link() never replaces, then from removed; 0 or an errno
// value. For files only.
int renameByLinking(const QString &from, const QString &to);

// What a move that must not replace does after one way of doing it failed with error.
enum class NoReplaceNext {
    Fail, // a real failure: error is its reason
    Link, // the one-step move is not supported here: try renameByLinking
    CheckThenRename // neither is supported here: look, then rename
};
// After the one-step move failed; intoItself: from is a folder and to lies inside it (EINVAL
// then has that cause rather than the flag).
NoReplaceNext afterOneStepMoveFailed(int error, bool intoItself);
// After link() failed.
NoReplaceNext afterLinkingFailed(int error);

// Moves a file to a name that must not be taken. Across file systems the file is copied, with
// its whole mode and owner, and the old name removed after; a copy that fails leaves nothing at
// the new name.
bool moveFileWithoutReplacing(const QString &from, const QString &to, QString *reason = nullptr);

#endif // SCRATCHFILE_H
