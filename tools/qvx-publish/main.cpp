// qvx-publish: prepares files for the image server with the same code the updater reads them with.
//
//   qvx-publish pack [--preprocess] IN OUT   LZMA2 container of IN (executables may be stored as
//                                            programs with --preprocess)
//   qvx-publish sign FILE PRIVATE_KEY_DER    detached signature FILE.sig (RSA-PSS, SHA-1, salt 8)
//   qvx-publish hash FILE                    SHA-512 of FILE in hexadecimal, as a product ini holds
//   it

#include "cryptwrapper.h"
#include "lzma2container.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QFile>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

int usage()
{
    std::fprintf(stderr,
                 "usage: qvx-publish pack [--preprocess] IN OUT\n"
                 "       qvx-publish sign FILE PRIVATE_KEY_DER\n"
                 "       qvx-publish hash FILE\n");
    return 2;
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
        return usage();
    const char *in = argv[first];
    const char *out = argv[first + 1];
    // Write beside the target first, so that a failed run leaves no half-written container.
    const std::string partial = std::string(out) + ".partial";
    if (!quorpatch::CompressFile(in, partial.c_str(), preprocess)) {
        std::remove(partial.c_str());
        std::fprintf(stderr, "qvx-publish: could not pack %s\n", in);
        return 1;
    }
    if (std::rename(partial.c_str(), out) != 0) {
        std::remove(partial.c_str());
        std::fprintf(stderr, "qvx-publish: could not write %s\n", out);
        return 1;
    }
    return 0;
}

int sign(int argc, char **argv)
{
    if (argc != 4)
        return usage();
    const std::string file = argv[2];
    const std::string keyPath = argv[3];
    try {
        initCryptLibrary();
        RsaKeyGuard key;
        rsaImportKeyFile(key.key(), keyPath);
        key.setLoaded();
        if (key.key()->type != PK_PRIVATE) {
            std::fprintf(stderr, "qvx-publish: %s holds no private key\n", keyPath.c_str());
            return 1;
        }
        const std::vector<unsigned char> content = readWholeFile(file);
        std::vector<unsigned char> signature(1024);
        unsigned long length = static_cast<unsigned long>(signature.size());
        rsaSignHash(key.key(), content.data(), static_cast<unsigned long>(content.size()),
                    signature.data(), &length);
        signature.resize(length);
        writeWholeFile(file + ".sig", signature);
    } catch (const crypt_exception &e) {
        std::fprintf(stderr, "qvx-publish: %s\n", e.what());
        return 1;
    }
    return 0;
}

int hash(int argc, char **argv)
{
    if (argc != 3)
        return usage();
    QFile file(QString::fromLocal8Bit(argv[2]));
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "qvx-publish: cannot read %s\n", argv[2]);
        return 1;
    }
    QCryptographicHash digest(QCryptographicHash::Sha512);
    if (!digest.addData(&file) || file.error() != QFileDevice::NoError) {
        std::fprintf(stderr, "qvx-publish: cannot read %s\n", argv[2]);
        return 1;
    }
    std::printf("%s\n", digest.result().toHex().constData());
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return usage();
    const std::string command = argv[1];
    if (command == "pack")
        return pack(argc, argv);
    if (command == "sign")
        return sign(argc, argv);
    if (command == "hash")
        return hash(argc, argv);
    return usage();
}
