#ifndef PATHCONFINEMENT_H
#define PATHCONFINEMENT_H

#include <QString>

// Every path the updater writes or deletes comes from the product ini or from links already on
// disk; both are checked here against the folder the path must stay in.
namespace PathConfinement {

// A name the product ini may use for a file: relative, and with no empty, "." or ".."
// component, so that it cannot climb out of the folder it is joined to.
bool isSafeRelativePath(const QString &path);

// Where an access to path ends up once every symbolic link on the way is followed, the last
// component's own link too when followLast is set or path ends in a slash (the kernel follows
// it then, whatever the call). A component that does not exist is taken as it stands. Empty
// when the links go round in a loop or a link's target cannot be read back byte for byte.
QString resolvedLocation(const QString &path, bool followLast);

// Whether path, with its links followed as above, lies inside root or is root itself.
bool staysInside(const QString &root, const QString &path, bool followLast);

// The text that reports a path refused by staysInside.
QString outsideText(const QString &path, const QString &root);

} // namespace PathConfinement

#endif // PATHCONFINEMENT_H
