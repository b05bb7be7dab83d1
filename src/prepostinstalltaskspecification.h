#ifndef PREPOSTINSTALLTASKSPECIFICATION_H
#define PREPOSTINSTALLTASKSPECIFICATION_H

#include "asyncfunc.h"
#include "asynctaskspecification.h"
#include "composedtaskspecification.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>

class Configuration;
class PrePostInstallCmd;

// Runs one product command from the download folder and judges its exit code. The command and
// folder are copied at construction: the worker never reads the task tree from its thread.
class PrePostInstallFunc : public ASyncFunc
{
    Q_OBJECT

public:
    // Exit code with which a command reports success and asks for a restart. A POSIX parent
    // only sees the low eight bits of an exit code, so there it arrives as 242.
    static constexpr int kRebootExitCode = 1010;
    static constexpr int kRebootExitCodeLowBits = kRebootExitCode & 0xff;

    PrePostInstallFunc(PrePostInstallCmd *command, Configuration *configuration);
    ~PrePostInstallFunc() override;

    bool run() override;

    QString name;
    QStringList arguments;
    bool required;
    QString tempDir;
    // Set from the GUI thread when the task is cancelled or goes away: a running program is
    // then stopped instead of blocking the update for good.
    std::shared_ptr<std::atomic<bool>> stopRequested;

signals:
    void reboot_with_confirmation();
};

class PrePostInstallTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT

public:
    PrePostInstallTaskSpecification(PrePostInstallCmd *command, Configuration *configuration,
                                    QObject *parent, double weight);
    ~PrePostInstallTaskSpecification() override;

    void reset() override;
    void cancel() override;
    ASyncFunc *createFunc() override;
    void runDone(bool ok) override;

    PrePostInstallCmd *command;
    Configuration *configuration;

private:
    void stopRunningCommand();

    std::shared_ptr<std::atomic<bool>> m_StopRequested;
};

// Runs the commands of one list one after another; an empty list ends at once.
class PrePostInstallListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    PrePostInstallListTaskSpecification(QList<PrePostInstallCmd> *commands,
                                        Configuration *configuration, QObject *parent,
                                        double weight);
    ~PrePostInstallListTaskSpecification() override;

    void execute() override;
    void reset() override;

    QList<PrePostInstallCmd> *commands;
    Configuration *configuration;
};

#endif // PREPOSTINSTALLTASKSPECIFICATION_H
