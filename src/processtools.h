// Hands the run over to the next program: the new updater for step two, or the updated client.
// Neither call waits for the started program.
#ifndef PROCESSTOOLS_H
#define PROCESSTOOLS_H

#include <QString>
#include <QStringList>

class ProcessTools
{
public:
    // dir: the session folder holding the new updater copy; args: its step-two arguments, which
    // it reads back from the arguments file. False when nothing was started; *reason (when not
    // null) then names the file that could not be written and why, or stays empty when the
    // bundle holds nothing to start.
    static bool startClientUpdater(const QString &dir, const QStringList &args,
                                   QString *reason = nullptr);
    // dir: the client bundle's Contents folder, ending with "/". False when nothing could be
    // started.
    static bool startQvxClient(const QString &dir);

    // The bundles that the two calls above open.
    static QString clientUpdaterBundle(const QString &dir);
    static QString clientBundle(const QString &dir);

    // Path of the arguments file that the next updater reads when started without arguments;
    // empty when the system has no usable temporary folder.
    static QString argsFilePath();
    // Path of the script that starts the next updater; empty as for argsFilePath.
    static QString starterScriptPath();
    // name in the system temporary folder; empty when there is no usable one (Qt then reports
    // an empty temporary path, which must not turn into the file-system root).
    static QString tempFilePath(const QString &name);
    // Writes args, one a line; false when the file could not be written completely, with the
    // system's reason in *reason (when not null).
    static bool writeArgsFile(const QStringList &args, QString *reason = nullptr);
};

// Writes the script that opens bundlePath into the system temporary folder as scriptName.
// Returns its path, or an empty string when it cannot be written; *reason (when not null) then
// gets the system's reason, or stays empty when there is nothing to open at bundlePath.
QString writeUpdateStarterScript(const QString &bundlePath, const QString &scriptName,
                                 QString *reason = nullptr);

#endif // PROCESSTOOLS_H
