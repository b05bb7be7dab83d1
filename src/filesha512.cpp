#include "filesha512.h"

#include <QByteArray>

#include <tomcrypt.h>

bool fileSha512Hex(QIODevice &file, qint64 size, QString *hex)
{
    // LibTomCrypt's SHA-512 takes about half the time of QCryptographicHash's, and the list
    // builder hashes every installed file of the client.
    hash_state state;
    sha512_init(&state);
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    qint64 done = 0;
    while (done < size) {
        const qint64 got = file.read(buffer.data(), buffer.size());
        if (got <= 0)
            break;
        sha512_process(&state, reinterpret_cast<const unsigned char *>(buffer.constData()),
                       static_cast<unsigned long>(got));
        done += got;
    }
    if (done < size)
        return false;
    unsigned char digest[64];
    sha512_done(&state, digest);
    *hex = QString::fromLatin1(
        QByteArray::fromRawData(reinterpret_cast<const char *>(digest), sizeof digest).toHex());
    return true;
}
