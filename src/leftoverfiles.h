// Removes what earlier generations of the client left behind: "_old_" files and the Qt 4
// frameworks. Runs at start-up, before anything else; reports nothing to the user.
#ifndef LEFTOVERFILES_H
#define LEFTOVERFILES_H

#include <QString>

class LeftoverFiles
{
public:
    // Deletes the known "_old_" files of the one folder dir (no recursion).
    static void removeOldFiles(const QString &dir);
    // dir is the folder that holds the updater bundle (the client's shared-support folder).
    static void removeQt4Files(const QString &dir);
};

#endif // LEFTOVERFILES_H
