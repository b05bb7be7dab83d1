#include "updateengine.h"

#include "configuration.h"
#include "cryptwrapper.h"
#include "leftoverfiles.h"
#include "maintaskspecification.h"
#include "processtools.h"
#include "proxysetting.h"
#include "sessionfolder.h"
#include "systemreason.h"
#include "taskspecification.h"
#include "updateinidata.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QTimer>

#include <cstdlib>

namespace {

UpdateEngine::MainTaskFactory &mainTaskFactory()
{
    static UpdateEngine::MainTaskFactory factory;
    return factory;
}

QString canonicalOrEmpty(const QString &path)
{
    return path.isEmpty() ? QString() : QFileInfo(path).canonicalFilePath();
}

bool isSameOrInside(const QString &path, const QString &folder)
{
    return path == folder || path.startsWith(folder + QLatin1Char('/'));
}

void logIgnoredRecord(const QString &dir, const QString &reason)
{
    qWarning() << "Session record ignored, folder left alone:" << dir << reason;
}

} // namespace

UpdateEngine::UpdateEngine(Configuration *config, QObject *parent)
    : QObject(parent)
    , m_State(PRE_INIT)
    , m_Config(config)
    , m_MainTask(nullptr)
    , m_Timer(nullptr)
    , m_NetworkManager(nullptr)
{
    connect(m_Config, &Configuration::message, this, &UpdateEngine::message);

    m_Timer = new QTimer(this);
    connect(m_Timer, &QTimer::timeout, this, &UpdateEngine::onTimer);

    m_NetworkManager = new QNetworkAccessManager(this);

    m_Config->readUpdateIniSettings();

    QNetworkProxy proxy;
    if (proxyFromSetting(m_Config->proxy, &proxy)) {
        if (proxy.type() != QNetworkProxy::NoProxy)
            qDebug() << "UpdateEngine proxy" << proxy.hostName() << proxy.port();
        m_NetworkManager->setProxy(proxy);
        return;
    }
    // Whoever made us has had no chance to connect yet: report from the event loop.
    const QString text
        = QStringLiteral("'%1' is an invalid proxy specification").arg(m_Config->proxy);
    qDebug() << "UpdateEngine" << text;
    QMetaObject::invokeMethod(
        this, [this, text]() { emit fatalError(text); }, Qt::QueuedConnection);
}

bool UpdateEngine::initialize()
{
    Q_ASSERT_X(m_State == PRE_INIT, "UpdateEngine::initialize", "m_State == PRE_INIT");

    try {
        initCryptLibrary();
    } catch (const crypt_exception &e) {
        qDebug() << "initialize" << e.what();
        emit fatalError(QString::fromUtf8(e.what()));
        return false;
    }

    const uint seed = static_cast<uint>(QDateTime::currentSecsSinceEpoch());
#if QT_VERSION < QT_VERSION_CHECK(5, 15, 0)
    qsrand(seed);
#else
    std::srand(seed);
#endif

    int previousVersion = 0;
    QString dir;
    QString qvxdir;
    if (UpdateIniData::get(&previousVersion, nullptr, &dir, &qvxdir)) {
        qDebug() << "Current version =" << previousVersion
                 << "/ new version =" << m_Config->versionNr;
        // Step two learns its client folder from the record alone; without it the fallback
        // would be the session folder step two runs from.
        const bool stepTwo = m_Config->clientUpdate == 1;
        if (previousVersion == m_Config->versionNr) {
            QString reason;
            if (SessionFolder::isOurs(dir, &reason)) {
                // A run under an older, looser umask may have left it open to others.
                if (!SessionFolder::makePrivate(dir))
                    qWarning() << "Could not make the session folder private:" << dir;
                qDebug() << "Continuing previous session";
                emit message(
                    QStringLiteral("Previous update session for v. %1 found").arg(previousVersion));
            } else {
                logIgnoredRecord(dir, reason);
                if (stepTwo)
                    return refuseSession();
                dir.clear();
                qvxdir.clear();
                removeSessionRecord();
            }
        } else {
            qDebug() << "Cleaning up previous session";
            emit message(QStringLiteral("Cleanup previous session (v. %1, %2) files...")
                             .arg(previousVersion)
                             .arg(dir));
            // The record's client folder may not be the one running now (a moved client).
            const QStringList clients {qvxdir,
                                       Configuration::getInstallPath() + QStringLiteral("../")};
            if (mayRemoveSessionDir(dir, clients)) {
                removeDirectoryContents(dir);
                bool removed = false;
                if (removeDirectory(dir, &removed))
                    emit message(removed ? QStringLiteral("Ok")
                                         : QStringLiteral("Failed to remove directory"));
            } else {
                if (stepTwo)
                    return refuseSession();
                emit message(QStringLiteral("Failed to remove directory"));
            }
            dir.clear();
            qvxdir.clear();
            removeSessionRecord();
        }
    }

    const bool freshFolder = dir.isEmpty();
    if (!m_Config->initalizeStart(dir, qvxdir))
        return false;

    qDebug() << "initialize"
             << "modifying update.ini" << m_Config->clientUpdate;
    QString reason;
    if (!UpdateIniData::modify(m_Config->versionNr, m_Config->tempDir, m_Config->installPath,
                               m_Config->clientType, &reason)) {
        qDebug() << "Failed to write to update.ini" << reason;
        // No record names the folder just made, so nothing would ever use or remove it; rmdir
        // leaves it be unless it is still empty.
        if (freshFolder)
            QDir().rmdir(m_Config->tempDir);
        emit error(withSystemReason(QStringLiteral("Failed to write update.ini. The updater does "
                                                   "not seem to have the required write "
                                                   "permissions."),
                                    reason));
        return false;
    }
    m_State = POST_INIT;
    return true;
}

bool UpdateEngine::refuseSession()
{
    // The record stays, so that a second start stops here as well; the folder it names is
    // neither reused nor removed.
    qDebug() << "*Error* Unable to continue the update session";
    emit fatalError(QStringLiteral("Unable to continue the update session."));
    return false;
}

bool UpdateEngine::startUpdate()
{
    Q_ASSERT_X(m_State == POST_INIT, "UpdateEngine::startUpdate", "m_State == POST_INIT");
    qDebug() << "Starting update";

    m_MainTask = createMainTask();
    if (!m_MainTask) {
        // With no root task nothing could ever end the session: do not hold the window open.
        m_State = CANCELED;
        emit fatalError(QStringLiteral("No update task available"));
        return true;
    }
    connect(m_MainTask, &TaskSpecification::finished, this, &UpdateEngine::onTaskFinished);
    connect(m_MainTask, &TaskSpecification::canceled, this, &UpdateEngine::onTaskCanceled);
    connect(m_MainTask, &TaskSpecification::error, this, &UpdateEngine::error);
    connect(m_MainTask, &TaskSpecification::updateProgress, this, &UpdateEngine::updateProgress);
    connect(m_MainTask, &TaskSpecification::message, this, &UpdateEngine::message);

    m_State = RUNNING;
    m_Timer->start(1000);
    m_MainTask->execute();
    return true;
}

bool UpdateEngine::isActive() const
{
    return m_State == POST_INIT || m_State == RUNNING;
}

void UpdateEngine::resetAfterCancel()
{
    Q_ASSERT_X(m_State == CANCELED, "UpdateEngine::resetAfterCancel", "m_State==CANCELED");
    m_State = PRE_INIT;
    if (m_MainTask) {
        disconnect(m_MainTask, nullptr, this, nullptr);
        m_MainTask->deleteLater();
        m_MainTask = nullptr;
    }
}

void UpdateEngine::cancelUpdate()
{
    if (m_State == RUNNING && m_MainTask)
        m_MainTask->cancel();
}

void UpdateEngine::onTimer()
{
    if (m_State != RUNNING || !m_MainTask)
        return;
    qulonglong done = 0;
    qulonglong total = 0;
    qulonglong speed = 0;
    bool downloading = false;
    m_MainTask->getDownloadProgress(&done, &total, &speed, &downloading);
    emit downloadProgress(done, total, speed, downloading);
}

void UpdateEngine::onTaskFinished()
{
    // A root task reports its end once; anything after that is not ours to act on.
    if (m_State != RUNNING)
        return;
    m_Timer->stop();
    cleanup();
    m_State = FINISHED;
    emit message(QStringLiteral("Update successfully finished"));
    m_MainTask->deleteLater();
    m_MainTask = nullptr;
    emit downloadProgress(0, 0, 0, false);
    emit updateFinished();
}

void UpdateEngine::onTaskCanceled()
{
    if (m_State != RUNNING)
        return;
    m_Timer->stop();
    m_State = CANCELED;
    if (m_MainTask->state == TaskSpecification::Aborted)
        emit message(QStringLiteral("User aborted update"));
    m_MainTask->deleteLater();
    m_MainTask = nullptr;
    emit downloadProgress(0, 0, 0, false);
    emit updateCanceled();
}

void UpdateEngine::cleanup()
{
    qDebug() << "cleanup";
    if (m_Config->clientUpdate == 0) {
        removeSessionRecord();
        qDebug() << "Deleted local update.ini" << UpdateIniData::iniPath();
        emit message(QStringLiteral("Removed temporary update.ini"));
        return;
    }

    qDebug() << "Removing temporary files";
    emit message(QStringLiteral("Remove temporary files..."));
    QString dir;
    if (UpdateIniData::get(nullptr, nullptr, &dir, nullptr)) {
        if (mayRemoveSessionDir(dir, QStringList {m_Config->installPath})) {
            removeDirectoryContents(dir);
            bool removed = false;
            removeDirectory(dir, &removed);
        }
        removeSessionRecord();
    }
    // The hand-over's files in the temporary folder have done their work once step two runs.
    for (const QString &handOverFile :
         {ProcessTools::argsFilePath(), ProcessTools::starterScriptPath()}) {
        if (!handOverFile.isEmpty())
            QFile::remove(handOverFile);
    }
    emit message(QStringLiteral("Temporary files removed."));
}

void UpdateEngine::removeDirectoryContents(const QString &dir)
{
    QDir folder(dir);
    const QFileInfoList files = folder.entryInfoList(QDir::Files | QDir::NoSymLinks | QDir::Hidden
                                                     | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &file : files)
        QFile::remove(file.absoluteFilePath());

    const QFileInfoList dirs = folder.entryInfoList(QDir::Dirs | QDir::NoSymLinks | QDir::Hidden
                                                    | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &sub : dirs) {
        removeDirectoryContents(sub.absoluteFilePath());
        folder.rmdir(sub.fileName());
    }
}

bool UpdateEngine::removeDirectory(const QString &dir, bool *removed)
{
    const QString clean = QDir::cleanPath(dir);
    QDir parent(clean);
    if (!parent.cdUp())
        return false;
    *removed = parent.rmdir(QFileInfo(clean).fileName());
    return true;
}

bool UpdateEngine::mayRemoveSessionDir(const QString &dir, const QStringList &clientDirs) const
{
    QString reason;
    if (!SessionFolder::isOurs(dir, &reason)) {
        logIgnoredRecord(dir, reason);
        return false;
    }
    // Even a folder of ours is not emptied when a client we update lives inside it.
    const QString target = canonicalOrEmpty(dir);
    for (const QString &clientDir : clientDirs) {
        const QString client = canonicalOrEmpty(clientDir);
        if (!client.isEmpty() && isSameOrInside(client, target)) {
            logIgnoredRecord(dir, QStringLiteral("holds the client"));
            return false;
        }
    }
    return true;
}

void UpdateEngine::removeSessionRecord()
{
    // The run goes on: a record left behind is replaced by the next write of one.
    QString reason;
    if (!UpdateIniData::remove(&reason))
        qWarning() << "Could not remove the session record from" << UpdateIniData::iniPath()
                   << reason;
}

TaskSpecification *UpdateEngine::createMainTask()
{
    if (mainTaskFactory())
        return mainTaskFactory()(m_NetworkManager, m_Config, this);
    return new MainTaskSpecification(m_NetworkManager, m_Config, this, 1.0);
}

void UpdateEngine::setMainTaskFactory(const MainTaskFactory &factory)
{
    mainTaskFactory() = factory;
}

void UpdateEngine::removeOldFiles(const QString &dir)
{
    LeftoverFiles::removeOldFiles(dir);
}

void UpdateEngine::removeQt4Files(const QString &dir)
{
    LeftoverFiles::removeQt4Files(dir);
}
