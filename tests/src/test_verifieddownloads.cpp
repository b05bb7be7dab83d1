// Whole update runs in which a download has no hash in the product ini, so that only its
// detached signature vouches for it, and step-one runs with a tampered download.
#include "filemodes.h"
#include "test_maintask_fixture.h"
#include "test_maintask_support.h"
#include "test_peaksize.h"

#include <gtest/gtest.h>

using namespace qvxrun;

namespace {

class VerifiedDownloadRunTest : public MainTaskRunTest
{
public:
    void SetUp() override
    {
        MainTaskRunTest::SetUp();
        if (!builtInKeyIsDevelopmentKey())
            GTEST_SKIP() << "the build embeds another signing key";
    }

    // The product ini of the step, packed and signed on the server; values maps "section/key"
    // to the line.
    void serveProductIni(const QMap<QString, QString> &values)
    {
        QMap<QString, QVariant> lines;
        for (auto it = values.begin(); it != values.end(); ++it)
            lines.insert(it.key(), it.value());
        MainTaskRunTest::serveProductIni(config.clientUpdate == 1
                                             ? QStringLiteral("qvx_client_macosx.ini")
                                             : QStringLiteral("update_macosx.ini"),
                                         lines);
    }

    QStringList signatureFailures() const
    {
        return log.filtered("main message Signature check failed");
    }
};

QString size(const QByteArray &data)
{
    return QString::number(data.size());
}

TEST_F(VerifiedDownloadRunTest, StepTwoInstallsAnUnhashedFileOnlyWithItsSignature)
{
    config.clientUpdate = 1;
    const QByteArray oldTool = lines("tool v1");
    const QByteArray newTool = lines("tool v2");
    const QByteArray packed = packLzma2(newTool);
    ASSERT_TRUE(put(installed("MacOS/tool"), oldTool));
    ASSERT_TRUE(QFile::setPermissions(installed("MacOS/tool"), FileModes::executable));
    const QByteArray newReadme = "read me, signed\n";
    serveProductIni({
        {"mac/MacOS/tool._lzma2_",
         QStringList({QString(), size(packed), sha512(newTool), size(newTool), "MacOS/tool"})
             .join("::")},
        {"common_client/readme.txt", "::" + size(newReadme)},
    });
    serve("mac/MacOS/tool._lzma2_", packed);
    serve("common_client/readme.txt", newReadme);

    for (const bool signedRightly : {false, true}) {
        SCOPED_TRACE(signedRightly ? "signatures of the downloads" : "a forged signature");
        log.lines.clear();
        serve("mac/MacOS/tool._lzma2_.sig", signWithDevelopmentKey(packed));
        serve("common_client/readme.txt.sig",
              signWithDevelopmentKey(signedRightly ? newReadme : QByteArray("forged")));
        const auto before = snapshot(env.bundle(), WithModes);
        if (signedRightly) {
            ASSERT_EQ(runUpdate(), TaskSpecification::Finished);
            EXPECT_EQ(get(installed("MacOS/tool")), newTool);
            EXPECT_EQ(QFileInfo(installed("MacOS/tool")).permissions(), FileModes::executable);
            EXPECT_EQ(get(installed("SharedSupport/readme.txt")), newReadme);
            // A signature and a file without a hash are not checked against one.
            EXPECT_TRUE(signatureFailures().isEmpty())
                << signatureFailures().join('\n').toStdString();
        } else {
            ASSERT_EQ(runUpdate(), TaskSpecification::Failed);
            EXPECT_EQ(snapshot(env.bundle(), WithModes), before);
            EXPECT_EQ(
                signatureFailures(),
                QStringList("main message Signature check failed for " + session("readme.txt")));
        }
    }
}

TEST_F(VerifiedDownloadRunTest, StepOneStagesAnUnhashedSharedSupportFileAndRefusesATamperedOne)
{
    config.clientUpdate = 0;
    const QString key = QStringLiteral("update.app/Contents/Resources/extra.txt");
    const QByteArray extra = lines("extra");
    serveProductIni({{"common_client/" + key, "::" + size(extra)}});
    serve("common_client/" + key, extra);

    for (const bool signedRightly : {false, true}) {
        SCOPED_TRACE(signedRightly ? "signature of the download" : "signature of other bytes");
        log.lines.clear();
        serve("common_client/" + key + ".sig",
              signWithDevelopmentKey(signedRightly ? extra : QByteArray("other")));
        const auto before = snapshot(env.bundle(), WithModes);
        ASSERT_EQ(runUpdate(),
                  signedRightly ? TaskSpecification::Finished : TaskSpecification::Failed);
        EXPECT_EQ(snapshot(env.bundle(), WithModes), before);
        if (signedRightly) {
            EXPECT_EQ(get(session("SharedSupport/" + key)), extra);
        } else {
            EXPECT_FALSE(QFileInfo::exists(session("SharedSupport/" + key)));
            EXPECT_EQ(signatureFailures(),
                      QStringList("main message Signature check failed for " + session(key)));
        }
    }
}

// Anyone on the path can answer for the image server: a download that brings more than the
// product ini states for it, or a signature of more than its bound, fails the run before the
// session folder fills up, and the bundle stays as it was.
TEST_F(VerifiedDownloadRunTest, ADownloadPastItsBoundFailsTheRunWithTheBundleUnchanged)
{
    config.clientUpdate = 1;
    const QByteArray readme = "twenty bytes of text";
    ASSERT_EQ(readme.size(), 20);
    ASSERT_TRUE(put(installed("SharedSupport/readme.txt"), "old readme\n"));
    TestHttpServer::Reply paddedSig
        = TestHttpServer::Reply::ok(signWithDevelopmentKey(readme) + QByteArray(64 * 1024, '\0'));
    paddedSig.sendLength = false;
    const struct
    {
        const char *name;
        QString hash;
        QString remote;
        TestHttpServer::Reply reply;
        qint64 bound;
    } cases[] = {
        {"endless body for 20 stated bytes", sha512(readme), "common_client/readme.txt",
         TestHttpServer::Reply::endless(readme, 16 << 20), 20},
        {"Content-Length above the stated size", sha512(readme), "common_client/readme.txt",
         TestHttpServer::Reply::ok(readme + readme), 20},
        {"padded signature of an unhashed line", QString(), "common_client/readme.txt.sig",
         paddedSig, 64 * 1024},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        server.clearReplies();
        serveProductIni({{"common_client/readme.txt", c.hash + "::" + size(readme)}});
        serve("common_client/readme.txt", readme);
        serve("common_client/readme.txt.sig", signWithDevelopmentKey(readme));
        server.setReply(QString("/images/%1/%2").arg(version).arg(c.remote), c.reply);
        // Each case fetches its own product ini.
        for (const char *name : {"qvx_client_macosx.ini", "qvx_client_macosx.ini.sig"})
            QFile::remove(session(name));
        log.lines.clear();
        const auto before = snapshot(env.bundle(), WithModes);
        const QString download = session(QFileInfo(c.remote).fileName());
        PeakSize written({download, download + "_part_"});

        ASSERT_EQ(runUpdate(), TaskSpecification::Failed);
        EXPECT_EQ(snapshot(env.bundle(), WithModes), before);
        EXPECT_LE(written.peak(), c.bound);
        EXPECT_EQ(log.filtered("main message Unable to download " + c.remote).size(), 1)
            << log.lines.join('\n').toStdString();
        EXPECT_EQ(log.filtered(QString("main message Download of %1 exceeds %2 bytes")
                                   .arg(c.remote)
                                   .arg(c.bound))
                      .size(),
                  5);
    }
}

} // namespace
