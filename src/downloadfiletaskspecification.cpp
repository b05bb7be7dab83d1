#include "downloadfiletaskspecification.h"
#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "downloadtaskspecification.h"

#include <QDebug>
#include <QFile>

DownloadFileTaskSpecification::DownloadFileTaskSpecification(const DownloadEntry &entry,
                                                             QNetworkAccessManager *manager,
                                                             Configuration *configuration,
                                                             QObject *parent, double weight)
    : ComposedTaskSpecification(1, parent, weight)
    , entry(entry)
    , manager(manager)
    , configuration(configuration)
    , downloadTask(nullptr)
{ }

DownloadFileTaskSpecification::~DownloadFileTaskSpecification() = default;

void DownloadFileTaskSpecification::execute()
{
    makeSubtasksAndStart();
}

void DownloadFileTaskSpecification::reset()
{
    clearSubtasks();
    downloadTask = nullptr;
    TaskSpecification::reset();
}

void DownloadFileTaskSpecification::makeSubtasksAndStart()
{
    // The section names the folder on the image server only.
    const QString localPath = configuration->tempDir + QLatin1Char('/') + entry.m_name;
    downloadTask = new DownloadTaskSpecification(
        manager, entry.m_section + QLatin1Char('/') + entry.m_name, configuration->versionNr,
        localPath, qint64(entry.m_size), this, 0.8);
    addSubTask(downloadTask);

    // A download without a hash is checked by its signature once every transfer of the list is
    // done: the signature may still be on its way, and is itself such a download.
    if (!entry.m_hash.isEmpty()) {
        auto *check = new CheckSignatureTaskSpecification(localPath, entry.m_hash, true, this, 0.2);
        connect(check, &CheckSignatureTaskSpecification::checkDone, this,
                &DownloadFileTaskSpecification::onSigCheckDone);
        addSubTask(check);
    }

    startSubtasks();
}

void DownloadFileTaskSpecification::onSigCheckDone(bool pass, CheckSignatureTaskSpecification *task)
{
    if (!pass)
        removeUnverifiedDownload(task->filePath);
}

void removeUnverifiedDownload(const QString &path)
{
    // The check has reported it. Kept, it could be started unchecked by a later run whose product
    // ini names it as a command but no longer as a download.
    const bool removed = QFile::remove(path);
    qDebug() << "Removing unverified download" << path << (removed ? "true" : "false");
}
