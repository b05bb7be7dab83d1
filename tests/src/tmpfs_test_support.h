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
#include <sys/mount.h>
#include <unistd.h>
#endif

class PrivateTmpfs
{
public:
    explicit PrivateTmpfs(const QString &folder)
        : m_folder(folder)
    {
#ifdef __linux__
        if (geteuid() != 0 || !QDir().mkpath(folder))
            return;
        m_mounted = ::mount("tmpfs", QFile::encodeName(folder).constData(), "tmpfs",
                            MS_NOSUID | MS_NODEV, "size=64m,mode=0755")
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

private:
    QString m_folder;
    bool m_mounted = false;
};

#endif // TMPFS_TEST_SUPPORT_H
