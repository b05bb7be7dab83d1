// The controller of one update session: continues or cleans up an earlier session, records the
// new one in update.ini, runs the root task of the update and polls its download figures.
#ifndef UPDATEENGINE_H
#define UPDATEENGINE_H

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class Configuration;
class QNetworkAccessManager;
class QTimer;
class TaskSpecification;

class UpdateEngine : public QObject
{
    Q_OBJECT

public:
    enum { PRE_INIT = 0, POST_INIT = 1, RUNNING = 2, FINISHED = 3, CANCELED = 4 };

    UpdateEngine(Configuration *config, QObject *parent);

    bool initialize();
    bool startUpdate();
    bool isActive() const;
    void resetAfterCancel();

    static void removeOldFiles(const QString &dir);
    static void removeQt4Files(const QString &dir);

    int state() const { return m_State; }

    // Makes the root task of a run; the default builds the real update pipeline. Tests put a
    // task of their own here (an empty function restores the default).
    using MainTaskFactory = std::function<TaskSpecification *(
        QNetworkAccessManager *manager, Configuration *config, QObject *parent)>;
    static void setMainTaskFactory(const MainTaskFactory &factory);

signals:
    void fatalError(QString errorMessage);
    void error(QString errorMessage);
    void updateProgress(double doneFrac);
    void downloadProgress(qulonglong downloadDone, qulonglong downloadTotal, qulonglong speed,
                          bool downloading);
    void message(QString message);
    void updateFinished();
    void updateCanceled();

public slots:
    void cancelUpdate();

private slots:
    void onTimer();
    void onTaskFinished();
    void onTaskCanceled();

private:
    void cleanup();
    void removeDirectoryContents(const QString &dir);
    // Removes dir itself from its parent folder; false when the parent cannot be entered.
    bool removeDirectory(const QString &dir, bool *removed);
    // Guards the recursive removals against a session record that names a folder that is not
    // a session folder of ours, or one that holds one of clientDirs.
    bool mayRemoveSessionDir(const QString &dir, const QStringList &clientDirs) const;
    void removeSessionRecord();
    // Step two cannot go on with the record it found: reports it and returns false.
    bool refuseSession();
    TaskSpecification *createMainTask();

    int m_State;
    Configuration *m_Config;
    TaskSpecification *m_MainTask;
    QTimer *m_Timer;
    QNetworkAccessManager *m_NetworkManager;
};

#endif // UPDATEENGINE_H
