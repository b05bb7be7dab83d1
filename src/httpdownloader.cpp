#include "httpdownloader.h"

#include "plainbody.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

HTTPDownloader::HTTPDownloader(const QNetworkRequest &request)
    : QThread(nullptr)
    , m_request(request)
{
    askForPlainBody(&m_request);
    // Deleted by the thread that owns the object, and only once run() has returned.
    connect(this, &QThread::finished, this, &QObject::deleteLater);
}

HTTPDownloader::~HTTPDownloader()
{
    // Still running when its owner goes (the program ends during the query): stop the
    // request rather than leave a thread behind that outlives everything it uses.
    quit();
    wait();
}

void HTTPDownloader::setTimeLimit(int msecs)
{
    m_timeLimit = msecs;
}

void HTTPDownloader::setSizeLimit(qint64 bytes)
{
    m_sizeLimit = bytes;
}

void HTTPDownloader::setProxy(const QNetworkProxy &proxy)
{
    m_proxy = proxy;
}

void HTTPDownloader::run()
{
    QNetworkAccessManager *manager = new QNetworkAccessManager;
    manager->setProxy(m_proxy);
    // The reply belongs to this thread, so it is read here; the result reaches the creator
    // through the queued download_available.
    connect(
        manager, &QNetworkAccessManager::finished, manager,
        [this](QNetworkReply *reply) { on_downloadFinished(reply); }, Qt::DirectConnection);
    QNetworkReply *reply = manager->get(m_request);
    m_body.clear();
    m_refused = false;
    auto refuse = [this, reply]() {
        m_refused = true;
        reply->abort();
    };
    // A server may encode the body all the same; it is refused, not unpacked.
    connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, refuse]() {
        const QByteArray encoding = bodyEncoding(reply);
        if (!encoding.isEmpty()) {
            qDebug() << "Reply of" << reply->url().toString() << "sent with the encoding"
                     << encoding;
            refuse();
        }
    });
    if (m_sizeLimit > 0) {
        // Read as it comes, so that an oversized body is never held whole.
        connect(reply, &QNetworkReply::metaDataChanged, reply, [this, reply, refuse]() {
            if (m_refused)
                return;
            const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
            if (length.isValid() && length.toLongLong() > m_sizeLimit)
                refuse();
        });
        connect(reply, &QIODevice::readyRead, reply, [this, reply, refuse]() {
            if (m_refused)
                return;
            m_body += reply->read(m_sizeLimit + 1 - m_body.size());
            if (m_body.size() > m_sizeLimit)
                refuse();
        });
    }

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
    if (reply->error() == QNetworkReply::NoError && !m_refused) {
        data = m_body + reply->readAll();
        if (m_sizeLimit > 0 && data.size() > m_sizeLimit)
            data.clear();
    }
    m_body.clear();
    emit download_available(data);
    reply->deleteLater();
    quit();
}
