#include "plainbody.h"

#include <QNetworkReply>
#include <QNetworkRequest>

void askForPlainBody(QNetworkRequest *request)
{
    request->setRawHeader("Accept-Encoding", "identity");
}

QByteArray bodyEncoding(const QNetworkReply *reply)
{
    const QByteArray encoding = reply->rawHeader("Content-Encoding").trimmed();
    return encoding.toLower() == "identity" ? QByteArray() : encoding;
}
