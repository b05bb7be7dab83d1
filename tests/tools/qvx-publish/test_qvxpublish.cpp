// Runs the built qvx-publish as a publisher would and checks what it says and how it ends.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <functional>

namespace {

struct PublishRun
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

PublishRun runPublish(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(QVX_PUBLISH_PROGRAM), arguments);
    PublishRun run;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.exitCode = process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString keyPath(const char *name)
{
    return QStringLiteral(QVX_SOURCE_DIR "/keys/") + QLatin1String(name);
}

class QvxPublishTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }

    QString path(const QString &name) const { return m_dir.filePath(name); }

    QTemporaryDir m_dir;
};

TEST_F(QvxPublishTest, HelpGoesToStandardOutputAndSucceeds)
{
    for (const char *flag : {"--help", "-h"}) {
        const PublishRun run = runPublish({QLatin1String(flag)});
        EXPECT_EQ(run.exitCode, 0) << flag;
        EXPECT_TRUE(run.err.isEmpty()) << flag << run.err.constData();
        EXPECT_TRUE(run.out.startsWith("usage: qvx-publish pack [--preprocess] IN OUT\n")) << flag;
        EXPECT_TRUE(run.out.contains("With --preprocess an executable")) << flag;
        EXPECT_TRUE(run.out.contains("writes the detached signature of FILE to FILE.sig")) << flag;
    }
}

TEST_F(QvxPublishTest, WrongCommandLinesPrintTheUsageAndExitTwo)
{
    const struct
    {
        QStringList arguments;
        QByteArray firstLine;
    } cases[] = {
        {{}, "usage: qvx-publish pack [--preprocess] IN OUT\n"},
        {{"publish"}, "qvx-publish: publish: unknown command\n"},
        {{"pack", "only-in"}, "qvx-publish: pack: wrong number of arguments\n"},
        {{"sign", "file"}, "qvx-publish: sign: wrong number of arguments\n"},
        {{"hash"}, "qvx-publish: hash: wrong number of arguments\n"},
    };
    for (const auto &c : cases) {
        const PublishRun run = runPublish(c.arguments);
        const QString label = c.arguments.join(QLatin1Char(' '));
        EXPECT_EQ(run.exitCode, 2) << qPrintable(label);
        EXPECT_TRUE(run.out.isEmpty()) << qPrintable(label);
        EXPECT_TRUE(run.err.startsWith(c.firstLine)) << qPrintable(label) << run.err.constData();
        EXPECT_TRUE(run.err.contains("usage: qvx-publish")) << qPrintable(label);
    }
}

TEST_F(QvxPublishTest, FailuresNameWhatAndWhyAndLeaveNoOutput)
{
    const QString in = path(QStringLiteral("notes.txt"));
    ASSERT_TRUE(writeFile(in, "release notes\n"));
    // A private key cut short, as a broken copy leaves it.
    const QString damagedKey = path(QStringLiteral("damaged.der"));
    ASSERT_TRUE(
        writeFile(damagedKey, readFile(keyPath("development-signing-key.private.der")).left(100)));
    const QString missing = path(QStringLiteral("missing.bin"));
    const QString out = path(QStringLiteral("out.lzma2"));
    const QString noFolderOut = path(QStringLiteral("no-folder/out.lzma2"));

    const struct
    {
        const char *label;
        QStringList arguments;
        QString message;
        QStringList leftOut;
    } cases[] = {
        {"pack a missing file",
         {"pack", missing, out},
         "cannot pack " + missing + ": No such file or directory",
         {out, out + ".partial"}},
        {"pack a folder",
         {"pack", "--preprocess", m_dir.path(), out},
         "cannot pack " + m_dir.path() + ": Is a directory",
         {out, out + ".partial"}},
        {"pack into a missing folder",
         {"pack", in, noFolderOut},
         "cannot write " + noFolderOut + ".partial: No such file or directory",
         {noFolderOut}},
        {"sign with a damaged key",
         {"sign", in, damagedKey},
         "cannot use key " + damagedKey + ": not an RSA key in DER form",
         {in + ".sig"}},
        {"sign with the public key",
         {"sign", in, keyPath("development-signing-key.public.der")},
         "cannot use key " + keyPath("development-signing-key.public.der")
             + ": a public key, signing needs the private key",
         {in + ".sig"}},
        {"sign with a missing key",
         {"sign", in, missing},
         "cannot read key " + missing + ": No such file or directory",
         {in + ".sig"}},
        {"sign a missing file",
         {"sign", missing, keyPath("development-signing-key.private.der")},
         "cannot read " + missing + ": No such file or directory",
         {missing + ".sig"}},
        {"hash a missing file",
         {"hash", missing},
         "cannot read " + missing + ": No such file or directory",
         {}},
    };
    for (const auto &c : cases) {
        const PublishRun run = runPublish(c.arguments);
        EXPECT_EQ(run.exitCode, 1) << c.label;
        EXPECT_TRUE(run.out.isEmpty()) << c.label;
        EXPECT_EQ(QString::fromLocal8Bit(run.err), "qvx-publish: " + c.message + "\n") << c.label;
        for (const QString &file : c.leftOut)
            EXPECT_FALSE(QFileInfo::exists(file)) << c.label << ": " << qPrintable(file);
    }
}

TEST_F(QvxPublishTest, SoundRunsSucceedQuietly)
{
    const QString in = path(QStringLiteral("notes.txt"));
    ASSERT_TRUE(writeFile(in, "release notes\n"));
    const QString out = path(QStringLiteral("notes.txt_lzma2_"));

    const struct
    {
        const char *label;
        QStringList arguments;
        QString written;
    } cases[] = {
        {"pack", {"pack", in, out}, out},
        {"pack with --preprocess", {"pack", "--preprocess", in, out}, out},
        {"sign", {"sign", in, keyPath("development-signing-key.private.der")}, in + ".sig"},
    };
    for (const auto &c : cases) {
        const PublishRun run = runPublish(c.arguments);
        EXPECT_EQ(run.exitCode, 0) << c.label << run.err.constData();
        EXPECT_TRUE(run.err.isEmpty()) << c.label;
        EXPECT_GT(QFileInfo(c.written).size(), 0) << c.label;
        EXPECT_FALSE(QFileInfo::exists(out + ".partial")) << c.label;
    }
    const PublishRun hash = runPublish({QStringLiteral("hash"), in});
    EXPECT_EQ(hash.exitCode, 0);
    EXPECT_EQ(hash.out.size(), 129);
}

} // namespace
