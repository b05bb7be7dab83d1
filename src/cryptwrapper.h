#ifndef CRYPTWRAPPER_H
#define CRYPTWRAPPER_H

#include "crypt_exception.h"

#include <tomcrypt.h>

#include <string>
#include <vector>

// RSA-PSS over SHA-1 (salt length 8) and SHA-1 on top of LibTomCrypt with LibTomMath. Every RSA
// operation throws crypt_exception when the library reports an error.

// Size of the built-in key block and of every exported key file.
constexpr unsigned long cryptKeyBlockSize = 2048;
constexpr unsigned long sha1DigestSize = 20;
constexpr int rsaPssSaltLength = 8;

// The public key that signatures of product inis are checked with: a DER RSAPublicKey at the
// start of the block, zero bytes after it. Generated at build time from the configured key file.
extern const unsigned char builtinPublicKeyBlock[cryptKeyBlockSize];

// Set once by initCryptLibrary, read-only afterwards.
extern int sha1HashIndex;
extern int sprngIndex;

void initCryptLibrary();
void checkCryptResult(const char *what, int err);

void rsaImportKey(rsa_key *key, const unsigned char *data, unsigned long length);
void sha1Digest(const unsigned char *data, unsigned long length, unsigned char out[20]);
bool rsaVerifyHash(rsa_key *key, const unsigned char *data, unsigned long length,
                   const unsigned char *signature, unsigned long signatureLength);

// Publisher side: make a key pair, sign, export and re-import keys.
void rsaMakeKey(rsa_key *key);
// signatureLength holds the buffer size on entry and the signature's length on return.
void rsaSignHash(rsa_key *key, const unsigned char *data, unsigned long length,
                 unsigned char *signature, unsigned long *signatureLength);
// type is PK_PUBLIC or PK_PRIVATE; the whole key block is written, padded with zero bytes.
void exportRsaKeyToFile(rsa_key *key, int type, const std::string &path);
void rsaImportKeyFile(rsa_key *key, const std::string &path);
std::vector<unsigned char> readWholeFile(const std::string &path);
void writeWholeFile(const std::string &path, const std::vector<unsigned char> &data);

// Frees a key that was imported or made into it when it goes out of scope.
class RsaKeyGuard
{
public:
    RsaKeyGuard() = default;
    ~RsaKeyGuard();
    RsaKeyGuard(const RsaKeyGuard &) = delete;
    RsaKeyGuard &operator=(const RsaKeyGuard &) = delete;

    rsa_key *key() { return &m_key; }
    // Call after the key was filled successfully.
    void setLoaded() { m_loaded = true; }

private:
    rsa_key m_key {};
    bool m_loaded = false;
};

#endif // CRYPTWRAPPER_H
