#ifndef SIGNING_TEST_SUPPORT_H
#define SIGNING_TEST_SUPPORT_H

// Signing with the development key, for tests of the signature checks.

#include "cryptwrapper.h"

#include <QByteArray>
#include <QString>

#include <cstring>

inline QString developmentKeyPath(const char *half)
{
    return QString(QVX_SOURCE_DIR "/keys/development-signing-key.%1.der").arg(half);
}

// False when the build embeds a publisher's key: signatures of the development key cannot pass.
inline bool builtInKeyIsDevelopmentKey()
{
    const std::vector<unsigned char> key
        = readWholeFile(developmentKeyPath("public").toStdString());
    if (key.empty() || key.size() > cryptKeyBlockSize)
        return false;
    if (std::memcmp(builtinPublicKeyBlock, key.data(), key.size()) != 0)
        return false;
    for (unsigned long i = key.size(); i < cryptKeyBlockSize; ++i) {
        if (builtinPublicKeyBlock[i] != 0)
            return false;
    }
    return true;
}

inline QByteArray signWithKey(rsa_key *key, const QByteArray &content)
{
    unsigned char signature[512];
    unsigned long length = sizeof(signature);
    rsaSignHash(key, reinterpret_cast<const unsigned char *>(content.constData()),
                static_cast<unsigned long>(content.size()), signature, &length);
    return QByteArray(reinterpret_cast<const char *>(signature), int(length));
}

inline QByteArray signWithDevelopmentKey(const QByteArray &content)
{
    RsaKeyGuard key;
    rsaImportKeyFile(key.key(), developmentKeyPath("private").toStdString());
    key.setLoaded();
    return signWithKey(key.key(), content);
}

#endif // SIGNING_TEST_SUPPORT_H
