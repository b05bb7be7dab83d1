// LibTomCrypt declares its LibTomMath descriptor only with this set.
#define LTM_DESC

#include "cryptwrapper.h"

#include <fstream>
#include <iterator>

int sha1HashIndex = -1;
int sprngIndex = -1;

namespace {

// Without a math provider LibTomCrypt aborts the process on the first RSA call.
void requireMathProvider(const char *what)
{
    if (ltc_mp.name == nullptr)
        throw crypt_exception(std::string(what) + ": crypto library not initialised");
}

} // namespace

void initCryptLibrary()
{
    if (register_prng(&sprng_desc) == -1)
        throw crypt_exception("Error registering sprng");
    ltc_mp = ltm_desc;
    if (register_hash(&sha1_desc) == -1)
        throw crypt_exception("Error registering sha1");
    sha1HashIndex = find_hash("sha1");
    sprngIndex = find_prng("sprng");
}

void checkCryptResult(const char *what, int err)
{
    if (err != CRYPT_OK)
        throw crypt_exception(std::string(what) + ": " + error_to_string(err));
}

void rsaImportKey(rsa_key *key, const unsigned char *data, unsigned long length)
{
    requireMathProvider("rsa_import");
    // LibTomCrypt aborts on an empty buffer instead of reporting it.
    if (length == 0 || data == nullptr)
        checkCryptResult("rsa_import", CRYPT_INVALID_ARG);
    checkCryptResult("rsa_import", rsa_import(data, length, key));
}

void sha1Digest(const unsigned char *data, unsigned long length, unsigned char out[20])
{
    static const unsigned char empty = 0;
    hash_state md;
    sha1_init(&md);
    sha1_process(&md, data ? data : &empty, data ? length : 0);
    sha1_done(&md, out);
}

bool rsaVerifyHash(rsa_key *key, const unsigned char *data, unsigned long length,
                   const unsigned char *signature, unsigned long signatureLength)
{
    requireMathProvider("rsa_verify_hash");
    unsigned char digest[sha1DigestSize];
    sha1Digest(data, length, digest);
    int status = 0;
    // LibTomCrypt rejects null pointers by aborting, even for empty buffers.
    static const unsigned char empty = 0;
    checkCryptResult("rsa_verify_hash",
                     rsa_verify_hash_ex(signature ? signature : &empty, signatureLength, digest,
                                        sha1DigestSize, LTC_PKCS_1_PSS, sha1HashIndex,
                                        rsaPssSaltLength, &status, key));
    return status == 1;
}

void rsaMakeKey(rsa_key *key)
{
    requireMathProvider("rsa_make_key");
    checkCryptResult("rsa_make_key", rsa_make_key(nullptr, sprngIndex, 128, 65537, key));
}

void rsaSignHash(rsa_key *key, const unsigned char *data, unsigned long length,
                 unsigned char *signature, unsigned long *signatureLength)
{
    requireMathProvider("rsa_sign_hash");
    unsigned char digest[sha1DigestSize];
    sha1Digest(data, length, digest);
    checkCryptResult("rsa_sign_hash",
                     rsa_sign_hash_ex(digest, sha1DigestSize, signature, signatureLength,
                                      LTC_PKCS_1_PSS, nullptr, sprngIndex, sha1HashIndex,
                                      rsaPssSaltLength, key));
}

void exportRsaKeyToFile(rsa_key *key, int type, const std::string &path)
{
    requireMathProvider("rsa_export");
    std::vector<unsigned char> block(cryptKeyBlockSize, 0);
    unsigned long length = cryptKeyBlockSize;
    checkCryptResult("rsa_export", rsa_export(block.data(), &length, type, key));
    writeWholeFile(path, block);
}

void rsaImportKeyFile(rsa_key *key, const std::string &path)
{
    std::vector<unsigned char> data = readWholeFile(path);
    if (data.size() > cryptKeyBlockSize)
        data.resize(cryptKeyBlockSize);
    rsaImportKey(key, data.data(), data.size());
}

std::vector<unsigned char> readWholeFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw crypt_exception("Cannot open file for reading: " + path);
    std::vector<unsigned char> data((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    if (in.bad())
        throw crypt_exception("Cannot open file for reading: " + path);
    return data;
}

void writeWholeFile(const std::string &path, const std::vector<unsigned char> &data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        throw crypt_exception("Cannot open file for writing: " + path);
    out.write(reinterpret_cast<const char *>(data.data()), std::streamsize(data.size()));
    out.close();
    if (!out)
        throw crypt_exception("Cannot open file for writing: " + path);
}

RsaKeyGuard::~RsaKeyGuard()
{
    if (m_loaded)
        rsa_free(&m_key);
}
