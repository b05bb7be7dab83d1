// The "proxy" setting of update.ini as a network proxy, read the same way for the update
// engine's downloads and for the version query.
#ifndef PROXYSETTING_H
#define PROXYSETTING_H

#include <QNetworkProxy>
#include <QString>
#include <QVariant>

// Empty text: no proxy. "host", "host:port" and "http://host[:port]" (any letter case) give an
// HTTP proxy on that host (port 3128 when none is given); user name and password in the text
// are not used. False, with *proxy unchanged, for a text that names no host, names more than
// one, has another scheme or port 0.
bool proxyFromSetting(const QString &text, QNetworkProxy *proxy);

// The "proxy" value as the user wrote it: QSettings reads a value with a comma as a list.
QString proxySettingText(const QVariant &value);

#endif // PROXYSETTING_H
