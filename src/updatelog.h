// The updater's diagnostic log: every Qt message of the process, one entry a line, in a file below
// the system temporary folder. Logging is on only while the marker file "qvx_update_log" exists
// there when the log object is made.
#ifndef UPDATELOG_H
#define UPDATELOG_H

#include <QMutex>
#include <QString>
#include <QTextStream>
#include <QtGlobal>

#include <atomic>

class QFile;

class UpdateLog
{
public:
    // The process-wide log, made (and its file opened) on the first call.
    static UpdateLog *instance();

    // Decides from the marker file in tempPath (empty: QDir::tempPath) whether to log.
    explicit UpdateLog(const QString &tempPath = QString());
    ~UpdateLog();
    UpdateLog(const UpdateLog &) = delete;
    UpdateLog &operator=(const UpdateLog &) = delete;

    // Creates the log folder and file when logging is on. The folder must be a real folder of the
    // effective user that nobody else may write (made 0700 when missing), the file a plain file
    // of the same user; otherwise logging is off, as without the marker.
    void openLogFile();

    // While logging is on, keeps Qt's logging rules from holding messages back from the log: they
    // may switch categories on but no longer off, except Qt's own debug and info output, which
    // stays as Qt has it. Before the application object exists, so that the rules it reads are
    // held too.
    void takeEveryMessage();

    bool enabled() const { return m_enabled; }
    // Path of the log file; empty while logging is off.
    QString fileName() const;

    // Writes one entry per line of msg, each with the time and level; safe from any thread. A
    // fatal message aborts the process after its lines.
    void write(QtMsgType type, const QString &msg);

    // Flushes and closes the file (at the end of the run); later messages are dropped. Safe
    // while other threads still log.
    void close();

    // Makes log the one the message handler writes to (for tests); returns the previous one.
    static UpdateLog *setInstance(UpdateLog *log);

    // Null while logging is off.
    QFile *file = nullptr;
    QTextStream stream;

private:
    QString m_tempPath;
    QString m_fileName;
    std::atomic<bool> m_enabled {false};
    QMutex m_mutex;
};

void updateMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &msg);

// Puts a text the user was shown (a line of the window's pane, a message box) into the log as
// Info, unchanged (one entry per line of it): support reads the reason for a failure there after
// the window is gone.
void logShownText(const QString &text);

#endif // UPDATELOG_H
