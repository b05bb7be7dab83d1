#include "updatelog.h"

#include <QAtomicPointer>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QStringList>

#include <cstdlib>

namespace {

const QString &logTimeFormat()
{
    static const QString format = QStringLiteral("yyyy-MM-dd hh:mm:ss:zzz");
    return format;
}

const char *levelField(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "\t|\tDebug\t|\t";
    case QtWarningMsg:
        return "\t|\tWarning\t|\t";
    case QtCriticalMsg:
        return "\t|\tCritical\t|\t";
    case QtFatalMsg:
        return "\t|\tFatal\t|\t";
    case QtInfoMsg:
        return "\t|\tInfo\t|\t";
    }
    return nullptr;
}

// The text's lines: split at every mandatory line break of Unicode (LF, VT, FF, CR, NEL, LS, PS;
// CR LF is one break), since any of them may start a new line for a reader of the file. A break
// at the very end opens no further line; an empty text is one empty line.
QStringList textLines(const QString &text)
{
    QStringList lines;
    QString line;
    for (int i = 0; i < text.size(); ++i) {
        switch (text.at(i).unicode()) {
        case '\r':
            if (i + 1 < text.size() && text.at(i + 1) == QLatin1Char('\n'))
                ++i;
            Q_FALLTHROUGH();
        case '\n':
        case '\v':
        case '\f':
        case 0x85:
        case 0x2028:
        case 0x2029:
            lines.append(line);
            line.clear();
            break;
        default:
            line.append(text.at(i));
        }
    }
    if (lines.isEmpty() || !line.isEmpty())
        lines.append(line);
    return lines;
}

QAtomicPointer<UpdateLog> s_instance;
QBasicMutex s_instanceMutex;

// Qt may warn from inside our own write (a full disk, a closed device); such a message must not
// re-enter the log on the same thread.
thread_local bool t_writing = false;

} // namespace

UpdateLog *UpdateLog::instance()
{
    UpdateLog *log = s_instance.loadAcquire();
    if (log)
        return log;
    QMutexLocker locker(&s_instanceMutex);
    log = s_instance.loadAcquire();
    if (!log) {
        log = new UpdateLog;
        s_instance.storeRelease(log);
        log->openLogFile();
    }
    return log;
}

UpdateLog *UpdateLog::setInstance(UpdateLog *log)
{
    QMutexLocker locker(&s_instanceMutex);
    return s_instance.fetchAndStoreOrdered(log);
}

UpdateLog::UpdateLog(const QString &tempPath)
    : m_tempPath(tempPath.isEmpty() ? QDir::tempPath() : tempPath)
{
    // Without a temporary folder there is no marker; the root folder is not a stand-in for it.
    m_enabled = !m_tempPath.isEmpty()
        && QFileInfo::exists(m_tempPath + QStringLiteral("/qvx_update_log"));
}

UpdateLog::~UpdateLog()
{
    QMutexLocker locker(&m_mutex);
    stream.setDevice(nullptr);
    delete file;
    file = nullptr;
}

void UpdateLog::openLogFile()
{
    if (!m_enabled)
        return;
    QString name = QDateTime::currentDateTime().toString(Qt::ISODate);
    name.replace(QLatin1Char(':'), QLatin1Char('_'));
    name.replace(QLatin1Char('T'), QStringLiteral("__"));
    name = QStringLiteral("update__") + name + QStringLiteral(".log");

    const QString folder
        = QDir::toNativeSeparators(m_tempPath + QDir::separator()
                                   + QStringLiteral("quorvelin_update_log") + QDir::separator());
    QDir dir;
    if (!dir.exists(folder))
        dir.mkdir(folder);

    QMutexLocker locker(&m_mutex);
    t_writing = true;
    file = new QFile(folder + name);
    file->open(QIODevice::WriteOnly | QIODevice::Text | QIODevice::Truncate);
    stream.setDevice(file);
    t_writing = false;
}

void UpdateLog::close()
{
    QMutexLocker locker(&m_mutex);
    if (!file)
        return;
    t_writing = true;
    stream.flush();
    file->close();
    t_writing = false;
}

QString UpdateLog::fileName() const
{
    return file ? file->fileName() : QString();
}

void UpdateLog::write(QtMsgType type, const QString &msg)
{
    if (!m_enabled || t_writing)
        return;
    const char *level = levelField(type);
    if (!level)
        return;
    {
        QMutexLocker locker(&m_mutex);
        t_writing = true;
        // A log file that could not be opened takes nothing, quietly.
        if (file && file->isOpen()) {
            // Each line of the text is an entry of its own with the same time and level: a line
            // without them is dropped by readers, and text after a break could pose as an entry.
            // The stream's codec is the locale's, so the lines are written in the local 8-bit
            // encoding.
            const QString time = QDateTime::currentDateTime().toString(logTimeFormat());
            for (const QString &line : textLines(msg))
                stream << time << level << line << '\n';
            stream.flush();
        }
        t_writing = false;
    }
    if (type == QtFatalMsg)
        std::abort();
}

void updateMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    Q_UNUSED(context);
    UpdateLog::instance()->write(type, msg);
}

void logShownText(const QString &text)
{
    // No quotes, no escapes and no trailing blank trimmed: the line holds the text as shown.
    qInfo().noquote().nospace() << text;
}
