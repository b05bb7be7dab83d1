#include "prepostinstalltaskspecification.h"

#include "configuration.h"
#include "mainwindowaccess.h"
#include "replacelistdata.h"

#include <QDebug>
#include <QDir>
#include <QProcess>
#include <QWidget>

namespace {

// How often a running program is checked for a stop request.
const int kStopPollMs = 200;
const int kStartTimeoutMs = 30000;
const int kKillTimeoutMs = 5000;

} // namespace

PrePostInstallFunc::PrePostInstallFunc(PrePostInstallCmd *command, Configuration *configuration)
    : name(command ? command->m_name : QString())
    , arguments(command ? command->m_arguments : QStringList())
    , required(command ? command->m_required : true)
    , tempDir(configuration ? configuration->tempDir : QString())
    , stopRequested(std::make_shared<std::atomic<bool>>(false))
{ }

PrePostInstallFunc::~PrePostInstallFunc() = default;

bool PrePostInstallFunc::run()
{
    const bool notRequired = !required;
    QStringList args;
    for (const QString &argument : qAsConst(arguments))
        args << QStringLiteral("--") + argument;

    qDebug() << "Starting" << name << "args" << args;
    qDebug() << "temp dir:" << tempDir;
    emit message(tr("Starting %1").arg(name));

    const QString program = tempDir + QDir::separator() + name;
    QProcess process;
    bool finished = false;
    QObject::connect(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished),
                     [&finished](int, QProcess::ExitStatus) { finished = true; });
    process.start(program, args, QIODevice::ReadOnly);
    qDebug() << "Starting" << name << "state" << process.state();

    if (!process.waitForStarted(kStartTimeoutMs)) {
        qDebug() << "Failed to start process, state =" << process.state()
                 << ", error =" << process.errorString();
        emit message(tr("Failed to start %1: %2").arg(name, process.errorString()));
        // A program that hangs while starting must not outlive this worker.
        process.kill();
        process.waitForFinished(kKillTimeoutMs);
        return notRequired;
    }

    qDebug() << "Wait for started completed";
    // Waiting in slices instead of without limit lets a cancelled update stop a program that
    // never ends; otherwise the update would hang with it.
    while (!process.waitForFinished(kStopPollMs) && !finished) {
        if (process.state() == QProcess::NotRunning) {
            qDebug() << "Failed to run process, state =" << process.state()
                     << ", error =" << process.errorString();
            emit message(tr("Failed to run %1: %2").arg(name, process.errorString()));
            return notRequired;
        }
        if (stopRequested->load()) {
            qDebug() << "Stopping" << name << "on request";
            process.kill();
            process.waitForFinished(kKillTimeoutMs);
            return false;
        }
    }

    qDebug() << "Wait for finished completed";
    const int code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    qDebug() << "Process exit code:" << code;

    switch (code) {
    case 0:
        emit message(tr("%1 completed sucessfully").arg(name));
        return true;
    case kRebootExitCode:
    case kRebootExitCodeLowBits:
        emit message(tr("%1 completed sucessfully, reboot required").arg(name));
        emit reboot_with_confirmation();
        return true;
    case 1:
        emit message(tr("Failed to complete %1, exit code: %2").arg(name).arg(code));
        return notRequired;
    default:
        return notRequired;
    }
}

PrePostInstallTaskSpecification::PrePostInstallTaskSpecification(PrePostInstallCmd *command,
                                                                 Configuration *configuration,
                                                                 QObject *parent, double weight)
    : ASyncTaskSpecification(parent, weight)
    , command(command)
    , configuration(configuration)
{ }

PrePostInstallTaskSpecification::~PrePostInstallTaskSpecification()
{
    stopRunningCommand();
}

void PrePostInstallTaskSpecification::reset()
{
    // The base reset waits for the pool, which a program that never ends would block.
    stopRunningCommand();
    ASyncTaskSpecification::reset();
}

void PrePostInstallTaskSpecification::cancel()
{
    ASyncTaskSpecification::cancel();
    stopRunningCommand();
}

ASyncFunc *PrePostInstallTaskSpecification::createFunc()
{
    auto *func = new PrePostInstallFunc(command, configuration);
    m_StopRequested = func->stopRequested;
    if (g_MainWindow) {
        QObject::connect(func, SIGNAL(reboot_with_confirmation()), g_MainWindow,
                         SLOT(onRebootWithConfirmation()), Qt::QueuedConnection);
    }
    return func;
}

void PrePostInstallTaskSpecification::runDone(bool ok)
{
    // A program stopped by a cancel request ends the task as aborted, not as failed.
    if (!ok && cancelRequested && state == Running) {
        abort();
        return;
    }
    ASyncTaskSpecification::runDone(ok);
}

void PrePostInstallTaskSpecification::stopRunningCommand()
{
    if (m_StopRequested)
        m_StopRequested->store(true);
}

PrePostInstallListTaskSpecification::PrePostInstallListTaskSpecification(
    QList<PrePostInstallCmd> *commands, Configuration *configuration, QObject *parent,
    double weight)
    : ComposedTaskSpecification(1, parent, weight)
    , commands(commands)
    , configuration(configuration)
{ }

PrePostInstallListTaskSpecification::~PrePostInstallListTaskSpecification() = default;

void PrePostInstallListTaskSpecification::execute()
{
    if (commands && !commands->isEmpty()) {
        emit message(tr("Starting install condition"));
        for (int i = 0; i < commands->size(); ++i)
            addSubTask(
                new PrePostInstallTaskSpecification(&(*commands)[i], configuration, this, 0.1));
    }
    state = Running;
    startSubtasks();
}

void PrePostInstallListTaskSpecification::reset()
{
    clearSubtasks();
    // With no children left this only clears the end flags of the last run and the base.
    ComposedTaskSpecification::reset();
}
