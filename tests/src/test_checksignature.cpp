#include "checksigfunc.h"
#include "checksignaturetaskspecification.h"
#include "cryptwrapper.h"
#include "faketasks.h"
#include "fileops_test_support.h"
#include "filesha512.h"
#include "signing_test_support.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

namespace {

QString sha512Hex(const QByteArray &content)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(content, QCryptographicHash::Sha512).toHex());
}

struct CheckOutcome
{
    bool passed;
    QStringList messages;
};

class SignatureCheckTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        initCryptLibrary();
        ASSERT_TRUE(dir.isValid());
    }

    QString path(const QString &name) const { return dir.filePath(name); }

    // Runs the worker on this thread, as the list builder does.
    static CheckOutcome runCheck(const QString &file, const QString &hash)
    {
        CheckSigFunc func(file, hash);
        QSignalSpy messages(&func, &ASyncFunc::message);
        CheckOutcome outcome {func.run(), {}};
        for (const QList<QVariant> &args : messages)
            outcome.messages << args.at(0).toString();
        return outcome;
    }

    QTemporaryDir dir;
};

TEST_F(SignatureCheckTest, HashCheckIgnoresLetterCaseAndNeedsTheWholeDigest)
{
    const QByteArray content("installed file\n");
    ASSERT_TRUE(writeTestFile(path("file"), content));
    ASSERT_TRUE(writeTestFile(path("empty"), QByteArray()));
    const QString hash = sha512Hex(content);

    const struct
    {
        const char *name;
        QString file;
        QString expected;
        bool passes;
    } cases[] = {
        {"lower case", path("file"), hash, true},
        {"upper case", path("file"), hash.toUpper(), true},
        {"empty file", path("empty"), sha512Hex(QByteArray()), true},
        {"other content", path("file"), sha512Hex("other"), false},
        {"digest cut short", path("file"), hash.left(127), false},
        {"digest too long", path("file"), hash + "0", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        const CheckOutcome outcome = runCheck(c.file, c.expected);
        EXPECT_EQ(outcome.passed, c.passes);
        EXPECT_TRUE(outcome.messages.isEmpty());
        EXPECT_TRUE(log.contains("SHA512 check:"));
    }

    const CheckOutcome missing = runCheck(path("missing"), hash);
    EXPECT_FALSE(missing.passed);
    EXPECT_EQ(missing.messages,
              QStringList(QString("Could not open file %1 for reading").arg(path("missing"))));
}

TEST_F(SignatureCheckTest, HashOfFilesAroundBlockAndPieceBoundariesMatchesQt)
{
    const int piece = 1 << 20;
    // SHA-512 blocks are 128 bytes, with 112 bytes of room before the length.
    const int sizes[]
        = {0, 1, 111, 112, 127, 128, 129, 255, 256, piece - 1, piece, piece + 1, 3 * piece + 77};
    for (int size : sizes) {
        SCOPED_TRACE(size);
        QByteArray content(size, Qt::Uninitialized);
        for (int i = 0; i < size; ++i)
            content[i] = char((i * 131 + i / 7) & 0xff);
        ASSERT_TRUE(writeTestFile(path("file"), content));
        const QString expected = sha512Hex(content);

        QFile file(path("file"));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        QString computed;
        ASSERT_TRUE(fileSha512Hex(file, file.size(), &computed));
        EXPECT_EQ(computed, expected);
        EXPECT_TRUE(runCheck(path("file"), expected).passed);
    }

    QBuffer abc;
    abc.setData("abc");
    ASSERT_TRUE(abc.open(QIODevice::ReadOnly));
    QString computed;
    ASSERT_TRUE(fileSha512Hex(abc, 3, &computed));
    EXPECT_EQ(computed,
              "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
              "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");
}

TEST_F(SignatureCheckTest, HashOfAFileShorterThanItsSizeFails)
{
    QBuffer file;
    file.setData(QByteArray(3000, 'x'));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QString computed = "untouched";
    EXPECT_FALSE(fileSha512Hex(file, 3001, &computed));
    EXPECT_EQ(computed, "untouched");
}

TEST_F(SignatureCheckTest, SignatureCheckPassesOnlyAGoodSignatureAndNeverThrows)
{
    if (!builtInKeyIsDevelopmentKey())
        GTEST_SKIP() << "the build embeds another signing key";
    const QByteArray content("[common_client]\nupdate=abc::12\n");
    const QByteArray good = signWithDevelopmentKey(content);
    QByteArray flipped = good;
    flipped[100] = char(flipped[100] ^ 0x80);

    const struct
    {
        const char *name;
        QByteArray signature;
        bool passes;
        const char *logLine;
    } cases[] = {
        {"good", good, true, "RSA check true"},
        {"signature of other content", signWithDevelopmentKey("other"), false, "RSA check false"},
        {"flipped bit", flipped, false, "RSA check failed, caught exception"},
        {"empty", QByteArray(), false, "RSA check failed, caught exception"},
        {"127 bytes", good.left(127), false, "RSA check failed, caught exception"},
        {"129 bytes", good + '\x01', false, "RSA check failed, caught exception"},
        {"not a signature", QByteArray(128, '\xff'), false, "RSA check failed, caught exception"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(writeTestFile(path("product.ini"), content));
        ASSERT_TRUE(writeTestFile(path("product.ini.sig"), c.signature));
        LogCapture log;
        const CheckOutcome outcome = runCheck(path("product.ini"), QString());
        EXPECT_EQ(outcome.passed, c.passes);
        EXPECT_TRUE(outcome.messages.isEmpty());
        EXPECT_TRUE(log.contains(c.logLine)) << log.lines().join('\n').toStdString();
    }
}

// A signature is 128 bytes; a larger ".sig" (one a server padded, or one of 1 GiB) is refused
// before a byte of it is read into memory.
TEST_F(SignatureCheckTest, SignatureLargerThanItsBoundIsRefusedUnread)
{
    if (!builtInKeyIsDevelopmentKey())
        GTEST_SKIP() << "the build embeds another signing key";
    const QByteArray content("[common_client]\nupdate=abc::12\n");
    const QByteArray good = signWithDevelopmentKey(content);
    const qint64 bound = 64 * 1024;
    const QString sig = path("product.ini.sig");
    const struct
    {
        const char *name;
        qint64 size;
        bool refused;
    } cases[] = {
        {"padded to the bound", bound, false},
        {"padded one byte past the bound", bound + 1, true},
        {"1 GiB", qint64(1) << 30, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(writeTestFile(path("product.ini"), content));
        ASSERT_TRUE(writeTestFile(sig, good));
        // Sparse: the test needs the size, not the disk space.
        ASSERT_TRUE(QFile::resize(sig, c.size));
        LogCapture log;
        const CheckOutcome outcome = runCheck(path("product.ini"), QString());
        EXPECT_FALSE(outcome.passed);
        if (c.refused) {
            EXPECT_EQ(outcome.messages,
                      QStringList(QString("File %1 is larger than %2 bytes").arg(sig).arg(bound)));
            EXPECT_TRUE(
                log.lines().contains(QString("RSA check failed, could not read \"%1\"").arg(sig)));
        } else {
            EXPECT_TRUE(outcome.messages.isEmpty());
            EXPECT_TRUE(log.contains("RSA check failed, caught exception"));
        }
    }
}

TEST_F(SignatureCheckTest, MissingSignatureOrFileFailsNamingThePath)
{
    ASSERT_TRUE(writeTestFile(path("product.ini"), "content"));
    const QString sig = path("product.ini.sig");
    {
        LogCapture log;
        const CheckOutcome outcome = runCheck(path("product.ini"), QString());
        EXPECT_FALSE(outcome.passed);
        EXPECT_EQ(outcome.messages,
                  QStringList(QString("Could not open file %1 for reading").arg(sig)));
        EXPECT_TRUE(
            log.lines().contains(QString("RSA check failed, could not read \"%1\"").arg(sig)));
    }
    const CheckOutcome missing = runCheck(path("absent.ini"), QString());
    EXPECT_FALSE(missing.passed);
    EXPECT_EQ(missing.messages,
              QStringList(QString("Could not open file %1 for reading").arg(path("absent.ini"))));
}

class SignatureTaskTest : public SignatureCheckTest
{
protected:
    // Runs a task to its end and returns its events, checkDone included.
    QStringList runTask(const QString &file, const QString &hash, bool failOnMismatch,
                        int *endState)
    {
        CheckSignatureTaskSpecification task(file, hash, failOnMismatch, nullptr, 0.2);
        TaskEventLog log;
        log.watch(&task, "check");
        QObject::connect(&task, &CheckSignatureTaskSpecification::checkDone, &log,
                         [&log, &task](bool pass, CheckSignatureTaskSpecification *sender) {
                             log.add(QString("check done %1%2")
                                         .arg(pass)
                                         .arg(sender == &task ? "" : " (other task)"));
                         });
        task.execute();
        EXPECT_EQ(task.state, int(TaskSpecification::Running));
        EXPECT_TRUE(
            QTest::qWaitFor([&task] { return task.state != TaskSpecification::Running; }, 10000));
        *endState = task.state;
        return log.lines;
    }
};

TEST_F(SignatureTaskTest, OutcomeIsReportedBeforeTheTaskEnds)
{
    const QByteArray content("downloaded");
    ASSERT_TRUE(writeTestFile(path("file"), content));
    const QString failText
        = QString("check message Signature check failed for %1").arg(path("file"));

    const struct
    {
        const char *name;
        QString hash;
        bool failOnMismatch;
        QStringList events;
        int endState;
    } cases[] = {
        {"pass",
         sha512Hex(content).toUpper(),
         true,
         {"check done 1", "check progress 0.2", "check finished"},
         TaskSpecification::Finished},
        {"mismatch tolerated",
         sha512Hex("x"),
         false,
         {failText, "check done 0", "check progress 0.2", "check finished"},
         TaskSpecification::Finished},
        {"mismatch fails",
         sha512Hex("x"),
         true,
         {failText, "check done 0", "check canceled"},
         TaskSpecification::Failed},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        int endState = -1;
        EXPECT_EQ(runTask(path("file"), c.hash, c.failOnMismatch, &endState), c.events);
        EXPECT_EQ(endState, c.endState);
    }
}

TEST_F(SignatureTaskTest, WorkerTextsComeBeforeTheFailure)
{
    int endState = -1;
    const QStringList events = runTask(path("product.ini"), QString(), true, &endState);
    EXPECT_EQ(endState, int(TaskSpecification::Failed));
    EXPECT_EQ(
        events,
        QStringList(
            {QString("check message Could not open file %1 for reading").arg(path("product.ini")),
             QString("check message Signature check failed for %1").arg(path("product.ini")),
             "check done 0", "check canceled"}));
}

TEST_F(SignatureTaskTest, ResultOutsideRunningChangesNothing)
{
    CheckSignatureTaskSpecification task(path("file"), "00", true, nullptr, 1.0);
    QSignalSpy done(&task, &CheckSignatureTaskSpecification::checkDone);
    QSignalSpy messages(&task, &TaskSpecification::message);
    task.runDone(false);
    task.runDone(true);
    EXPECT_EQ(task.state, int(TaskSpecification::Idle));
    EXPECT_EQ(done.count(), 0);
    EXPECT_EQ(messages.count(), 0);
}

} // namespace
