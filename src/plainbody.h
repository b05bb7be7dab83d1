// Replies are taken only as sent: Qt would otherwise ask for gzip and unpack a body in memory,
// past every size bound of its reader.
#ifndef PLAINBODY_H
#define PLAINBODY_H

#include <QByteArray>

class QNetworkReply;
class QNetworkRequest;

// Asks for the body as it is (Accept-Encoding: identity), so that Qt unpacks nothing.
void askForPlainBody(QNetworkRequest *request);

// The Content-Encoding the reply names, as sent but trimmed; empty for a plain body (none, or
// "identity" in any letter case).
QByteArray bodyEncoding(const QNetworkReply *reply);

#endif // PLAINBODY_H
