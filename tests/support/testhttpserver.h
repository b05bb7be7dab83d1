// A small HTTP/1.1 server inside the test process, for tests of anything that downloads.
//
// It listens on 127.0.0.1 on a port the system picks, runs on the thread that creates it (so
// the test must let the event loop run: QSignalSpy::wait, QTRY_*), answers every request with
// "Connection: close" and never lets a byte leave loopback.
//
//   TestHttpServer server;
//   server.setFileRoot(dir);                          // GET /a/b -> dir/a/b, or 404
//   server.setReply("/v", TestHttpServer::Reply::ok(body));
//   server.setReply("/gone", TestHttpServer::Reply::withStatus(404, "not here"));
//   TestHttpServer::Reply stall = TestHttpServer::Reply::ok(big);
//   stall.behaviour = TestHttpServer::StallAfter;     // headers + 100 bytes, then silence
//   stall.cutAfter = 100;
//   server.setReplies("/f", {stall, TestHttpServer::Reply::ok(big)});  // per request, last repeats
//   TestHttpServer::Reply flood = TestHttpServer::Reply::endless("x", 8 << 20);  // no length,
//                                                     // body repeated until 8 MiB or the client
//                                                     // closes
//   TestHttpServer::Reply packed = TestHttpServer::Reply::ok(gzipped);
//   packed.headers.append({"Content-Encoding", "gzip"});   // any extra header
//   QUrl url = server.url("/v");
//   ... server.requestCount("/f") ...
//
// Requests in proxy form ("GET http://host/path") are answered like "GET /path", so the server
// also serves as an HTTP proxy. Replies are looked up by path without query; the canned replies
// win over the file root.
//
// Note: Qt does not always report a connection that the server closes or resets mid-body as an
// error; a client must compare the bytes it got with the Content-Length.
#ifndef TESTHTTPSERVER_H
#define TESTHTTPSERVER_H

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <functional>

class QTcpServer;
class QTcpSocket;

class TestHttpServer : public QObject
{
    Q_OBJECT

public:
    enum Behaviour {
        Complete, // the whole reply
        StallAfter, // headers and cutAfter body bytes, then nothing until the client gives up
        CloseAfter, // headers and cutAfter body bytes, then the connection is closed
        NeverAnswer, // reads the request and sends nothing
        Endless, // the body over and over, cutAfter bytes in all (a bound for the test), then
                 // the connection is closed; sent without Content-Length
    };

    struct Reply
    {
        int status = 200;
        QByteArray body;
        QByteArray contentType = "application/octet-stream";
        // Sent as Location (use with 302).
        QByteArray location;
        // Waits this long before sending anything.
        int delayMs = 0;
        Behaviour behaviour = Complete;
        qint64 cutAfter = 0;
        // With chunkSize > 0 the body goes out in pieces of that size, chunkIntervalMs apart.
        int chunkSize = 0;
        int chunkIntervalMs = 0;
        // With chunkSize > 0: each piece after the first waits for sendNextPieces instead of
        // the interval, so a test decides what arrives between two of its steps.
        bool pacedByTest = false;
        // Sent as Content-Length instead of the body's size when not negative.
        qint64 announcedLength = -1;
        // Without it no Content-Length is sent and the body ends where the connection does.
        bool sendLength = true;
        // Sent after the others, in this order (Content-Encoding, say).
        QList<QPair<QByteArray, QByteArray>> headers;

        static Reply ok(const QByteArray &body);
        static Reply withStatus(int code, const QByteArray &body = QByteArray());
        static Reply redirect(const QByteArray &location);
        static Reply endless(const QByteArray &pattern, qint64 bound);
    };

    struct Request
    {
        QByteArray method;
        QByteArray target; // as sent, query included
        QString path; // without scheme, host and query
        QMap<QByteArray, QByteArray> headers; // names in lower case
        bool proxyForm = false;
    };

    explicit TestHttpServer(QObject *parent = nullptr);
    ~TestHttpServer() override;

    bool isListening() const;
    quint16 port() const;
    // "http://127.0.0.1:<port>" + path.
    QUrl url(const QString &path) const;
    // "http://127.0.0.1:<port>/"
    QString baseUrl() const;

    void setFileRoot(const QString &dir);
    void setReply(const QString &path, const Reply &reply);
    // One reply per request in order; the last one repeats.
    void setReplies(const QString &path, const QList<Reply> &replies);
    // For paths with neither a canned reply nor a file (default: 404).
    void setDefaultReply(const Reply &reply);
    void clearReplies();

    int requestCount(const QString &path) const;
    int totalRequestCount() const;
    QList<Request> requests() const;

    // Closes every open connection at once (stalled ones included).
    void abortConnections();
    // Sends the next piece of every reply paced by the test.
    void sendNextPieces();

signals:
    void requestReceived(const QString &path);

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    void handleRequest(QTcpSocket *socket, const Request &request);
    Reply replyFor(const Request &request);
    void sendReply(QTcpSocket *socket, const Reply &reply);
    void sendBodyFrom(QTcpSocket *socket, const Reply &reply, qint64 offset);
    void finishReply(QTcpSocket *socket, const Reply &reply);
    void dropSocket(QTcpSocket *socket);

    QTcpServer *m_server;
    QString m_fileRoot;
    QHash<QString, QList<Reply>> m_replies;
    QHash<QString, int> m_served;
    Reply m_defaultReply;
    QList<Request> m_requests;
    QHash<QTcpSocket *, QByteArray> m_buffers;
    QList<QPointer<QTcpSocket>> m_sockets;
    QList<std::function<void()>> m_nextPieces;
};

#endif // TESTHTTPSERVER_H
