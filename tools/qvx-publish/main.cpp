// qvx-publish: prepares files for the image server with the same code the updater reads them with.
// Its usage text below says what each command does. Failures print one line,
// "qvx-publish: <what>: <why>", and exit 1; a wrong command line prints the usage and exits 2.

#include "cryptwrapper.h"
#include "log.h"
#include "lzma2container.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

const char kUsage[]
    = "usage: qvx-publish pack [--preprocess] IN OUT\n"
      "       qvx-publish sign FILE PRIVATE_KEY_DER\n"
      "       qvx-publish hash FILE\n"
      "       qvx-publish --help\n"
      "\n"
      "  pack   writes IN as an LZMA2 container to OUT, the form of the updater's packed\n"
      "         downloads. With --preprocess an executable (ELF, Mach-O or PE) is stored as\n"
      "         its disassembled programs plus a diff that restores it byte for byte; any\n"
      "         other file, and an executable that cannot be disassembled, is stored plain.\n"
      "  sign   writes the detached signature of FILE to FILE.sig (RSA-PSS, SHA-1, salt 8),\n"
      "         made with the private key in PRIVATE_KEY_DER (DER RSAPrivateKey); an\n"
      "         existing FILE.sig is replaced.\n"
      "  hash   prints the SHA-512 of FILE in hexadecimal, as a product ini holds it.\n";

int usage()
{
    std::fputs(kUsage, stderr);
    return 2;
}

int wrongArguments(const char *command)
{
    std::fprintf(stderr, "qvx-publish: %s: wrong number of arguments\n", command);
    return usage();
}

int fail(const std::string &what, const std::string &why)
{
    std::fprintf(stderr, "qvx-publish: %s: %s\n", what.c_str(), why.c_str());
    return 1;
}

// The engine says why it failed only through its log; keep its last error as the reason.
class LastEngineError : public LogBase
{
public:
    void flush() override { }
    void receiveValue(u64) override { }
    void write(const std::string &message, int level, const std::string &, u64, const std::string &,
               const std::string &) override
    {
        if (level <= LogLevel_ERROR)
            m_message = message;
    }

    const std::string &message() const { return m_message; }

private:
    std::string m_message;
};

// Why path cannot be read as a regular file; empty when it can.
std::string unreadableReason(const char *path)
{
    struct stat status;
    if (::stat(path, &status) != 0)
        return std::strerror(errno);
    if (S_ISDIR(status.st_mode))
        return std::strerror(EISDIR);
    if (!S_ISREG(status.st_mode))
        return "not a regular file";
    std::FILE *file = std::fopen(path, "rb");
    if (!file)
        return std::strerror(errno);
    std::fclose(file);
    return std::string();
}

// Why path cannot be created or replaced; empty when it can (it is then left as an empty file).
std::string unwritableReason(const std::string &path)
{
    std::FILE *file = std::fopen(path.c_str(), "wb");
    if (!file)
        return std::strerror(errno);
    std::fclose(file);
    return std::string();
}

int pack(int argc, char **argv)
{
    int first = 2;
    bool preprocess = false;
    if (argc > first && std::strcmp(argv[first], "--preprocess") == 0) {
        preprocess = true;
        ++first;
    }
    if (argc != first + 2)
        return wrongArguments("pack");
    const char *in = argv[first];
    const char *out = argv[first + 1];
    const std::string what = std::string("cannot pack ") + in;
    std::string why = unreadableReason(in);
    if (!why.empty())
        return fail(what, why);
    // Write beside the target first, so that a failed run leaves no half-written container.
    const std::string partial = std::string(out) + ".partial";
    why = unwritableReason(partial);
    if (!why.empty())
        return fail(std::string("cannot write ") + partial, why);

    LastEngineError engineError;
    if (!quorpatch::CompressFile(in, partial.c_str(), preprocess)) {
        std::remove(partial.c_str());
        return fail(what,
                    engineError.message().empty() ? std::string("compression failed")
                                                  : engineError.message());
    }
    if (std::rename(partial.c_str(), out) != 0) {
        why = std::strerror(errno);
        std::remove(partial.c_str());
        return fail(std::string("cannot write ") + out, why);
    }
    return 0;
}

// Reads the first limit bytes of a file; on failure returns false with the reason in why.
bool readSmallFile(const std::string &path, std::size_t limit, std::vector<unsigned char> *data,
                   std::string *why)
{
    *why = unreadableReason(path.c_str());
    if (!why->empty())
        return false;
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (!file) {
        *why = std::strerror(errno);
        return false;
    }
    data->assign(limit, 0);
    const std::size_t length = std::fread(data->data(), 1, data->size(), file);
    const bool failed = std::ferror(file) != 0;
    const int error = errno;
    std::fclose(file);
    if (failed) {
        *why = std::strerror(error);
        return false;
    }
    data->resize(length);
    return true;
}

int sign(int argc, char **argv)
{
    if (argc != 4)
        return wrongArguments("sign");
    const std::string file = argv[2];
    const std::string keyPath = argv[3];
    const std::string signaturePath = file + ".sig";
    std::string why;
    std::vector<unsigned char> keyData;
    // An exported key fills one key block; what follows it is not read.
    if (!readSmallFile(keyPath, cryptKeyBlockSize, &keyData, &why))
        return fail("cannot read key " + keyPath, why);
    if (keyData.empty())
        return fail("cannot use key " + keyPath, "the file is empty");

    try {
        initCryptLibrary();
    } catch (const crypt_exception &e) {
        return fail("cannot start the crypto library", e.what());
    }
    RsaKeyGuard key;
    try {
        rsaImportKey(key.key(), keyData.data(), static_cast<unsigned long>(keyData.size()));
        key.setLoaded();
    } catch (const crypt_exception &) {
        return fail("cannot use key " + keyPath, "not an RSA key in DER form");
    }
    if (key.key()->type != PK_PRIVATE)
        return fail("cannot use key " + keyPath, "a public key, signing needs the private key");

    const std::string reason = unreadableReason(file.c_str());
    if (!reason.empty())
        return fail("cannot read " + file, reason);
    std::vector<unsigned char> content;
    try {
        content = readWholeFile(file);
    } catch (const crypt_exception &) {
        return fail("cannot read " + file, std::strerror(errno));
    }
    std::vector<unsigned char> signature(1024);
    unsigned long length = static_cast<unsigned long>(signature.size());
    try {
        rsaSignHash(key.key(), content.data(), static_cast<unsigned long>(content.size()),
                    signature.data(), &length);
    } catch (const crypt_exception &e) {
        return fail("cannot sign " + file, e.what());
    }
    signature.resize(length);
    why = unwritableReason(signaturePath);
    if (!why.empty())
        return fail("cannot write " + signaturePath, why);
    try {
        writeWholeFile(signaturePath, signature);
    } catch (const crypt_exception &) {
        return fail("cannot write " + signaturePath, std::strerror(errno));
    }
    return 0;
}

int hash(int argc, char **argv)
{
    if (argc != 3)
        return wrongArguments("hash");
    const std::string what = std::string("cannot read ") + argv[2];
    const std::string why = unreadableReason(argv[2]);
    if (!why.empty())
        return fail(what, why);
    QFile file(QString::fromLocal8Bit(argv[2]));
    if (!file.open(QIODevice::ReadOnly))
        return fail(what, file.errorString().toStdString());
    QCryptographicHash digest(QCryptographicHash::Sha512);
    if (!digest.addData(&file) || file.error() != QFileDevice::NoError)
        return fail(what, file.errorString().toStdString());
    std::printf("%s\n", digest.result().toHex().constData());
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return usage();
    const std::string command = argv[1];
    if (command == "--help" || command == "-h") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (command == "pack")
        return pack(argc, argv);
    if (command == "sign")
        return sign(argc, argv);
    if (command == "hash")
        return hash(argc, argv);
    std::fprintf(stderr, "qvx-publish: %s: unknown command\n", command.c_str());
    return usage();
}
