#include "httpdownloader.h"

#include "plainbody.h"

#include <QDebug>
#include <QMetaEnum>
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

namespace {

QString statusText(const QNetworkReply *reply)
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        return QStringLiteral("no HTTP status");
    const QString phrase
        = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString().trimmed();
    return QStringLiteral("HTTP status %1 %2")
        .arg(QString::number(status.toInt()), phrase)
        .trimmed();
}

} // namespace

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
    m_failure.clear();
    auto refuse = [this, reply](const QString &reason) {
        m_failure = reason;
        // Qt reports an error status (404, 500) itself right after the headers; aborting such
        // a reply as well would make it report the end twice.
        QMetaObject::invokeMethod(
            reply,
            [reply]() {
                if (reply->error() == QNetworkReply::NoError)
                    reply->abort();
            },
            Qt::QueuedConnection);
    };
    connect(reply, &QNetworkReply::metaDataChanged, reply, [this, reply, refuse]() {
        if (!m_failure.isEmpty())
            return;
        // Only the whole body is an answer: a part (206), a redirect or an error page is not.
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (status.isValid() && status.toInt() != 200) {
            refuse(statusText(reply));
            return;
        }
        // A server may encode the body all the same; it is refused, not unpacked.
        const QByteArray encoding = bodyEncoding(reply);
        if (!encoding.isEmpty()) {
            qDebug() << "Reply of" << reply->url().toString() << "sent with the encoding"
                     << encoding;
            refuse(QStringLiteral("sent with the encoding %1").arg(QString::fromLatin1(encoding)));
            return;
        }
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (m_sizeLimit > 0 && length.isValid() && length.toLongLong() > m_sizeLimit)
            refuse(QStringLiteral("announced %1 bytes, more than %2")
                       .arg(length.toLongLong())
                       .arg(m_sizeLimit));
    });
    if (m_sizeLimit > 0) {
        // Read as it comes, so that an oversized body is never held whole.
        connect(reply, &QIODevice::readyRead, reply, [this, reply, refuse]() {
            if (!m_failure.isEmpty())
                return;
            m_body += reply->read(m_sizeLimit + 1 - m_body.size());
            if (m_body.size() > m_sizeLimit)
                refuse(QStringLiteral("more than %1 bytes").arg(m_sizeLimit));
        });
    }

    // An aborted reply finishes with an error, which ends the query like any failed one.
    QTimer limit;
    if (m_timeLimit > 0) {
        limit.setSingleShot(true);
        connect(&limit, &QTimer::timeout, reply, [this, refuse]() {
            refuse(QStringLiteral("no answer within %1 ms").arg(m_timeLimit));
        });
        limit.start(m_timeLimit);
    }

    exec();
    limit.stop();
    delete manager;
}

void HTTPDownloader::on_downloadFinished(QNetworkReply *reply)
{
    QByteArray data;
    QString failure = m_failure;
    if (failure.isEmpty() && reply->error() != QNetworkReply::NoError)
        failure = QStringLiteral("network error %1 (%2): %3")
                      .arg(QString::fromLatin1(
                               QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(
                                   reply->error())),
                           QString::number(int(reply->error())), reply->errorString());
    if (failure.isEmpty()
        && reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() != 200)
        failure = statusText(reply);
    if (failure.isEmpty()) {
        data = m_body + reply->readAll();
        if (m_sizeLimit > 0 && data.size() > m_sizeLimit) {
            failure = QStringLiteral("more than %1 bytes").arg(m_sizeLimit);
            data.clear();
        }
    }
    if (!failure.isEmpty()) {
        const QString proxy = m_proxy.type() == QNetworkProxy::HttpProxy
            ? QStringLiteral("through the proxy %1:%2").arg(m_proxy.hostName()).arg(m_proxy.port())
            : QStringLiteral("without a proxy");
        qWarning() << "HTTPDownloader::on_downloadFinished"
                   << "GET" << m_request.url().toString() << proxy << "failed:" << failure;
    }
    m_body.clear();
    emit download_available(data);
    reply->deleteLater();
    quit();
}
