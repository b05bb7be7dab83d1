#ifndef TEST_MAINTASK_SUPPORT_H
#define TEST_MAINTASK_SUPPORT_H

// Shared by the tests of whole update runs and of the staging of a new updater: packed and
// patched forms of files, and a snapshot of a folder tree to compare before and after.

#include "ensemblepatchwriter.h"
#include "lzma2container.h"
#include "mappedfile.h"
#include "streams.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QString>
#include <QTemporaryFile>

#include <zlib.h>

namespace qvxrun {

inline QString sha512(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha512).toHex());
}

// Text of many lines, different for every seed, large enough for a real diff.
inline QByteArray lines(const char *seed, int count = 600)
{
    QByteArray data;
    for (int i = 0; i < count; ++i)
        data += QByteArray(seed) + ' ' + QByteArray::number(i * 7919 % 10007) + '\n';
    return data;
}

// Writes the file, making its folders first.
inline bool put(const QString &path, const QByteArray &data)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

inline QByteArray get(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The LZMA2 container form of data.
inline QByteArray packLzma2(const QByteArray &data)
{
    QTemporaryFile plain;
    if (!plain.open() || plain.write(data) != data.size())
        return QByteArray();
    plain.close();
    quorpatch::SinkStream out;
    {
        quorpatch::MappedFile input;
        if (!data.isEmpty() && !input.Open(QFile::encodeName(plain.fileName()).constData()))
            return QByteArray();
        quorpatch::CompressPlain(
            input, &out,
            quorpatch::CalculateCrc(reinterpret_cast<const quorpatch::u8 *>(data.constData()),
                                    std::size_t(data.size())));
    }
    return QByteArray(reinterpret_cast<const char *>(out.Buffer()), int(out.Length()));
}

inline QByteArray packGzip(const QByteArray &data)
{
    QTemporaryFile packed;
    if (!packed.open())
        return QByteArray();
    packed.close();
    gzFile out = gzopen(QFile::encodeName(packed.fileName()).constData(), "wb");
    if (!out)
        return QByteArray();
    gzwrite(out, data.constData(), unsigned(data.size()));
    gzclose(out);
    return get(packed.fileName());
}

inline QByteArray makePatch(const QByteArray &oldData, const QByteArray &newData)
{
    const qvxtest::Bytes patch
        = qvxtest::MakeEnsemblePatch(qvxtest::Bytes(oldData.begin(), oldData.end()),
                                     qvxtest::Bytes(newData.begin(), newData.end()));
    return QByteArray(reinterpret_cast<const char *>(patch.data()), int(patch.size()));
}

enum SnapshotModes { ContentOnly, WithModes };

// Every folder, file and link below root: two equal snapshots mean an identical tree. Links are
// not followed and show their target.
inline QMap<QString, QByteArray> snapshot(const QString &root, SnapshotModes modes = ContentOnly)
{
    QMap<QString, QByteArray> tree;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        const QFileInfo info(file);
        const QString key = QDir(root).relativeFilePath(file);
        if (info.isSymLink()) {
            tree[key] = "<link> " + QFile::encodeName(info.symLinkTarget());
        } else if (info.isDir()) {
            tree[key] = "<dir>";
        } else {
            tree[key] = get(file);
            if (modes == WithModes)
                tree[key] += " mode " + QByteArray::number(int(info.permissions()), 16);
        }
    }
    return tree;
}

} // namespace qvxrun

#endif // TEST_MAINTASK_SUPPORT_H
