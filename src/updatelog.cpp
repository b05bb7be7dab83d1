#include "updatelog.h"

#include <QAtomicPointer>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QMutexLocker>
#include <QStringList>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

const char kLogFolderName[] = "quorvelin_update_log";

// The log folder below the temporary folder, made 0700 when missing (the umask is the caller's
// care), as a descriptor; -1 when what lies there is no folder of ours that only we can write. In a
// shared temporary folder anyone may have made it first, or put a link there, to have our log
// written over their victim.
int openLogFolder(const QString &tempPath)
{
    const int tempFd
        = ::open(QFile::encodeName(tempPath).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (tempFd < 0)
        return -1;
    ::mkdirat(tempFd, kLogFolderName, 0700);
    // Everything from here on goes through the descriptor: a folder swapped for a link after
    // the check is not followed.
    const int fd
        = ::openat(tempFd, kLogFolderName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    ::close(tempFd);
    if (fd < 0)
        return -1;
    struct stat st;
    const bool ours = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid();
    if (!ours || (st.st_mode & (S_IWGRP | S_IWOTH))) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The log file name in the folder folderFd, opened for writing and emptied; -1 when what lies
// there is no plain file of ours. Neither a link nor a second name of another file is written
// through, and a FIFO or a device cannot hold up the open.
int openLogFileIn(int folderFd, const QString &name)
{
    const int fd
        = ::openat(folderFd, QFile::encodeName(name).constData(),
                   O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    struct stat st;
    // Emptied only once it is known to be ours: a refused file keeps every byte.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()
        || st.st_nlink != 1 || ::ftruncate(fd, 0) != 0) {
        ::close(fd);
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags != -1)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

bool isQtsOwnCategory(const char *name)
{
    return name && (std::strcmp(name, "qt") == 0 || std::strncmp(name, "qt.", 3) == 0);
}

std::atomic<QLoggingCategory::CategoryFilter> s_qtFilter {nullptr};

// Qt's logging rules (QT_LOGGING_RULES, QT_LOGGING_CONF, the qtlogging.ini files, set rules)
// would hold messages back before the handler sees them. Here they may switch categories on, and
// off only for Qt's own debug and info output, which Qt keeps off by default for most of its
// categories: some of them tell of every repaint.
void everyMessageFilter(QLoggingCategory *category)
{
    // Null while installFilter runs this over the categories that exist already.
    if (const QLoggingCategory::CategoryFilter qtFilter = s_qtFilter.load())
        qtFilter(category);
    if (!isQtsOwnCategory(category->categoryName())) {
        category->setEnabled(QtDebugMsg, true);
        category->setEnabled(QtInfoMsg, true);
    }
    category->setEnabled(QtWarningMsg, true);
    category->setEnabled(QtCriticalMsg, true);
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
    // Only its existence counts: whatever lies there (a link that leads nowhere, a FIFO, a file
    // of someone else's) is looked at, never opened or followed.
    struct stat st;
    m_enabled = !m_tempPath.isEmpty()
        && ::lstat(QFile::encodeName(m_tempPath + QStringLiteral("/qvx_update_log")).constData(),
                   &st)
            == 0;
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

    const QString folder = QDir::toNativeSeparators(
        m_tempPath + QDir::separator() + QLatin1String(kLogFolderName) + QDir::separator());

    QMutexLocker locker(&m_mutex);
    t_writing = true;
    // A new folder is 0700 and a new file 0600 whatever the umask: one that takes the owner's
    // bits would make them of no use even to us. The log is opened at the very start, before any
    // other thread exists that could make a file meanwhile.
    const mode_t previousMask = ::umask(077);
    int fd = -1;
    const int folderFd = openLogFolder(m_tempPath);
    if (folderFd >= 0) {
        fd = openLogFileIn(folderFd, name);
        ::close(folderFd);
    }
    ::umask(previousMask);
    if (fd >= 0) {
        file = new QFile;
        if (file->open(fd, QIODevice::WriteOnly | QIODevice::Text, QFileDevice::AutoCloseHandle)) {
            stream.setDevice(file);
            // A file opened from its descriptor has no name of its own in Qt.
            m_fileName = folder + name;
        } else {
            ::close(fd);
            delete file;
            file = nullptr;
        }
    }
    // No log to write: the run goes on as without the marker.
    if (!file)
        m_enabled = false;
    t_writing = false;
}

void UpdateLog::takeEveryMessage()
{
    if (!m_enabled)
        return;
    const QLoggingCategory::CategoryFilter qtFilter
        = QLoggingCategory::installFilter(everyMessageFilter);
    if (qtFilter != everyMessageFilter)
        s_qtFilter.store(qtFilter);
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
    return file ? m_fileName : QString();
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
