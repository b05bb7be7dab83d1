#include "httpdownloader.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

HTTPDownloader::HTTPDownloader(const QNetworkRequest &request)
    : QThread(nullptr)
    , m_request(request)
{
    // Deleted by the thread that owns the object, and only once run() has returned.
    connect(this, &QThread::finished, this, &QObject::deleteLater);
}

HTTPDownloader::~HTTPDownloader()
{
    wait();
}

void HTTPDownloader::setTimeLimit(int msecs)
{
    m_timeLimit = msecs;
}

void HTTPDownloader::run()
{
    QNetworkAccessManager *manager = new QNetworkAccessManager;
    // The reply belongs to this thread, so it is read here; the result reaches the creator
    // through the queued download_available.
    connect(
        manager, &QNetworkAccessManager::finished, manager,
        [this](QNetworkReply *reply) { on_downloadFinished(reply); }, Qt::DirectConnection);
    QNetworkReply *reply = manager->get(m_request);

    // An aborted reply finishes with an error, which ends the query like any failed one.
    QTimer limit;
    if (m_timeLimit > 0) {
        limit.setSingleShot(true);
        connect(&limit, &QTimer::timeout, reply, &QNetworkReply::abort);
        limit.start(m_timeLimit);
    }

    exec();
    limit.stop();
    delete manager;
}

void HTTPDownloader::on_downloadFinished(QNetworkReply *reply)
{
    QByteArray data;
    if (reply->error() == QNetworkReply::NoError)
        data = reply->readAll();
    emit download_available(data);
    reply->deleteLater();
    quit();
}
