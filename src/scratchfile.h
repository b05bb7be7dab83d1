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
bool writeFileThroughScratch(const QString &target,
                             const std::function<bool(const QString &scratch)> &write);

#endif // SCRATCHFILE_H
