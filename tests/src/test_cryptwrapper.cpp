#include "cryptwrapper.h"
#include "fileops_test_support.h"
#include "signing_test_support.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

const unsigned char *bytes(const QByteArray &data)
{
    return reinterpret_cast<const unsigned char *>(data.constData());
}

class CryptWrapperTest : public ::testing::Test
{
protected:
    void SetUp() override { initCryptLibrary(); }

    // Verifies with a key imported from the whole built-in block.
    static bool verifyBuiltIn(const QByteArray &data, const QByteArray &signature)
    {
        RsaKeyGuard key;
        rsaImportKey(key.key(), builtinPublicKeyBlock, cryptKeyBlockSize);
        key.setLoaded();
        return rsaVerifyHash(key.key(), bytes(data), data.size(), bytes(signature),
                             signature.size());
    }

    QTemporaryDir dir;
};

TEST_F(CryptWrapperTest, SetUpRegistersSha1AndSprngOnce)
{
    initCryptLibrary();
    EXPECT_GE(sha1HashIndex, 0);
    EXPECT_GE(sprngIndex, 0);
    EXPECT_EQ(sha1HashIndex, find_hash("sha1"));
    EXPECT_EQ(sprngIndex, find_prng("sprng"));
}

TEST_F(CryptWrapperTest, ErrorsBecomeExceptionsNamingTheOperation)
{
    EXPECT_NO_THROW(checkCryptResult("rsa_import", CRYPT_OK));
    try {
        checkCryptResult("rsa_verify_hash", CRYPT_INVALID_PACKET);
        FAIL() << "no exception";
    } catch (const crypt_exception &e) {
        EXPECT_STREQ(e.what(), "rsa_verify_hash: Invalid input packet.");
    }
    RsaKeyGuard key;
    const QByteArray garbage(200, 'x');
    EXPECT_THROW(rsaImportKey(key.key(), bytes(garbage), garbage.size()), crypt_exception);
}

TEST_F(CryptWrapperTest, Sha1DigestIsStandardSha1)
{
    unsigned char out[sha1DigestSize];
    sha1Digest(reinterpret_cast<const unsigned char *>("abc"), 3, out);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(out), sha1DigestSize).toHex(),
              QByteArray("a9993e364706816aba3e25717850c26c9cd0d89d"));
}

TEST_F(CryptWrapperTest, BuiltInBlockHoldsThe140ByteDerKey)
{
    EXPECT_EQ(builtinPublicKeyBlock[0], 0x30);
    EXPECT_EQ(builtinPublicKeyBlock[1], 0x81);
    EXPECT_EQ(builtinPublicKeyBlock[2], 0x89);
    RsaKeyGuard key;
    ASSERT_NO_THROW(rsaImportKey(key.key(), builtinPublicKeyBlock, cryptKeyBlockSize));
    key.setLoaded();
    EXPECT_EQ(key.key()->type, int(PK_PUBLIC));
    EXPECT_EQ(rsa_get_size(key.key()), 128);
}

TEST_F(CryptWrapperTest, DevelopmentSignatureVerifiesAndMalformedOnesThrow)
{
    if (!builtInKeyIsDevelopmentKey())
        GTEST_SKIP() << "the build embeds another signing key";
    const QByteArray content("[common_client]\nfile=abc::3\n");
    const QByteArray signature = signWithDevelopmentKey(content);
    ASSERT_EQ(signature.size(), 128);
    EXPECT_TRUE(verifyBuiltIn(content, signature));
    // A valid signature over other content is a plain mismatch.
    EXPECT_FALSE(verifyBuiltIn(content + "x", signature));

    QByteArray flipped = signature;
    flipped[40] = char(flipped[40] ^ 0x01);
    const QByteArray malformed[] = {QByteArray(), signature.left(127), signature + '\0', flipped};
    for (const QByteArray &bad : malformed) {
        SCOPED_TRACE(bad.size());
        EXPECT_THROW(verifyBuiltIn(content, bad), crypt_exception);
    }
}

TEST_F(CryptWrapperTest, MadeKeysExportAsFullBlocksAndSignRoundTrip)
{
    RsaKeyGuard made;
    rsaMakeKey(made.key());
    made.setLoaded();
    const std::string publicPath = dir.filePath("pub.der").toStdString();
    const std::string privatePath = dir.filePath("priv.der").toStdString();
    exportRsaKeyToFile(made.key(), PK_PUBLIC, publicPath);
    exportRsaKeyToFile(made.key(), PK_PRIVATE, privatePath);

    const std::vector<unsigned char> publicBlock = readWholeFile(publicPath);
    ASSERT_EQ(publicBlock.size(), cryptKeyBlockSize);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(publicBlock.data()), 4).toHex(),
              QByteArray("30818902"));
    EXPECT_EQ(readWholeFile(privatePath).size(), cryptKeyBlockSize);

    RsaKeyGuard privateKey;
    rsaImportKeyFile(privateKey.key(), privatePath);
    privateKey.setLoaded();
    RsaKeyGuard publicKey;
    rsaImportKeyFile(publicKey.key(), publicPath);
    publicKey.setLoaded();
    EXPECT_EQ(publicKey.key()->type, int(PK_PUBLIC));

    const QByteArray content("payload");
    const QByteArray signature = signWithKey(privateKey.key(), content);
    EXPECT_EQ(signature.size(), 128);
    EXPECT_TRUE(rsaVerifyHash(publicKey.key(), bytes(content), content.size(), bytes(signature),
                              signature.size()));
    // The development key does not accept it (a mismatch or a malformed packet).
    if (builtInKeyIsDevelopmentKey()) {
        bool accepted = false;
        try {
            accepted = verifyBuiltIn(content, signature);
        } catch (const crypt_exception &) { }
        EXPECT_FALSE(accepted);
    }
}

TEST_F(CryptWrapperTest, WholeFileHelpersRoundTripAndNameThePathOnFailure)
{
    const std::string path = dir.filePath("data.bin").toStdString();
    const std::vector<unsigned char> data = {0, 1, 2, 255, 0};
    writeWholeFile(path, data);
    EXPECT_EQ(readWholeFile(path), data);

    const std::string missing = dir.filePath("missing").toStdString();
    try {
        readWholeFile(missing);
        FAIL() << "no exception";
    } catch (const crypt_exception &e) {
        EXPECT_EQ(std::string(e.what()), "Cannot open file for reading: " + missing);
    }
    const std::string folder = dir.path().toStdString();
    try {
        writeWholeFile(folder, data);
        FAIL() << "no exception";
    } catch (const crypt_exception &e) {
        EXPECT_EQ(std::string(e.what()), "Cannot open file for writing: " + folder);
    }
    RsaKeyGuard key;
    EXPECT_THROW(rsaImportKeyFile(key.key(), missing), crypt_exception);
    writeWholeFile(path, {});
    EXPECT_THROW(rsaImportKeyFile(key.key(), path), crypt_exception);
}

} // namespace
