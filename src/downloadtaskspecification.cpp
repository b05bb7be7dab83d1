#include "downloadtaskspecification.h"
#include "configuration.h"
#include "plainbody.h"
#include "scratchfile.h"
#include "systemreason.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

constexpr qint64 chunkSize = 4096;

} // namespace

qint64 DownloadTaskSpecification::sizeLimitFor(const QString &remoteName, qint64 expectedSize)
{
    if (expectedSize > 0)
        return expectedSize;
    return remoteName.endsWith(QLatin1String(".sig")) ? signatureSizeLimit : unstatedSizeLimit;
}

DownloadTaskSpecification::DownloadTaskSpecification(QNetworkAccessManager *manager,
                                                     const QString &remoteName, int version,
                                                     const QString &localPath, qint64 expectedSize,
                                                     QObject *parent, double weight)
    : TaskSpecification(parent, weight)
    , m_Manager(manager)
    , m_Reply(nullptr)
    , m_StallCount(0)
    , m_RemoteName(remoteName)
    , m_Version(version)
    , m_File(localPath)
    , m_RetryCount(0)
    , m_LastPolledReceived(0)
    , m_Total(expectedSize)
    , m_ExpectedSize(expectedSize)
    , m_Received(0)
    , m_PartPath(partialPath(localPath))
    , m_SizeLimit(sizeLimitFor(remoteName, expectedSize))
{ }

DownloadTaskSpecification::~DownloadTaskSpecification()
{
    if (m_Reply) {
        disconnect(m_Reply, nullptr, this, nullptr);
        m_Reply->deleteLater();
        m_Reply = nullptr;
    }
    if (m_PartFile.isOpen()) {
        m_PartFile.close();
        QFile::remove(m_PartPath);
    }
}

QString DownloadTaskSpecification::partialPath(const QString &localPath)
{
    return localPath + QStringLiteral("_part_");
}

void DownloadTaskSpecification::execute()
{
    qDebug() << "Downloading" << m_RemoteName;
    emit message(tr("Downloading %1").arg(m_RemoteName));
    state = Running;
    startDownload();
}

void DownloadTaskSpecification::startDownload()
{
    // Every attempt starts from nothing: a file of an earlier run at the local path goes, as a
    // truncating open would have dropped its content.
    const bool cleared = !m_File.exists() || m_File.remove();
    if (!cleared || !openPartFile()) {
        emit error(tr("Unable to create file %1 for saving").arg(m_File.fileName()));
        fail();
        return;
    }

    const QUrl url(Configuration::getImageServerUrl() + QString::number(m_Version)
                       + QLatin1Char('/') + m_RemoteName,
                   QUrl::TolerantMode);
    QNetworkRequest request(url);
    askForPlainBody(&request);
    qDebug() << "Requesting download of" << url;

    m_Reply = m_Manager ? m_Manager->get(request) : nullptr;
    if (!m_Reply) {
        closeDownload();
        emit error(tr("Download failed to initialize"));
        fail();
        return;
    }
    if (m_Reply->isFinished()) {
        retryOrFail(m_Reply->errorString());
        return;
    }
    connect(m_Reply, &QNetworkReply::downloadProgress, this,
            &DownloadTaskSpecification::onDownloadProgress);
    connect(m_Reply, &QNetworkReply::readyRead, this, &DownloadTaskSpecification::onReadyRead);
    connect(m_Reply, &QNetworkReply::finished, this,
            &DownloadTaskSpecification::onDownloadFinished);
    connect(m_Reply, &QNetworkReply::metaDataChanged, this,
            &DownloadTaskSpecification::onMetaDataChanged);
}

// Whatever lies at the part name (a link planted by someone else, a file of an earlier run) is
// removed, never written through, and the part file is made anew for this attempt alone.
bool DownloadTaskSpecification::openPartFile()
{
    const int fd = createFileExclusively(m_PartPath);
    if (fd < 0) {
        qDebug() << "Cannot create" << m_PartPath << strerror(errno);
        return false;
    }
    if (!m_PartFile.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        QFile::remove(m_PartPath);
        return false;
    }
    return true;
}

QString DownloadTaskSpecification::tooLargeText() const
{
    return tr("Download of %1 exceeds %2 bytes").arg(m_RemoteName).arg(m_SizeLimit);
}

bool DownloadTaskSpecification::writeReceivedData()
{
    char buffer[chunkSize];
    while (m_Reply) {
        const qint64 available = m_Reply->bytesAvailable();
        if (available <= 0)
            return true;
        const qint64 count = m_Reply->read(buffer, qMin(available, chunkSize));
        if (count == 0)
            return true;
        if (count < 0) {
            retryOrFail(m_Reply->errorString());
            return false;
        }
        // Checked before writing: not a byte past the limit reaches the disk.
        if (count > m_SizeLimit - m_Received) {
            qDebug() << "Download too large:" << m_RemoteName << m_Received + count << "of at most"
                     << m_SizeLimit;
            retryOrFail(tooLargeText());
            return false;
        }
        const qint64 written = m_PartFile.write(buffer, count);
        if (written < 0) {
            retryOrFail(m_PartFile.errorString());
            return false;
        }
        if (written < count) {
            retryOrFail(tr("Error writing to file %1. Should write %2 bytes but wrote %3 bytes")
                            .arg(m_File.fileName())
                            .arg(count)
                            .arg(written));
            return false;
        }
        m_Received += count;
        if (m_Total > 0)
            setProgress(qMin(1.0, double(m_Received) / double(m_Total)));
    }
    return true;
}

void DownloadTaskSpecification::onDownloadProgress(qlonglong bytesReceived, qlonglong bytesTotal)
{
    Q_UNUSED(bytesReceived);
    if (bytesTotal > 0 && m_Total == -1)
        m_Total = bytesTotal;
}

void DownloadTaskSpecification::onReadyRead()
{
    writeReceivedData();
}

void DownloadTaskSpecification::onMetaDataChanged()
{
    if (!m_Reply)
        return;
    const QVariant status = m_Reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && status.toInt() != 200) {
        retryOrFail(tr("%1 returned %2").arg(m_RemoteName).arg(status.toInt()));
        return;
    }
    // Asked for as it is; an encoded body is refused rather than unpacked.
    const QByteArray encoding = bodyEncoding(m_Reply);
    if (!encoding.isEmpty()) {
        qDebug() << "Download sent encoded:" << m_RemoteName << encoding;
        retryOrFail(tr("Download of %1 was sent with the encoding '%2'")
                        .arg(m_RemoteName, QString::fromLatin1(encoding)));
        return;
    }
    const QVariant length = m_Reply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() > m_SizeLimit) {
        qDebug() << "Download announced too large:" << m_RemoteName << length.toLongLong()
                 << "of at most" << m_SizeLimit;
        retryOrFail(tooLargeText());
    }
}

void DownloadTaskSpecification::onDownloadFinished()
{
    if (!m_Reply)
        return;
    if (m_Reply->error() != QNetworkReply::NoError) {
        if (m_Reply->error() == QNetworkReply::AuthenticationRequiredError)
            m_Reply->close();
        retryOrFail(m_Reply->errorString());
        return;
    }
    // A receiver of the progress may have cancelled the task while the last bytes were written.
    if (!writeReceivedData() || !m_Reply)
        return;

    QString reason;
    if (!completeFile(&reason)) {
        retryOrFail(reason);
        return;
    }
    m_Reply->close();
    m_Reply->deleteLater();
    m_Reply = nullptr;
    downloadFinished();
}

// Checks that the reply delivered everything and moves the bytes to the local path.
bool DownloadTaskSpecification::completeFile(QString *reason)
{
    // A reply that never got a status line (or got another one) is no file.
    const QVariant status = m_Reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.toInt() != 200) {
        *reason = tr("%1 returned %2").arg(m_RemoteName).arg(status.toInt());
        return false;
    }
    // A connection closed by the server mid-body does not always end as an error, so the byte
    // count is the only proof of a whole file.
    const QVariant length = m_Reply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() != m_Received) {
        qDebug() << "Download ended early:" << m_RemoteName << m_Received << "of"
                 << length.toLongLong();
        *reason = tr("Download of %1 ended after %2 of %3 bytes")
                      .arg(m_RemoteName)
                      .arg(m_Received)
                      .arg(length.toLongLong());
        return false;
    }
    // Buffered bytes that cannot be written out (disk full) show only here.
    if (!m_PartFile.flush()) {
        *reason = m_PartFile.errorString();
        return false;
    }
    m_PartFile.close();
    QFile part(m_PartPath);
    const QString moveText
        = tr("Could not move '%1' to '%2'").arg(part.fileName(), m_File.fileName());
    if (m_File.exists() && !m_File.remove()) {
        *reason = withSystemReason(moveText, m_File.errorString());
        return false;
    }
    if (!part.rename(m_File.fileName())) {
        *reason = withSystemReason(moveText, part.errorString());
        return false;
    }
    return true;
}

void DownloadTaskSpecification::getDownloadProgress(qulonglong *done, qulonglong *total,
                                                    qulonglong *speed, bool *downloading)
{
    *done = qulonglong(m_Received);
    *total = m_Total < 0 ? 0 : qulonglong(m_Total);
    *speed = qulonglong(qMax<qint64>(0, m_Received - m_LastPolledReceived));
    const qint64 previousReceived = m_LastPolledReceived;
    m_LastPolledReceived = m_Received;

    if (state == Running && m_Reply) {
        // Fewer new bytes than the minimum count as none, unless they were the last ones (a
        // complete file still waiting for its reply to end); a silent poll always counts.
        const qint64 arrived = m_Received - previousReceived;
        const bool complete = m_Total > 0 && m_Received >= m_Total;
        if (arrived >= stallMinBytes || (complete && arrived > 0))
            m_StallCount = 0;
        const int previous = m_StallCount++;
        if (previous >= stallPollLimit)
            retryOrFail(tr("file %1 timed out").arg(m_RemoteName));
        else
            *downloading = true;
    }
}

bool DownloadTaskSpecification::retryOrFail(const QString &reason)
{
    closeDownload();
    emit message(reason);
    // A receiver of the message may have ended the task; an ended task starts nothing.
    if (state != Running)
        return false;
    const int previous = m_RetryCount++;
    if (previous < maxRestarts) {
        startDownload();
        return true;
    }
    emit message(tr("Unable to download %1").arg(m_RemoteName));
    m_File.remove();
    fail();
    return false;
}

void DownloadTaskSpecification::closeDownload()
{
    if (m_Reply) {
        QNetworkReply *reply = m_Reply;
        m_Reply = nullptr;
        disconnect(reply, nullptr, this, nullptr);
        // Deleting the reply drops its connection; not at once, as this may run inside one
        // of its own signals.
        reply->deleteLater();
    }
    m_StallCount = 0;
    if (m_PartFile.isOpen())
        m_PartFile.close();
    // Removes a link put in its place too, not what the link points to.
    QFile::remove(m_PartPath);
    m_LastPolledReceived = 0;
    m_Total = m_ExpectedSize;
    m_Received = 0;
    setProgress(0.0);
}

void DownloadTaskSpecification::cancel()
{
    TaskSpecification::cancel();
    if (state != Running)
        return;
    closeDownload();
    abort();
}

void DownloadTaskSpecification::handleOtherTaskCancelled(TaskSpecification *other)
{
    Q_UNUSED(other);
    if (m_Reply)
        emit message(tr("Abort downloading %1").arg(m_RemoteName));
    closeDownload();
    fail();
}

void DownloadTaskSpecification::reset()
{
    closeDownload();
    m_RetryCount = 0;
    TaskSpecification::reset();
}

void DownloadTaskSpecification::downloadFinished()
{
    qDebug() << "Download finished:" << m_RemoteName << m_File.fileName() << m_File.isOpen()
             << m_File.exists();
    if (!m_File.exists()) {
        // Gone between the rename and now: nothing that a later step could use.
        emit message(tr("Unable to download %1").arg(m_RemoteName));
        fail();
        return;
    }
    emit message(tr("Downloading %1 finished").arg(m_RemoteName));
    finish();
}

void DownloadTaskSpecification::onOtherDownloadFinished(QNetworkReply *reply)
{
    Q_UNUSED(reply);
    disconnect(m_Manager, nullptr, this, nullptr);
    if (!m_Reply && state == Running)
        startDownload();
}
