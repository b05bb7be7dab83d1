#include "updatechecker.h"

#include "httpdownloader.h"
#include "updateserverclient.h"

#include <QDebug>
#include <QNetworkRequest>
#include <QUrl>

namespace {
int s_timeLimit = 60000;
} // namespace

const qint64 UpdateChecker::maxReplySize = 1024 * 1024;

UpdateChecker::UpdateChecker(QObject *parent)
    : QObject(parent)
{ }

void UpdateChecker::checkForUpdate()
{
    std::string address;
    getUpdateServerUrl(address);
    m_url = QUrl(QString::fromStdString(address), QUrl::TolerantMode);
    HTTPDownloader *downloader = new HTTPDownloader(QNetworkRequest(m_url));
    // Owned here, so that a checker that goes before the answer (the program ends) takes the
    // request and its thread with it.
    downloader->setParent(this);
    downloader->setTimeLimit(s_timeLimit);
    downloader->setSizeLimit(maxReplySize);
    downloader->setProxy(m_proxy);
    connect(downloader, &HTTPDownloader::download_available, this,
            &UpdateChecker::on_updateCheckAvailable);
    downloader->start();
}

void UpdateChecker::setProxy(const QNetworkProxy &proxy)
{
    m_proxy = proxy;
}

void UpdateChecker::setTimeLimit(int msecs)
{
    s_timeLimit = msecs;
}

int UpdateChecker::timeLimit()
{
    return s_timeLimit;
}

void UpdateChecker::on_updateCheckAvailable(QByteArray updateData)
{
    UpdateVersions result;
    VersionsInfo info;
    const bool parsed = parseVersions(updateData.constData(), updateData.size(), info) == 0;
    if (parsed) {
        for (const std::string &name : info.names) {
            const quint32 number = quint32(versionNumberForChannel(info, name));
            result.insert(QString::fromStdString(name),
                          qMakePair(QString::number(number),
                                    QString::fromStdString(versionStringForChannel(info, name))));
        }
    }
    if (result.isEmpty()) {
        // A failed download has logged its own reason already.
        QString detail = QStringLiteral("no reply body");
        if (!updateData.isEmpty() && parsed)
            detail = QStringLiteral("the reply names no channel");
        else if (!updateData.isEmpty())
            detail
                = QStringLiteral("the reply of %1 bytes is no version list").arg(updateData.size());
        qWarning() << "UpdateChecker::on_updateCheckAvailable"
                   << "no version from" << m_url.toString() << detail;
    }
    emit update_available(result);
    deleteLater();
}

int versionNumberForChannel(const VersionsInfo &info, const std::string &name)
{
    const auto it = info.versions.find(name);
    return it == info.versions.end() ? 0 : it->second.version_number;
}

const std::string &versionStringForChannel(const VersionsInfo &info, const std::string &name)
{
    const auto it = info.versions.find(name);
    return it == info.versions.end() ? g_updateServerEmptyString : it->second.version_string;
}
