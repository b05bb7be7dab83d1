#ifndef TREE_MODES_TEST_SUPPORT_H
#define TREE_MODES_TEST_SUPPORT_H

// Exact modes as the file system holds them: QFileInfo's permissions mix in the running user's
// access, which for root hides a read-only file.

#include <QByteArray>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QString>
#include <QStringList>

#include <sys/stat.h>

// The permission bits of path itself (links not followed); -1 when it is not there.
inline int exactModeOf(const QString &path)
{
    struct stat info;
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    return int(info.st_mode & 07777);
}

// Every entry below root, one line each with its kind, exact mode (octal), owner and group and,
// for a file, a digest of its bytes: two equal lists mean nothing was changed.
inline QStringList treeWithModes(const QString &root)
{
    QStringList tree;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        QString value = QString::number(exactModeOf(path), 8);
        if (info.isSymLink()) {
            value = "link " + info.symLinkTarget();
        } else if (info.isDir()) {
            value = "dir " + value;
        } else {
            QFile file(path);
            const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : "?";
            value = "file " + value + " "
                + QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex();
        }
        struct stat owner;
        if (::lstat(QFile::encodeName(path).constData(), &owner) == 0)
            value += QString(" %1:%2").arg(owner.st_uid).arg(owner.st_gid);
        tree << QDir(root).relativeFilePath(path) + ": " + value;
    }
    tree.sort();
    return tree;
}

#endif // TREE_MODES_TEST_SUPPORT_H
