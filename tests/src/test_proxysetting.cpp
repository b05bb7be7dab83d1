#include "proxysetting.h"

#include <QNetworkProxy>

#include <gtest/gtest.h>

TEST(ProxySetting, TextsAsWrittenInUpdateIni)
{
    struct Case
    {
        const char *text;
        bool accepted;
        QNetworkProxy::ProxyType type; // when accepted
        const char *host;
        quint16 port;
    } cases[] = {
        {"", true, QNetworkProxy::NoProxy, "", 0},
        // Without a scheme, as most people write it.
        {"localhost:3128", true, QNetworkProxy::HttpProxy, "localhost", 3128},
        {"127.0.0.1:3128", true, QNetworkProxy::HttpProxy, "127.0.0.1", 3128},
        {"proxy.example", true, QNetworkProxy::HttpProxy, "proxy.example", 3128},
        {"proxy.example:8080", true, QNetworkProxy::HttpProxy, "proxy.example", 8080},
        {"http://proxy.example:8080", true, QNetworkProxy::HttpProxy, "proxy.example", 8080},
        {"http://proxy.example", true, QNetworkProxy::HttpProxy, "proxy.example", 3128},
        {"http://[::1]:8080", true, QNetworkProxy::HttpProxy, "::1", 8080},
        // Credentials in the text are not used.
        {"user:secret@proxy.example:8080", true, QNetworkProxy::HttpProxy, "proxy.example", 8080},
        // No host at all, or no valid URL.
        {"http://:3128", false, QNetworkProxy::NoProxy, "", 0},
        {":3128", false, QNetworkProxy::NoProxy, "", 0},
        {"http://[proxy", false, QNetworkProxy::NoProxy, "", 0},
        {"://x", false, QNetworkProxy::NoProxy, "", 0},
        {"proxy.example:99999", false, QNetworkProxy::NoProxy, "", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        // A refused text must leave the caller's proxy alone.
        const QNetworkProxy before(QNetworkProxy::Socks5Proxy, QStringLiteral("before"), 1);
        QNetworkProxy proxy = before;
        ASSERT_EQ(proxyFromSetting(QString::fromUtf8(c.text), &proxy), c.accepted);
        if (!c.accepted) {
            EXPECT_EQ(proxy, before);
            continue;
        }
        EXPECT_EQ(proxy.type(), c.type);
        EXPECT_EQ(proxy.hostName(), QString::fromUtf8(c.host));
        EXPECT_EQ(proxy.port(), c.port);
        EXPECT_TRUE(proxy.user().isEmpty());
        EXPECT_TRUE(proxy.password().isEmpty());
    }
}
