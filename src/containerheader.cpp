#include "containerheader.h"

#include "lzma2container.h"
#include "streams.h"

#include <QFile>

namespace {

// Magic, checksum and directive, then the block's property byte and unpacked size: at most
// five bytes for each number.
constexpr qint64 kHeaderBytes = 3 * 5 + 1 + 5;

} // namespace

bool ContainerHeader::plainUnpackedSize(const QByteArray &head, quint64 *size)
{
    quorpatch::SourceStream source(head.constData(), std::size_t(head.size()));
    quorpatch::u32 magic = 0;
    quorpatch::u32 checksum = 0;
    quorpatch::u32 directive = 0;
    quorpatch::u8 property = 0;
    quorpatch::u32 unpacked = 0;
    if (!source.ReadVarint32(&magic) || !source.ReadVarint32(&checksum)
        || !source.ReadVarint32(&directive) || !source.Read(&property, 1)
        || !source.ReadVarint32(&unpacked))
        return false;
    if (magic != quorpatch::kContainerMagic || directive != quorpatch::kDirectivePlain)
        return false;
    *size = unpacked;
    return true;
}

bool ContainerHeader::plainUnpackedSize(const QString &path, quint64 *size)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    return plainUnpackedSize(file.read(kHeaderBytes), size);
}
