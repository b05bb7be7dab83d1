// How an application bundle is opened on this platform. macOS hands the bundle to "open";
// elsewhere the bundle's executable in Contents/MacOS is run directly.
#ifndef PLATFORMLAUNCH_H
#define PLATFORMLAUNCH_H

#include <QString>
#include <QStringList>

class PlatformLaunch
{
public:
    // One shell word for path: blanks and the characters the shell would act on get a backslash.
    static QString shellEscaped(const QString &path);

    // The starter script's command that opens bundlePath; empty when it cannot be opened here.
    static QString openBundleCommand(const QString &bundlePath);
    // Both forms, for every platform, so that each can be checked anywhere.
    static QString macOpenBundleCommand(const QString &bundlePath);
    static QString directOpenBundleCommand(const QString &bundlePath);

    // Program and arguments that open bundlePath as a detached process; false when there is
    // nothing to start.
    static bool openBundleProgram(const QString &bundlePath, QString *program,
                                  QStringList *arguments);

    // The executable that stands for the bundle where there is no "open", chosen as "open" does:
    // the program in Contents/MacOS that Contents/Info.plist names under CFBundleExecutable,
    // else the one named as the bundle without ".app". Empty when neither is an executable file
    // there; no other program is ever taken in their place.
    static QString bundleExecutable(const QString &bundlePath);

    // The CFBundleExecutable value of an XML property list; empty when the file cannot be read,
    // is no XML property list, or has no such key.
    static QString plistBundleExecutable(const QString &plistPath);
};

#endif // PLATFORMLAUNCH_H
