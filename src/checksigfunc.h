#ifndef CHECKSIGFUNC_H
#define CHECKSIGFUNC_H

#include "asyncfunc.h"

#include <QByteArray>
#include <QString>

// Checks one file: its SHA-512 against an expected hex hash, or, with no hash given, its
// detached RSA signature (the file's name + ".sig") against the built-in public key.
// Can also be run directly on the caller's thread.
class CheckSigFunc : public ASyncFunc
{
    Q_OBJECT

public:
    CheckSigFunc(const QString &filePath, const QString &expectedHash);
    ~CheckSigFunc() override;

    bool run() override;

    bool checkRSA();
    bool checkSHA512();
    bool readFile(QString path, QByteArray &content);
    // As readFile, but a file larger than maxSize is refused without reading it.
    bool readFile(QString path, QByteArray &content, qint64 maxSize);

    // Far above the 128 bytes of a signature; a larger ".sig" is refused unread.
    static constexpr qint64 maxSignatureSize = 64 * 1024;

    QString filePath;
    QString expectedHash;
};

#endif // CHECKSIGFUNC_H
