#include "processtools.h"

#include "platformlaunch.h"
#include "scratchfile.h"
#include "systemreason.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QProcess>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

QString ProcessTools::tempFilePath(const QString &name)
{
    const QString temp = QDir::tempPath();
    if (temp.isEmpty())
        return QString();
    return temp + QStringLiteral("/") + name;
}

namespace {

const char *starterScriptName = "update.sh";

// Writes bytes as a new file of ours at path, with mode when not 0. Whatever lay there (a link
// planted in a shared temporary folder, an older file) is removed first, never written through.
// On failure nothing of ours is left at path and *why says what failed.
bool writeNewFile(const QString &path, const QByteArray &bytes, mode_t mode, QString *why)
{
    const int fd = createFileExclusively(path);
    if (fd < 0) {
        *why = systemErrorText(errno);
        return false;
    }
    bool ok
        = (mode == 0 || ::fchmod(fd, mode) == 0) && writeAll(fd, bytes.constData(), bytes.size());
    int error = ok ? 0 : errno;
    if (::close(fd) != 0 && ok && errno != EINTR) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        *why = systemErrorText(error);
        ::unlink(QFile::encodeName(path).constData());
    }
    return ok;
}

void setReason(QString *reason, const QString &text)
{
    if (reason)
        *reason = text;
}

QString noTempFolderText()
{
    return QCoreApplication::translate("QWidget", "no temporary folder");
}

// What the window adds to its "Could not start" text.
QString writeFailureText(const QString &path, const QString &why)
{
    if (path.isEmpty())
        return noTempFolderText();
    return QCoreApplication::translate("QWidget", "failed to write '%1' (%2)").arg(path, why);
}

} // namespace

QString ProcessTools::argsFilePath()
{
    return tempFilePath(QStringLiteral("qvxclientupdateargs"));
}

QString ProcessTools::starterScriptPath()
{
    return tempFilePath(QString::fromLatin1(starterScriptName));
}

bool ProcessTools::writeArgsFile(const QStringList &args, QString *reason)
{
    const QString path = argsFilePath();
    if (path.isEmpty()) {
        qDebug() << "Failed to write update arguments: no temporary folder";
        setReason(reason, noTempFolderText());
        return false;
    }
    QByteArray content;
    for (const QString &arg : args) {
        // The reader decodes UTF-8; any other encoding would change non-ASCII arguments.
        content += arg.toUtf8() + '\n';
    }
    QString why;
    // A cut-off list could name a wrong version, an older one another run's: on failure none at
    // all is left, the safer start.
    if (!writeNewFile(path, content, 0, &why)) {
        qDebug() << "Failed to write update arguments" << path << why;
        setReason(reason, why);
        return false;
    }
    return true;
}

QString ProcessTools::clientUpdaterBundle(const QString &dir)
{
    return dir + QStringLiteral("/SharedSupport/update.app");
}

QString ProcessTools::clientBundle(const QString &dir)
{
    return dir + QStringLiteral("../../Quorvelin 3 Client.app");
}

bool ProcessTools::startClientUpdater(const QString &dir, const QStringList &args, QString *reason)
{
    qDebug() << "startClientUpdater" << dir << args;
    qDebug() << "startNewUpdater_mac" << dir << args;
    setReason(reason, QString());
    QString why;
    // Without its arguments the new updater runs as step one again, and hands over again.
    if (!writeArgsFile(args, &why)) {
        setReason(reason, writeFailureText(argsFilePath(), why));
        return false;
    }

    const QString script = writeUpdateStarterScript(clientUpdaterBundle(dir),
                                                    QString::fromLatin1(starterScriptName), &why);
    if (script.isEmpty()) {
        qDebug() << "Failed to write temp update starter for second update step";
        // Left alone, the arguments would make a later start without arguments a step two.
        ::unlink(QFile::encodeName(argsFilePath()).constData());
        if (!why.isEmpty())
            setReason(reason, writeFailureText(starterScriptPath(), why));
        return false;
    }
    qDebug() << "starting" << script;
    // Never destroyed: the shell and what it starts outlive this process, which closes next.
    QProcess *process = new QProcess;
    process->start(QStringLiteral("/bin/sh"), QStringList {script}, QIODevice::NotOpen);
    return true;
}

bool ProcessTools::startQvxClient(const QString &dir)
{
    qDebug() << "startQvxClient";
    qDebug() << "startQvxClient_mac" << dir;
    QString program;
    QStringList arguments;
    if (!PlatformLaunch::openBundleProgram(clientBundle(dir), &program, &arguments)) {
        qDebug() << "No client to start in" << dir;
        return false;
    }
    qDebug() << "starting" << program << arguments;
    if (!QProcess::startDetached(program, arguments)) {
        qDebug() << "Failed to start" << program;
        return false;
    }
    return true;
}

QString writeUpdateStarterScript(const QString &bundlePath, const QString &scriptName,
                                 QString *reason)
{
    setReason(reason, QString());
    const QString content = PlatformLaunch::openBundleCommand(bundlePath);
    if (content.isEmpty())
        return QString();
    const QString path = ProcessTools::tempFilePath(scriptName);
    if (path.isEmpty()) {
        setReason(reason, noTempFolderText());
        return QString();
    }
    // Paths are bytes in the file-system encoding, so the script names the bundle as it is.
    QString why;
    if (!writeNewFile(path, QFile::encodeName(content), S_IRWXU, &why)) {
        qDebug() << "writeUpdateStarterScript" << path << why;
        setReason(reason, why);
        return QString();
    }
    return path;
}
