#ifndef FILESHA512_H
#define FILESHA512_H

#include <QIODevice>
#include <QString>

// SHA-512 of an open file read from its current position in pieces of 1 MiB, as lower-case
// hex. False when the file ends before `size` bytes have been read.
bool fileSha512Hex(QIODevice &file, qint64 size, QString *hex);

#endif // FILESHA512_H
