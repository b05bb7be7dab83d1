#ifndef TMPFS_TEST_SUPPORT_H
#define TMPFS_TEST_SUPPORT_H

// A private tmpfs mounted on an empty folder for the life of the object, for tests that need
// two file systems (a move between them is a copy). Mounting needs root on Linux; elsewhere, or
// without the right, mounted() is false and the test skips itself.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#ifdef __linux__
#include <cerrno>
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>
#endif

class PrivateTmpfs
{
public:
    // size as the mount option takes it ("64m", "256k"): a small one to run it full.
    explicit PrivateTmpfs(const QString &folder, const QByteArray &size = "64m")
        : m_folder(folder)
    {
        Q_UNUSED(size);
#ifdef __linux__
        if (geteuid() != 0 || !QDir().mkpath(folder))
            return;
        m_mounted = ::mount("tmpfs", QFile::encodeName(folder).constData(), "tmpfs",
                            MS_NOSUID | MS_NODEV, ("size=" + size + ",mode=0755").constData())
            == 0;
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
#ifdef __linux__
        const int fd = ::open(QFile::encodeName(m_folder + "/" + name).constData(),
                              O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0)
            return false;
        static const char block[4096] = {};
        while (::write(fd, block, sizeof(block)) > 0) { }
        const bool full = errno == ENOSPC;
        ::close(fd);
        return full;
#else
        Q_UNUSED(name);
        return false;
#endif
    }

private:
    QString m_folder;
    bool m_mounted = false;
};

#endif // TMPFS_TEST_SUPPORT_H
