#ifndef FILEOPS_TEST_SUPPORT_H
#define FILEOPS_TEST_SUPPORT_H

// Helpers shared by the tests of rollback records, file tasks and checks.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// Collects Qt debug/warning lines while alive (from any thread).
class LogCapture
{
public:
    LogCapture()
    {
        instance() = this;
        m_previous = qInstallMessageHandler(&LogCapture::handler);
    }
    ~LogCapture()
    {
        qInstallMessageHandler(m_previous);
        instance() = nullptr;
    }
    QStringList lines() const
    {
        QMutexLocker lock(&m_mutex);
        return m_lines;
    }
    bool contains(const QString &part) const
    {
        for (const QString &line : lines()) {
            if (line.contains(part))
                return true;
        }
        return false;
    }

private:
    static LogCapture *&instance()
    {
        static LogCapture *current = nullptr;
        return current;
    }
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        LogCapture *self = instance();
        if (!self)
            return;
        {
            QMutexLocker lock(&self->m_mutex);
            self->m_lines.append(text);
        }
        if (type == QtFatalMsg && self->m_previous)
            self->m_previous(type, context, text);
    }

    QtMessageHandler m_previous = nullptr;
    mutable QMutex m_mutex;
    QStringList m_lines;
};

inline bool writeTestFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(content) == content.size();
}

inline QByteArray readTestFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

#endif // FILEOPS_TEST_SUPPORT_H
