// One HTTP GET on a thread of its own, with its own network manager. The whole body comes back
// through download_available, empty on any error, any HTTP status but 200 and for a body sent
// encoded (which is never unpacked); each failure is logged with the URL and its reason.
// Afterwards the object deletes itself, so its creator must not keep a plain pointer
// to it. Destroying it earlier ends the request and waits for its thread.
#ifndef HTTPDOWNLOADER_H
#define HTTPDOWNLOADER_H

#include <QByteArray>
#include <QNetworkProxy>
#include <QNetworkRequest>
#include <QThread>

class QNetworkReply;

class HTTPDownloader : public QThread
{
    Q_OBJECT

public:
    explicit HTTPDownloader(const QNetworkRequest &request);
    ~HTTPDownloader() override;

    // Aborts the request after msecs milliseconds (0 or less: no limit); set before start.
    void setTimeLimit(int msecs);
    // A body longer than bytes fails the request as soon as that is known (0 or less: no
    // limit); set before start.
    void setSizeLimit(qint64 bytes);
    // The proxy the request goes through (default: none); set before start.
    void setProxy(const QNetworkProxy &proxy);

signals:
    void download_available(QByteArray data);

protected:
    void run() override;

private slots:
    virtual void on_downloadFinished(QNetworkReply *reply);

private:
    QNetworkRequest m_request;
    int m_timeLimit = 0;
    qint64 m_sizeLimit = 0;
    QNetworkProxy m_proxy {QNetworkProxy::NoProxy};
    // Used on the download thread only.
    QByteArray m_body;
    // Why the reply was aborted (too large, encoded, not 200, too slow); empty while it is not.
    QString m_failure;
};

#endif // HTTPDOWNLOADER_H
