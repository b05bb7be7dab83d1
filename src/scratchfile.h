#ifndef SCRATCHFILE_H
#define SCRATCHFILE_H

#include <QString>

#include <functional>

// The scratch name a new content of target is written under: beside the file a link at target
// points to, since the move over it must replace that file and not the link.
QString scratchPathFor(const QString &target);

// Lets write produce the new content of target under its scratch name and moves the result over
// target only when write succeeded. A failed or interrupted write therefore never leaves a
// half-written target, and a target that existed stays as it was.
//
// Whatever lies at the scratch name beforehand (a link, a file) is removed, not followed: write
// gets an empty file of ours there, created exclusively, to open and overwrite. Only a plain file
// of ours is moved over target.
bool writeFileThroughScratch(const QString &target,
                             const std::function<bool(const QString &scratch)> &write);

// Removes whatever lies at path without following it (a link, a file of someone else's) and
// creates a new empty file there, 0600, that no one else can have opened. Returns its descriptor
// open for writing, or -1 with errno set.
int createFileExclusively(const QString &path);

// For write above: copies the content of source into the scratch file, which must be the plain
// file it was given (a link that replaced it is refused).
bool copyIntoScratch(const QString &source, const QString &scratch);

#endif // SCRATCHFILE_H
