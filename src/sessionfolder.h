// The session folders: one download folder per update session, made in the temporary folder
// and named "quorvelin_temp_" followed by a number. A session record names one of them, and
// only such a folder may be reused or removed on the record's word.
#ifndef SESSIONFOLDER_H
#define SESSIONFOLDER_H

#include <QString>

namespace SessionFolder {

// Numbers 0 to kCount - 1 are tried in turn.
constexpr int kCount = 1000;

// The folder with number n inside tempPath.
QString path(const QString &tempPath, int n);

// True only for a folder this updater makes: directly inside the current temporary folder,
// named as session folders are named, a real folder (not a link) and owned by the current
// user. Otherwise reason (when given) says what is wrong with dir.
bool isOurs(const QString &dir, QString *reason = nullptr);

// Folders in and of the session are private: nobody else may plant a file or a link in them
// between two runs. All three give mode 0700 whatever the umask.

// Makes the single folder path; false when anything is already there (never taken for ours).
bool makeFolder(const QString &path);

// Like QDir::mkpath: makes path and every missing folder above it, true when path is a folder
// afterwards. Folders that were already there keep their modes.
bool makePath(const QString &path);

// Narrows an existing folder of ours (not a link) to 0700.
bool makePrivate(const QString &dir);

} // namespace SessionFolder

#endif // SESSIONFOLDER_H
