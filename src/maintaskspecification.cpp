#include "maintaskspecification.h"

#include "configuration.h"
#include "downloadfilelisttaskspecification.h"
#include "filedeletelisttaskspecification.h"
#include "filereplacelisttaskspecification.h"
#include "inidownloadtaskspecification.h"
#include "makedownloadreplacelisttaskspecification.h"
#include "prepostinstalltaskspecification.h"

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
        addSubTask(new FileReplaceListTaskSpecification(&lists.m_replaceList, &lists.m_deleteList,
                                                        configuration, this, 0.4));
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
    lists.clear();
    TaskSpecification::reset();
}
