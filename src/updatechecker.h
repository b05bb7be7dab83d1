// Asks the version server once for the newest version of each channel.
#ifndef UPDATECHECKER_H
#define UPDATECHECKER_H

#include "updateversions.h"

#include <QByteArray>
#include <QNetworkProxy>
#include <QObject>
#include <QUrl>

#include <string>

struct VersionsInfo;

class UpdateChecker : public QObject
{
    Q_OBJECT

public:
    explicit UpdateChecker(QObject *parent = nullptr);

    // Starts the query and returns at once; update_available follows exactly once, after which
    // the checker deletes itself.
    void checkForUpdate();

    // The proxy the query goes through (default: none); set before checkForUpdate.
    void setProxy(const QNetworkProxy &proxy);

    // A server that never answers ends the query as failed after this many milliseconds
    // (default 60000; 0 or less waits forever).
    static void setTimeLimit(int msecs);
    static int timeLimit();

    // A longer reply is no version list: the query fails without reading the rest.
    static const qint64 maxReplySize;

signals:
    void update_available(UpdateVersions versions);

private slots:
    void on_updateCheckAvailable(QByteArray updateData);

private:
    QNetworkProxy m_proxy {QNetworkProxy::NoProxy};
    // The address asked, for the log of a failed query.
    QUrl m_url;
};

// 0 when the channel is absent.
int versionNumberForChannel(const VersionsInfo &info, const std::string &name);
// The client library's empty string when the channel is absent.
const std::string &versionStringForChannel(const VersionsInfo &info, const std::string &name);

#endif // UPDATECHECKER_H
