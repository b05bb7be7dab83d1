#ifndef DOWNLOADTASKSPECIFICATION_H
#define DOWNLOADTASKSPECIFICATION_H

#include "checksigfunc.h"
#include "taskspecification.h"

#include <QFile>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;

// Fetches one file of the image server into one local file. A failed or stalled transfer is
// started again from the first byte, five attempts in all. The stall clock is the engine's
// once-a-second call of getDownloadProgress.
//
// The bytes go to a sibling file with the suffix "_part_" (as the unpack tasks use) that is renamed
// to the local path only once the transfer is complete, so the local path never holds a partial
// download, not even after the process was killed.
//
// A transfer never writes more than its size limit: the expected size when the creator states
// one, else a fixed bound (small for a detached signature). A server that announces or sends
// more fails the attempt. So does a body sent encoded, which is never unpacked: a small one can
// unpack to any size in memory.
class DownloadTaskSpecification : public TaskSpecification
{
    Q_OBJECT

public:
    DownloadTaskSpecification(QNetworkAccessManager *manager, const QString &remoteName,
                              int version, const QString &localPath, qint64 expectedSize,
                              QObject *parent, double weight);
    ~DownloadTaskSpecification() override;

    void execute() override;
    void reset() override;
    void getDownloadProgress(qulonglong *done, qulonglong *total, qulonglong *speed,
                             bool *downloading) override;
    void cancel() override;
    void handleOtherTaskCancelled(TaskSpecification *other) override;

    virtual void downloadFinished();

    // Polls in a row without new data after which a transfer counts as stalled.
    static constexpr int stallPollLimit = 15;
    // A poll that saw fewer new bytes than this counts as one without data, so a trickle is
    // stopped like silence.
    static constexpr qint64 stallMinBytes = 1024;
    // Bounds of downloads whose size nobody states.
    static constexpr qint64 signatureSizeLimit = CheckSigFunc::maxSignatureSize;
    static constexpr qint64 unstatedSizeLimit = 64 * 1024 * 1024;
    // Restarts after the first attempt.
    static constexpr int maxRestarts = 4;

    static QString partialPath(const QString &localPath);
    // The most bytes a download of remoteName with the given expected size may bring; 0 or less
    // states no size.
    static qint64 sizeLimitFor(const QString &remoteName, qint64 expectedSize);

    qint64 sizeLimit() const { return m_SizeLimit; }
    void setSizeLimit(qint64 bytes) { m_SizeLimit = bytes; }

private slots:
    void onDownloadProgress(qlonglong bytesReceived, qlonglong bytesTotal);
    void onReadyRead();
    void onDownloadFinished();
    void onMetaDataChanged();
    void onOtherDownloadFinished(QNetworkReply *reply);

private:
    void startDownload();
    bool writeReceivedData();
    bool retryOrFail(const QString &reason);
    void closeDownload();
    bool completeFile(QString *reason);
    bool openPartFile();
    QString tooLargeText() const;

    QNetworkAccessManager *m_Manager;
    QNetworkReply *m_Reply;
    int m_StallCount;
    QString m_RemoteName;
    int m_Version;
    QFile m_File;
    int m_RetryCount;
    qint64 m_LastPolledReceived;
    qint64 m_Total;
    qint64 m_ExpectedSize;
    qint64 m_Received;
    // What the current attempt writes into, opened from a descriptor and so without a name.
    QString m_PartPath;
    QFile m_PartFile;
    qint64 m_SizeLimit;
};

#endif // DOWNLOADTASKSPECIFICATION_H
