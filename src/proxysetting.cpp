#include "proxysetting.h"

#include <QStringList>
#include <QUrl>

bool proxyFromSetting(const QString &text, QNetworkProxy *proxy)
{
    if (text.isEmpty()) {
        *proxy = QNetworkProxy(QNetworkProxy::NoProxy);
        return true;
    }
    // Most settings read "host:port"; without a scheme QUrl would take the host for one.
    const QString address
        = text.contains(QLatin1String("://")) ? text : QStringLiteral("http://") + text;
    const QUrl url(address, QUrl::TolerantMode);
    if (!url.isValid() || url.host().isEmpty())
        return false;
    // Only an HTTP proxy is spoken to; a SOCKS or TLS proxy addressed as one would fail every
    // request, and port 0 reaches no server.
    if (url.scheme() != QLatin1String("http") || url.port() == 0)
        return false;
    *proxy = QNetworkProxy(QNetworkProxy::HttpProxy, url.host(QUrl::FullyDecoded),
                           static_cast<quint16>(url.port(3128)), QString(), QString());
    return true;
}

QString proxySettingText(const QVariant &value)
{
    if (value.type() == QVariant::StringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}
