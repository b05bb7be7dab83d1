// Helpers for the tests of the update engine and the main window: a fake root task in place of
// the update pipeline, a recorder of Qt's debug lines, session records and event-loop exits.
#ifndef TEST_UPDATEENGINE_SUPPORT_H
#define TEST_UPDATEENGINE_SUPPORT_H

#include "faketasks.h"
#include "updateengine.h"
#include "updateinidata.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSettings>
#include <QStringList>
#include <QTimer>

#include <functional>

// While it lives, every update run gets a FakeTask named "root" that never ends by itself.
class FakeRootFactory
{
public:
    FakeRootFactory()
    {
        UpdateEngine::setMainTaskFactory(
            [this](QNetworkAccessManager *, Configuration *, QObject *parent) {
                auto *task = new FakeTask(QStringLiteral("root"), parent, 1.0);
                task->abortOnCancel = abortOnCancel;
                ++created;
                root = task;
                return task;
            });
    }
    ~FakeRootFactory() { UpdateEngine::setMainTaskFactory(UpdateEngine::MainTaskFactory()); }
    FakeRootFactory(const FakeRootFactory &) = delete;
    FakeRootFactory &operator=(const FakeRootFactory &) = delete;

    // Whether the next root task ends as aborted right inside cancel().
    bool abortOnCancel = true;
    // Null once the engine has let go of the task (it deletes it later).
    QPointer<FakeTask> root;
    int created = 0;
};

// Collects the text of every Qt message while it lives.
class MessageCapture
{
public:
    MessageCapture()
    {
        lines().clear();
        m_previous = qInstallMessageHandler(&MessageCapture::handler);
    }
    ~MessageCapture() { qInstallMessageHandler(m_previous); }
    MessageCapture(const MessageCapture &) = delete;
    MessageCapture &operator=(const MessageCapture &) = delete;

    static QStringList &lines()
    {
        static QStringList all;
        return all;
    }
    bool contains(const QString &text) const
    {
        for (const QString &line : lines())
            if (line.contains(text))
                return true;
        return false;
    }

private:
    static void handler(QtMsgType, const QMessageLogContext &, const QString &msg)
    {
        lines().append(msg);
    }
    QtMessageHandler m_previous = nullptr;
};

inline void writeSessionRecord(int version, const QString &dir, const QString &qvxdir,
                               const QString &type = QStringLiteral("client_macosx"))
{
    QSettings settings(UpdateIniData::iniPath(), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("current"));
    settings.setValue(QStringLiteral("version"), version);
    settings.setValue(QStringLiteral("dir"), dir);
    settings.setValue(QStringLiteral("qvxdir"), qvxdir);
    settings.setValue(QStringLiteral("type"), type);
    settings.endGroup();
}

// Runs trigger from the application's own event loop and returns the code with which the code
// under test ended it (QCoreApplication::exit / quit), or -1 when it did not within the time
// limit. Only the application's loop clears the pending quit afterwards; a quit that ended a
// plain QEventLoop would make every later loop of the test program return at once.
inline int exitCodeOf(const std::function<void()> &trigger, int timeoutMs = 15000)
{
    QTimer start;
    start.setSingleShot(true);
    QObject::connect(&start, &QTimer::timeout, trigger);
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, []() { QCoreApplication::exit(-1); });
    start.start(0);
    watchdog.start(timeoutMs);
    return QCoreApplication::exec();
}

// A quit() that some earlier test called outside the application's loop stays pending and makes
// every nested loop (modal boxes, QSignalSpy::wait) return at once; clear it before a test.
inline void clearPendingQuit()
{
    exitCodeOf([]() { QCoreApplication::exit(0); });
}

#endif // TEST_UPDATEENGINE_SUPPORT_H
