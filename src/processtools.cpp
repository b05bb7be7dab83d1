#include "processtools.h"

#include "platformlaunch.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QProcess>

QString ProcessTools::tempFilePath(const QString &name)
{
    const QString temp = QDir::tempPath();
    if (temp.isEmpty())
        return QString();
    return temp + QStringLiteral("/") + name;
}

namespace {

const char *starterScriptName = "update.sh";

} // namespace

QString ProcessTools::argsFilePath()
{
    return tempFilePath(QStringLiteral("qvxclientupdateargs"));
}

QString ProcessTools::starterScriptPath()
{
    return tempFilePath(QString::fromLatin1(starterScriptName));
}

bool ProcessTools::writeArgsFile(const QStringList &args)
{
    const QString path = argsFilePath();
    if (path.isEmpty()) {
        qDebug() << "Failed to write update arguments: no temporary folder";
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text | QIODevice::Truncate)) {
        qDebug() << "Failed to write update arguments" << file.fileName() << file.errorString();
        // An older file would hand the next updater another run's arguments.
        QFile::remove(path);
        return false;
    }
    bool ok = true;
    for (const QString &arg : args) {
        // The reader decodes UTF-8; any other encoding would change non-ASCII arguments.
        const QByteArray line = arg.toUtf8() + '\n';
        ok = file.write(line) == line.size() && ok;
    }
    file.close();
    ok = ok && file.error() == QFileDevice::NoError;
    if (!ok) {
        qDebug() << "Failed to write update arguments" << file.fileName() << file.errorString();
        // A cut-off list could name a wrong version; none at all is the safer start.
        file.remove();
    }
    return ok;
}

QString ProcessTools::clientUpdaterBundle(const QString &dir)
{
    return dir + QStringLiteral("/SharedSupport/update.app");
}

QString ProcessTools::clientBundle(const QString &dir)
{
    return dir + QStringLiteral("../../Quorvelin 3 Client.app");
}

bool ProcessTools::startClientUpdater(const QString &dir, const QStringList &args)
{
    qDebug() << "startClientUpdater" << dir << args;
    qDebug() << "startNewUpdater_mac" << dir << args;
    writeArgsFile(args);

    const QString script = writeUpdateStarterScript(clientUpdaterBundle(dir),
                                                    QString::fromLatin1(starterScriptName));
    if (script.isEmpty()) {
        qDebug() << "Failed to write temp update starter for second update step";
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

QString writeUpdateStarterScript(const QString &bundlePath, const QString &scriptName)
{
    const QString content = PlatformLaunch::openBundleCommand(bundlePath);
    if (content.isEmpty())
        return QString();
    const QString path = ProcessTools::tempFilePath(scriptName);
    if (path.isEmpty())
        return QString();
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text | QIODevice::Truncate))
        return QString();
    // Paths are bytes in the file-system encoding, so the script names the bundle as it is.
    const QByteArray bytes = QFile::encodeName(content);
    const bool written = file.write(bytes) == bytes.size() && file.flush();
    if (!written
        || !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                | QFileDevice::ExeOwner)) {
        file.remove();
        return QString();
    }
    return file.fileName();
}
