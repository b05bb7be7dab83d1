#include "testhttpserver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

namespace {

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 206:
        return "Partial Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

} // namespace

TestHttpServer::Reply TestHttpServer::Reply::ok(const QByteArray &body)
{
    Reply reply;
    reply.body = body;
    return reply;
}

TestHttpServer::Reply TestHttpServer::Reply::withStatus(int code, const QByteArray &body)
{
    Reply reply;
    reply.status = code;
    reply.body = body;
    reply.contentType = "text/plain";
    return reply;
}

TestHttpServer::Reply TestHttpServer::Reply::redirect(const QByteArray &location)
{
    Reply reply;
    reply.status = 302;
    reply.location = location;
    reply.contentType = "text/plain";
    return reply;
}

TestHttpServer::Reply TestHttpServer::Reply::endless(const QByteArray &pattern, qint64 bound)
{
    Reply reply;
    reply.body = pattern.isEmpty() ? QByteArray("x") : pattern;
    reply.behaviour = Endless;
    reply.cutAfter = bound;
    reply.sendLength = false;
    return reply;
}

TestHttpServer::TestHttpServer(QObject *parent)
    : QObject(parent)
    , m_server(new QTcpServer(this))
    , m_defaultReply(Reply::withStatus(404, "Not found"))
{
    connect(m_server, &QTcpServer::newConnection, this, &TestHttpServer::onNewConnection);
    m_server->listen(QHostAddress::LocalHost, 0);
}

TestHttpServer::~TestHttpServer()
{
    // Sockets must not reach our handlers while we are half destroyed.
    abortConnections();
    m_server->close();
}

bool TestHttpServer::isListening() const
{
    return m_server->isListening();
}

quint16 TestHttpServer::port() const
{
    return m_server->serverPort();
}

QUrl TestHttpServer::url(const QString &path) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path));
}

QString TestHttpServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1/").arg(port());
}

void TestHttpServer::setFileRoot(const QString &dir)
{
    m_fileRoot = QDir::cleanPath(QDir(dir).absolutePath());
}

void TestHttpServer::setReply(const QString &path, const Reply &reply)
{
    setReplies(path, {reply});
}

void TestHttpServer::setReplies(const QString &path, const QList<Reply> &replies)
{
    m_replies.insert(path, replies);
    m_served.remove(path);
}

void TestHttpServer::setDefaultReply(const Reply &reply)
{
    m_defaultReply = reply;
}

void TestHttpServer::clearReplies()
{
    m_replies.clear();
    m_served.clear();
}

int TestHttpServer::requestCount(const QString &path) const
{
    return int(std::count_if(m_requests.begin(), m_requests.end(),
                             [&](const Request &request) { return request.path == path; }));
}

int TestHttpServer::totalRequestCount() const
{
    return m_requests.size();
}

QList<TestHttpServer::Request> TestHttpServer::requests() const
{
    return m_requests;
}

void TestHttpServer::abortConnections()
{
    const QList<QPointer<QTcpSocket>> sockets = m_sockets;
    m_sockets.clear();
    for (const QPointer<QTcpSocket> &socket : sockets) {
        if (!socket)
            continue;
        disconnect(socket, nullptr, this, nullptr);
        socket->abort();
        m_buffers.remove(socket);
        delete socket.data();
    }
    m_buffers.clear();
}

void TestHttpServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        m_sockets.append(socket);
        m_buffers.insert(socket, QByteArray());
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] { dropSocket(socket); });
    }
}

void TestHttpServer::onReadyRead(QTcpSocket *socket)
{
    auto it = m_buffers.find(socket);
    if (it == m_buffers.end()) {
        socket->readAll(); // already answered; one request per connection
        return;
    }
    it->append(socket->readAll());
    const int end = it->indexOf("\r\n\r\n");
    if (end < 0)
        return;
    const QList<QByteArray> lines = it->left(end).split('\n');
    m_buffers.erase(it);

    Request request;
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    request.method = requestLine.value(0);
    request.target = requestLine.value(1);
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines[i].indexOf(':');
        if (colon > 0)
            request.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                   lines[i].mid(colon + 1).trimmed());
    }
    request.proxyForm = request.target.startsWith("http://");
    const QUrl parsed = QUrl::fromEncoded(request.proxyForm ? request.target
                                                            : "http://localhost" + request.target);
    request.path = parsed.path();
    handleRequest(socket, request);
}

void TestHttpServer::handleRequest(QTcpSocket *socket, const Request &request)
{
    m_requests.append(request);
    const Reply reply = replyFor(request);
    emit requestReceived(request.path);
    if (reply.delayMs > 0)
        QTimer::singleShot(reply.delayMs, socket,
                           [this, socket, reply] { sendReply(socket, reply); });
    else
        sendReply(socket, reply);
}

TestHttpServer::Reply TestHttpServer::replyFor(const Request &request)
{
    const auto canned = m_replies.constFind(request.path);
    if (canned != m_replies.constEnd() && !canned->isEmpty()) {
        const int index = m_served[request.path]++;
        return canned->at(std::min(index, canned->size() - 1));
    }
    if (!m_fileRoot.isEmpty()) {
        const QString file = QDir::cleanPath(m_fileRoot + QLatin1Char('/') + request.path);
        if (file.startsWith(m_fileRoot + QLatin1Char('/')) && QFileInfo(file).isFile()) {
            QFile in(file);
            if (in.open(QIODevice::ReadOnly))
                return Reply::ok(in.readAll());
        }
    }
    return m_defaultReply;
}

void TestHttpServer::sendReply(QTcpSocket *socket, const Reply &reply)
{
    if (reply.behaviour == NeverAnswer)
        return;
    QByteArray head = "HTTP/1.1 " + QByteArray::number(reply.status) + ' '
        + reasonPhrase(reply.status) + "\r\n";
    head += "Content-Type: " + reply.contentType + "\r\n";
    if (reply.sendLength)
        head += "Content-Length: "
            + QByteArray::number(reply.announcedLength >= 0 ? reply.announcedLength
                                                            : qint64(reply.body.size()))
            + "\r\n";
    if (!reply.location.isEmpty())
        head += "Location: " + reply.location + "\r\n";
    for (const QPair<QByteArray, QByteArray> &header : reply.headers)
        head += header.first + ": " + header.second + "\r\n";
    head += "Connection: close\r\n\r\n";
    socket->write(head);
    sendBodyFrom(socket, reply, 0);
}

// The endless body's bytes from offset on, the pattern repeated.
static QByteArray repeatedBody(const QByteArray &pattern, qint64 offset, qint64 count)
{
    QByteArray out;
    out.reserve(int(count));
    while (out.size() < count) {
        const qint64 at = (offset + out.size()) % pattern.size();
        out.append(pattern.constData() + at,
                   int(std::min<qint64>(pattern.size() - at, count - out.size())));
    }
    return out;
}

void TestHttpServer::sendBodyFrom(QTcpSocket *socket, const Reply &reply, qint64 offset)
{
    if (reply.behaviour == Endless) {
        // In pieces, so that a client that closes early stops the flood.
        const qint64 limit = std::max<qint64>(reply.cutAfter, 0);
        const qint64 piece
            = std::min<qint64>(reply.chunkSize > 0 ? reply.chunkSize : 65536, limit - offset);
        if (piece > 0)
            socket->write(repeatedBody(reply.body, offset, piece));
        const qint64 next = offset + piece;
        if (next >= limit) {
            finishReply(socket, reply);
            return;
        }
        QTimer::singleShot(std::max(reply.chunkIntervalMs, 0), socket,
                           [this, socket, reply, next] { sendBodyFrom(socket, reply, next); });
        return;
    }
    const qint64 limit = reply.behaviour == Complete
        ? reply.body.size()
        : std::min<qint64>(std::max<qint64>(reply.cutAfter, 0), reply.body.size());
    if (reply.chunkSize <= 0) {
        socket->write(reply.body.constData() + offset, limit - offset);
        finishReply(socket, reply);
        return;
    }
    const qint64 piece = std::min<qint64>(reply.chunkSize, limit - offset);
    socket->write(reply.body.constData() + offset, piece);
    const qint64 next = offset + piece;
    if (next >= limit) {
        finishReply(socket, reply);
        return;
    }
    if (reply.pacedByTest) {
        const QPointer<QTcpSocket> guarded(socket);
        m_nextPieces.append([this, guarded, reply, next] {
            if (guarded)
                sendBodyFrom(guarded.data(), reply, next);
        });
        return;
    }
    QTimer::singleShot(std::max(reply.chunkIntervalMs, 0), socket,
                       [this, socket, reply, next] { sendBodyFrom(socket, reply, next); });
}

void TestHttpServer::sendNextPieces()
{
    const QList<std::function<void()>> pieces = m_nextPieces;
    m_nextPieces.clear();
    for (const std::function<void()> &send : pieces)
        send();
}

void TestHttpServer::finishReply(QTcpSocket *socket, const Reply &reply)
{
    // A stalled reply keeps its connection open until the client or abortConnections ends it.
    if (reply.behaviour == StallAfter)
        return;
    socket->disconnectFromHost();
}

void TestHttpServer::dropSocket(QTcpSocket *socket)
{
    m_buffers.remove(socket);
    m_sockets.removeAll(socket);
    socket->deleteLater();
}
