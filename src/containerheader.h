// Reads what a packed download (the engine's LZMA2 container) says about itself, without
// unpacking anything.
#ifndef CONTAINERHEADER_H
#define CONTAINERHEADER_H

#include <QByteArray>
#include <QString>
#include <QtGlobal>

namespace ContainerHeader {

// The number of bytes a plain container (one that holds the file itself) states its file
// unpacks to. False for anything else: not a container, a header cut short, or a container
// that rebuilds its file from executable programs, whose size its header does not bound.
bool plainUnpackedSize(const QByteArray &head, quint64 *size);
// The same for the start of the file at path.
bool plainUnpackedSize(const QString &path, quint64 *size);

} // namespace ContainerHeader

#endif // CONTAINERHEADER_H
