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

    // The executable that stands for the bundle where there is no "open": Contents/MacOS/ plus
    // the bundle's name without ".app" when that is executable, else the first executable file
    // there by name. Empty when there is none.
    static QString bundleExecutable(const QString &bundlePath);
};

#endif // PLATFORMLAUNCH_H
