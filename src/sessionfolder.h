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

} // namespace SessionFolder

#endif // SESSIONFOLDER_H
