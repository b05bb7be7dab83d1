#ifndef DOWNLOADTASKSPECIFICATION_H
#define DOWNLOADTASKSPECIFICATION_H

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
    // Restarts after the first attempt.
    static constexpr int maxRestarts = 4;

    static QString partialPath(const QString &localPath);

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
    // What the current attempt writes into.
    QFile m_PartFile;
};

#endif // DOWNLOADTASKSPECIFICATION_H
