#ifndef TEST_PEAKSIZE_H
#define TEST_PEAKSIZE_H

// The largest size files reached while the event loop ran, for tests of what a download may
// write: a file that is removed at the end of a failed attempt is caught while it exists.

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <sys/stat.h>

class PeakSize : public QObject
{
public:
    // Each path is a file, or a folder whose files (at any depth) are watched one by one.
    explicit PeakSize(const QStringList &paths)
        : m_Paths(paths)
    {
        connect(&m_Timer, &QTimer::timeout, this, &PeakSize::sample);
        m_Timer.start(0);
    }

    // The largest single file seen.
    qint64 peak()
    {
        sample();
        return m_Peak;
    }

private:
    void sampleFile(const QString &path)
    {
        struct stat info;
        if (::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISREG(info.st_mode))
            m_Peak = qMax<qint64>(m_Peak, info.st_size);
    }

    void sample()
    {
        for (const QString &path : qAsConst(m_Paths)) {
            if (!QFileInfo(path).isDir()) {
                sampleFile(path);
                continue;
            }
            QDirIterator it(path, QDir::Files | QDir::Hidden | QDir::System,
                            QDirIterator::Subdirectories);
            while (it.hasNext())
                sampleFile(it.next());
        }
    }

    QStringList m_Paths;
    QTimer m_Timer;
    qint64 m_Peak = 0;
};

#endif // TEST_PEAKSIZE_H
