#ifndef TMPFS_TEST_SUPPORT_H
#define TMPFS_TEST_SUPPORT_H

// A private tmpfs mounted on an empty folder for the life of the object, for tests that need
// two file systems (a move between them is a copy) or a small one that fills up. Mounting needs
// root on Linux; elsewhere, or without the right, mounted() is false and the test skips itself.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#ifdef __linux__
#include <cerrno>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>
#endif

class PrivateTmpfs
{
public:
    // size as mount(8) takes it: "64m", "64k".
    explicit PrivateTmpfs(const QString &folder, const QByteArray &size = "64m")
        : m_folder(folder)
    {
#ifdef __linux__
        if (geteuid() != 0 || !QDir().mkpath(folder))
            return;
        const QByteArray options = "size=" + size + ",mode=0755";
        m_mounted = ::mount("tmpfs", QFile::encodeName(folder).constData(), "tmpfs",
                            MS_NOSUID | MS_NODEV, options.constData())
            == 0;
#else
        Q_UNUSED(size)
#endif
    }

    ~PrivateTmpfs()
    {
#ifdef __linux__
        if (m_mounted)
            ::umount2(QFile::encodeName(m_folder).constData(), MNT_DETACH);
#endif
    }

    PrivateTmpfs(const PrivateTmpfs &) = delete;
    PrivateTmpfs &operator=(const PrivateTmpfs &) = delete;

    bool mounted() const
    {
        return m_mounted;
    }
    QString folder() const
    {
        return m_folder;
    }

    // Writes a file of the given name in the folder until no byte more fits; true when the file
    // system ran full.
    bool fillUp(const QString &name = QStringLiteral(".filler")) const
    {
        return fillLeaving(name, 0);
    }

    // Fills the file system with the file name (in folder) until about freeBytes are left.
    bool fillLeaving(const QString &name, qint64 freeBytes) const
    {
#ifdef __linux__
        if (!m_mounted)
            return false;
        const QByteArray path = QFile::encodeName(m_folder + QLatin1Char('/') + name);
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0)
            return false;
        const QByteArray block(4096, 'f');
        qint64 written = 0;
        for (;;) {
            const ssize_t n = ::write(fd, block.constData(), size_t(block.size()));
            if (n <= 0)
                break;
            written += n;
        }
        // tmpfs counts whole pages.
        const qint64 pages = (freeBytes + block.size() - 1) / block.size() * block.size();
        const bool ok = ::ftruncate(fd, qMax<qint64>(0, written - pages)) == 0;
        ::close(fd);
        return ok && freeSpace() >= freeBytes;
#else
        Q_UNUSED(name)
        Q_UNUSED(freeBytes)
        return false;
#endif
    }

    qint64 freeSpace() const
    {
#ifdef __linux__
        struct statvfs fs;
        if (::statvfs(QFile::encodeName(m_folder).constData(), &fs) != 0)
            return -1;
        return qint64(fs.f_bavail) * qint64(fs.f_frsize);
#else
        return -1;
#endif
    }

private:
    QString m_folder;
    bool m_mounted = false;
};

#endif // TMPFS_TEST_SUPPORT_H
