#include "downloadfilelisttaskspecification.h"
#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "downloadfiletaskspecification.h"
#include "sessionfolder.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

namespace {

// Qt's network manager opens at most this many connections to one host and queues any further
// request. A queued transfer receives nothing, so the stall clock would run out on it while the
// others download and fail a healthy update.
constexpr int managerConnectionsPerHost = 6;

int parallelDownloads(const Configuration *configuration)
{
    const int streams = configuration ? configuration->streams : 0;
    return streams < 1 ? 6 : qMin(streams, managerConnectionsPerHost);
}

} // namespace

DownloadFileListTaskSpecification::DownloadFileListTaskSpecification(
    QList<DownloadEntry> *downloads, QNetworkAccessManager *manager, Configuration *configuration,
    QObject *parent, double weight)
    : ComposedTaskSpecification(parallelDownloads(configuration), parent, weight)
    , downloads(downloads)
    , manager(manager)
    , configuration(configuration)
    , totalBytes(0)
{ }

DownloadFileListTaskSpecification::~DownloadFileListTaskSpecification() = default;

void DownloadFileListTaskSpecification::execute()
{
    makeSubtasksAndStart();
}

void DownloadFileListTaskSpecification::reset()
{
    clearSubtasks();
    totalBytes = 0;
    m_signatureChecksAdded = false;
    TaskSpecification::reset();
}

void DownloadFileListTaskSpecification::getDownloadProgress(qulonglong *done, qulonglong *total,
                                                            qulonglong *speed, bool *downloading)
{
    ComposedTaskSpecification::getDownloadProgress(done, total, speed, downloading);
    *total = totalBytes;
}

void DownloadFileListTaskSpecification::makeSubtasksAndStart()
{
    if (!downloads || downloads->isEmpty()) {
        emit message(tr("No downloads needed"));
        finish();
        return;
    }
    if (!createTargetDirs())
        return;
    emit message(tr("Downloading files"));

    const double share = 1.0 / downloads->size();
    for (const DownloadEntry &entry : qAsConst(*downloads)) {
        addSubTask(new DownloadFileTaskSpecification(entry, manager, configuration, this, share));
        totalBytes += entry.m_size;
    }
    state = Running;
    startSubtasks();
}

bool DownloadFileListTaskSpecification::createTargetDirs()
{
    const QDir dir(configuration->tempDir);
    QSet<QString> done {QStringLiteral(".")};
    for (const DownloadEntry &entry : qAsConst(*downloads)) {
        const QString path = QFileInfo(entry.m_name).path();
        if (done.contains(path))
            continue;
        if (!SessionFolder::makePath(dir.filePath(path))) {
            // A download folder that does not exist has no canonical path.
            const QString base = dir.exists() ? dir.canonicalPath() : dir.absolutePath();
            emit message(tr("Could not create dir %1").arg(base + QLatin1Char('/') + path));
            fail();
            return false;
        }
        done.insert(path);
    }
    return true;
}

void DownloadFileListTaskSpecification::subtasksDone()
{
    if (!m_signatureChecksAdded && subtasksState() == Finished) {
        m_signatureChecksAdded = true;
        if (addSignatureChecks()) {
            subtasksDoneCalled = false;
            startSubtasks();
            return;
        }
    }
    ComposedTaskSpecification::subtasksDone();
}

bool DownloadFileListTaskSpecification::addSignatureChecks()
{
    const QLatin1String suffix(".sig");
    QSet<QString> unhashed;
    for (const DownloadEntry &entry : qAsConst(*downloads)) {
        if (entry.m_hash.isEmpty())
            unhashed.insert(entry.m_name);
    }
    // A download without a hash has its signature queued with it, itself without a hash: that
    // one is what the check reads, not something to check.
    QSet<QString> checked;
    for (const DownloadEntry &entry : qAsConst(*downloads)) {
        const QString &name = entry.m_name;
        if (!entry.m_hash.isEmpty() || checked.contains(name)
            || (name.endsWith(suffix) && unhashed.contains(name.chopped(suffix.size()))))
            continue;
        checked.insert(name);
        auto *check = new CheckSignatureTaskSpecification(
            configuration->tempDir + QLatin1Char('/') + name, QString(), true, this, 0.0);
        connect(check, &CheckSignatureTaskSpecification::checkDone, this,
                &DownloadFileListTaskSpecification::onSignatureCheckDone);
        addSubTask(check);
    }
    return !checked.isEmpty();
}

void DownloadFileListTaskSpecification::onSignatureCheckDone(bool pass,
                                                             CheckSignatureTaskSpecification *task)
{
    if (!pass)
        removeUnverifiedDownload(task->filePath);
}
