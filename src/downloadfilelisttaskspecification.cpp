#include "downloadfilelisttaskspecification.h"
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
