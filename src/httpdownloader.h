// One HTTP GET on a thread of its own, with its own network manager. The whole body (empty on
// any error) comes back through download_available; afterwards the object deletes itself, so
// its creator must not keep a pointer to it.
#ifndef HTTPDOWNLOADER_H
#define HTTPDOWNLOADER_H

#include <QByteArray>
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

signals:
    void download_available(QByteArray data);

protected:
    void run() override;

private slots:
    virtual void on_downloadFinished(QNetworkReply *reply);

private:
    QNetworkRequest m_request;
    int m_timeLimit = 0;
};

#endif // HTTPDOWNLOADER_H
