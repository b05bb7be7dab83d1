#include "maintaskspecification.h"

#include "configuration.h"
#include "downloadfilelisttaskspecification.h"
#include "filedeletelisttaskspecification.h"
#include "filereplacelisttaskspecification.h"
#include "inidownloadtaskspecification.h"
#include "makedownloadreplacelisttaskspecification.h"
#include "prepostinstalltaskspecification.h"

#include <QDebug>

MainTaskSpecification::MainTaskSpecification(QNetworkAccessManager *manager,
                                             Configuration *configuration, QObject *parent,
                                             double weight)
    : ComposedTaskSpecification(1, parent, weight)
    , manager(manager)
    , configuration(configuration)
{ }

MainTaskSpecification::~MainTaskSpecification() = default;

void MainTaskSpecification::execute()
{
    const bool clientStep = configuration->clientUpdate != 0;
    emit message(QStringLiteral("Starting update process for ")
                 + (clientStep ? QStringLiteral("client") : QStringLiteral("updater")));
    makeSubtasksAndStart();
}

void MainTaskSpecification::makeSubtasksAndStart()
{
    // Every step gets its list now, while the lists are still empty; it reads it only when it
    // starts, and with one step at a time that is after the list builder has filled them.
    addSubTask(new IniDownloadTaskSpecification(manager, configuration, this, 0.1));
    addSubTask(new MakeDownloadReplaceListTaskSpecification(configuration, &lists, this, 0.05));
    addSubTask(new DownloadFileListTaskSpecification(&lists.m_downloadList, manager, configuration,
                                                     this, 0.4));
    addSubTask(
        new PrePostInstallListTaskSpecification(&lists.m_preinstallList, configuration, this, 0.1));
    if (configuration->clientUpdate == 1) {
        m_replaceStep = new FileReplaceListTaskSpecification(
            &lists.m_replaceList, &lists.m_deleteList, configuration, this, 0.4);
        addSubTask(m_replaceStep);
        // After the composed handling of its end, before the next step is started.
        connect(m_replaceStep, &TaskSpecification::finished, this,
                &MainTaskSpecification::onReplaceStepFinished);
        addSubTask(
            new FileDeleteListTaskSpecification(&lists.m_deleteList, configuration, this, 0.05));
    } else {
        addSubTask(
            new UpdateSelfUnzipTaskSpecification(&lists.m_replaceList, configuration, this, 0.4));
    }
    addSubTask(new PrePostInstallListTaskSpecification(&lists.m_postinstallList, configuration,
                                                       this, 0.1));
    state = Running;
    startSubtasks();
}

void MainTaskSpecification::reset()
{
    clearSubtasks();
    m_replaceStep = nullptr;
    m_cancelDeferred = false;
    lists.clear();
    TaskSpecification::reset();
}

void MainTaskSpecification::cancel()
{
    // Stopping after the replacements would keep the new files beside the obsolete ones, and
    // nothing rolls the replacements back any more.
    if (m_replaceStep && m_replaceStep->state == Finished) {
        deferCancel();
        return;
    }
    ComposedTaskSpecification::cancel();
}

void MainTaskSpecification::onReplaceStepFinished()
{
    if (!cancelRequested)
        return;
    // The cancel reached the replacements only when none was left to start, so they all went
    // through: the bundle is new from here on and must be finished as such.
    cancelRequested = false;
    for (TaskSpecification *task : qAsConst(pendingTasks))
        task->cancelRequested = false;
    deferCancel();
}

void MainTaskSpecification::deferCancel()
{
    if (m_cancelDeferred)
        return;
    m_cancelDeferred = true;
    qDebug() << "Cancel deferred: the client's files are already replaced";
    emit message(QStringLiteral("Files already replaced, finishing update before stopping"));
}
