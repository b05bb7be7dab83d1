#include "checksigfunc.h"
#include "cryptwrapper.h"
#include "filesha512.h"

#include <QDebug>
#include <QFile>

#include <limits>

namespace {

const char *boolText(bool value)
{
    return value ? "true" : "false";
}

} // namespace

CheckSigFunc::CheckSigFunc(const QString &filePath, const QString &expectedHash)
    : filePath(filePath)
    , expectedHash(expectedHash)
{ }

CheckSigFunc::~CheckSigFunc() = default;

bool CheckSigFunc::run()
{
    return expectedHash.isEmpty() ? checkRSA() : checkSHA512();
}

bool CheckSigFunc::readFile(QString path, QByteArray &content)
{
    // A file larger than a byte array can hold cannot be read whole.
    return readFile(path, content, qint64(std::numeric_limits<int>::max()) - 32);
}

bool CheckSigFunc::readFile(QString path, QByteArray &content, qint64 maxSize)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        emit message(tr("Could not open file %1 for reading").arg(path));
        return false;
    }
    const qint64 size = file.size();
    if (size < 0 || size > maxSize) {
        qDebug() << "Refusing to read" << path << "of" << size << "bytes, at most" << maxSize;
        emit message(tr("File %1 is larger than %2 bytes").arg(path).arg(maxSize));
        return false;
    }
    content.resize(int(size));
    qint64 done = 0;
    while (done < size) {
        const qint64 got = file.read(content.data() + done, size - done);
        if (got <= 0)
            break;
        done += got;
    }
    // A file that grew since its size was taken is not what was checked against the bound.
    char extra;
    if (done < size || file.read(&extra, 1) != 0) {
        emit message(tr("could not read file %1 correctly").arg(path));
        return false;
    }
    file.close();
    return true;
}

bool CheckSigFunc::checkSHA512()
{
    // Installed files can be large: hash them in pieces instead of reading them whole.
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly)) {
        emit message(tr("Could not open file %1 for reading").arg(filePath));
        return false;
    }
    QString computed;
    if (!fileSha512Hex(file, file.size(), &computed)) {
        emit message(tr("could not read file %1 correctly").arg(filePath));
        return false;
    }
    file.close();

    const bool match = expectedHash.compare(computed, Qt::CaseInsensitive) == 0;
    qDebug() << "SHA512 check:" << expectedHash << computed << "=>" << boolText(match);
    return match;
}

bool CheckSigFunc::checkRSA()
{
    QByteArray content;
    if (!readFile(filePath, content)) {
        qDebug() << "RSA check failed, could not read" << filePath;
        return false;
    }
    const QString signaturePath = filePath + QStringLiteral(".sig");
    QByteArray signature;
    if (!readFile(signaturePath, signature, maxSignatureSize)) {
        qDebug() << "RSA check failed, could not read" << signaturePath;
        return false;
    }
    try {
        RsaKeyGuard key;
        rsaImportKey(key.key(), builtinPublicKeyBlock, cryptKeyBlockSize);
        key.setLoaded();
        const bool valid
            = rsaVerifyHash(key.key(), reinterpret_cast<const unsigned char *>(content.constData()),
                            static_cast<unsigned long>(content.size()),
                            reinterpret_cast<const unsigned char *>(signature.constData()),
                            static_cast<unsigned long>(signature.size()));
        qDebug() << "RSA check" << boolText(valid);
        return valid;
    } catch (const crypt_exception &) {
        qDebug() << "RSA check failed, caught exception";
        return false;
    }
}
