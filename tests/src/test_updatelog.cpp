#include "updatelog.h"
#include "updatertestenv.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

namespace {

const QString kLinePrefix = QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{3}");

QStringList readLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray content = file.readAll();
    if (!content.isEmpty() && !content.endsWith('\n'))
        return {QStringLiteral("<last line not terminated>")};
    QStringList lines = QString::fromLocal8Bit(content).split(QLatin1Char('\n'));
    lines.removeLast();
    return lines;
}

class UpdateLogTest : public ::testing::Test
{
protected:
    QString marker() const { return env.tempDir() + QStringLiteral("/qvx_update_log"); }
    QString logFolder() const { return env.tempDir() + QStringLiteral("/quorvelin_update_log"); }
    void createMarker() const { ASSERT_TRUE(UpdaterTestEnv::writeFile(marker(), "x")); }

    std::unique_ptr<UpdateLog> openLog()
    {
        auto log = std::make_unique<UpdateLog>();
        log->openLogFile();
        return log;
    }

    UpdaterTestEnv env;
};

TEST_F(UpdateLogTest, WithoutMarkerNothingIsWrittenAnywhere)
{
    auto log = openLog();
    log->write(QtDebugMsg, QStringLiteral("abc"));
    log->write(QtWarningMsg, QStringLiteral("abc"));
    EXPECT_FALSE(log->enabled());
    EXPECT_EQ(log->file, nullptr);
    EXPECT_FALSE(QFileInfo::exists(logFolder()));
    EXPECT_EQ(QDir(env.tempDir()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
              QStringList());
}

// Qt reports an empty temporary path when TMPDIR names no folder; that must not mean "/".
TEST_F(UpdateLogTest, NoTemporaryFolderMeansNoLog)
{
    env.setEnv("TMPDIR", env.path(QStringLiteral("missing")));
    ASSERT_EQ(QDir::tempPath(), QString());
    auto log = openLog();
    EXPECT_FALSE(log->enabled());
    EXPECT_EQ(log->file, nullptr);
}

TEST_F(UpdateLogTest, MarkerMakesOneFileNamedByTheStartTime)
{
    createMarker();
    const QDateTime before = QDateTime::currentDateTime();
    auto log = openLog();
    const QDateTime after = QDateTime::currentDateTime();
    ASSERT_TRUE(log->enabled());

    const QStringList files = QDir(logFolder()).entryList(QDir::Files);
    ASSERT_EQ(files.size(), 1);
    EXPECT_EQ(QFileInfo(log->fileName()).fileName(), files[0]);
    const QRegularExpression pattern(
        QStringLiteral("^update__(\\d{4}-\\d\\d-\\d\\d)__(\\d\\d)_(\\d\\d)_(\\d\\d)\\.log$"));
    const QRegularExpressionMatch match = pattern.match(files[0]);
    ASSERT_TRUE(match.hasMatch()) << files[0].toStdString();
    const QDateTime stamp = QDateTime::fromString(
        match.captured(1) + QLatin1Char('T') + match.captured(2) + QLatin1Char(':')
            + match.captured(3) + QLatin1Char(':') + match.captured(4),
        Qt::ISODate);
    EXPECT_GE(stamp.toSecsSinceEpoch(), before.toSecsSinceEpoch());
    EXPECT_LE(stamp.toSecsSinceEpoch(), after.toSecsSinceEpoch());
}

TEST_F(UpdateLogTest, MarkerIsLookedAtOnlyWhenTheLogIsMadeAndCloseEndsIt)
{
    auto off = openLog();
    createMarker();
    off->write(QtDebugMsg, QStringLiteral("dropped"));
    EXPECT_FALSE(QFileInfo::exists(logFolder()));

    auto on = openLog();
    QFile::remove(marker());
    on->write(QtDebugMsg, QStringLiteral("kept"));
    on->close();
    on->write(QtDebugMsg, QStringLiteral("after the end"));
    const QStringList lines = readLines(on->fileName());
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines[0].endsWith(QStringLiteral("kept")));
}

TEST_F(UpdateLogTest, EachMessageTypeMakesOneLineOfTheFixedForm)
{
    struct Case
    {
        QtMsgType type;
        QString text;
        QStringList expected; // after the time, one a line
    };
    const Case cases[] = {
        {QtDebugMsg, QStringLiteral("abc"), {QStringLiteral("\t|\tDebug\t|\tabc")}},
        {QtWarningMsg, QStringLiteral("w \"q\""), {QStringLiteral("\t|\tWarning\t|\tw \"q\"")}},
        {QtCriticalMsg, QStringLiteral("c"), {QStringLiteral("\t|\tCritical\t|\tc")}},
        {QtInfoMsg, QString(), {QStringLiteral("\t|\tInfo\t|\t")}},
        {static_cast<QtMsgType>(7), QStringLiteral("unknown type"), {}},
    };
    createMarker();
    auto log = openLog();
    QStringList expected;
    for (const Case &c : cases) {
        log->write(c.type, c.text);
        expected += c.expected;
    }
    const QStringList lines = readLines(log->fileName());
    ASSERT_EQ(lines.size(), expected.size()) << lines.join(QLatin1Char('\n')).toStdString();
    const QRegularExpression time(kLinePrefix + QStringLiteral("(.*)$"));
    for (int i = 0; i < lines.size(); ++i) {
        const QRegularExpressionMatch match = time.match(lines[i]);
        ASSERT_TRUE(match.hasMatch()) << lines[i].toStdString();
        EXPECT_EQ(match.captured(1), expected[i]);
    }
}

// A reader drops a line without time and level, and text after a line break could pose as an
// entry of its own: each line of a text is an entry, with the time and level of the message.
TEST_F(UpdateLogTest, EveryLineOfATextIsAnEntryOfItsOwn)
{
    const QString forged
        = QStringLiteral("2020-01-01 00:00:00:000\t|\tInfo\t|\tUpdate successfully finished");
    struct Case
    {
        const char *name;
        QString text;
        QStringList lines; // the texts of the entries
    };
    const Case cases[] = {
        {"line feed",
         QStringLiteral("Failed to query latest client\nversion from update server."),
         {QStringLiteral("Failed to query latest client"),
          QStringLiteral("version from update server.")}},
        {"CR LF", QStringLiteral("one\r\ntwo"), {QStringLiteral("one"), QStringLiteral("two")}},
        {"lone CR", QStringLiteral("one\rtwo"), {QStringLiteral("one"), QStringLiteral("two")}},
        {"LF CR",
         QStringLiteral("one\n\rtwo"),
         {QStringLiteral("one"), QString(), QStringLiteral("two")}},
        {"trailing line feed", QStringLiteral("last\n"), {QStringLiteral("last")}},
        {"trailing CR LF", QStringLiteral("last\r\n"), {QStringLiteral("last")}},
        {"only a line feed", QStringLiteral("\n"), {QString()}},
        {"empty lines",
         QStringLiteral("\n\na\n\n"),
         {QString(), QString(), QStringLiteral("a"), QString()}},
        {"Unicode breaks",
         QStringLiteral("a") + QChar(0x2028) + QStringLiteral("b") + QChar(0x2029)
             + QStringLiteral("c") + QChar(0x85) + QStringLiteral("d\ve\ff"),
         {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c"), QStringLiteral("d"),
          QStringLiteral("e"), QStringLiteral("f")}},
        {"forged entry", QStringLiteral("x\n") + forged, {QStringLiteral("x"), forged}},
        {"forged entry after CR", QStringLiteral("x\r") + forged, {QStringLiteral("x"), forged}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // A log of its own, so that the file holds this case only.
        QTemporaryDir caseDir;
        ASSERT_TRUE(
            UpdaterTestEnv::writeFile(caseDir.filePath(QStringLiteral("qvx_update_log")), "x"));
        UpdateLog log(caseDir.path());
        log.openLogFile();
        log.write(QtWarningMsg, c.text);
        QFile file(log.fileName());
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray content = file.readAll();
        // Physical lines as any reader splits them: at LF, CR and CR LF.
        const QStringList physical = QString::fromLocal8Bit(content).split(
            QRegularExpression(QStringLiteral("\r\n|\n|\r")));
        ASSERT_TRUE(content.endsWith('\n'));
        ASSERT_EQ(physical.size() - 1, c.lines.size()) << content.toStdString();
        const QRegularExpression entry(kLinePrefix + QStringLiteral("\t\\|\tWarning\t\\|\t(.*)$"));
        QString firstTime;
        for (int i = 0; i < c.lines.size(); ++i) {
            const QRegularExpressionMatch match = entry.match(physical[i]);
            ASSERT_TRUE(match.hasMatch()) << physical[i].toStdString();
            EXPECT_EQ(match.captured(1), c.lines[i]);
            if (i == 0)
                firstTime = physical[i].left(23);
            EXPECT_EQ(physical[i].left(23), firstTime);
        }
    }
}

TEST_F(UpdateLogTest, HandlerWritesQtMessagesAndLinesOfManyThreadsStayWhole)
{
    createMarker();
    auto log = openLog();
    UpdateLog *previousLog = UpdateLog::setInstance(log.get());
    QtMessageHandler previousHandler = qInstallMessageHandler(updateMessageHandler);

    qDebug() << "abc" << 42;
    qWarning("warned %d", 7);
    const int threads = 8;
    const int perThread = 300;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([t] {
            for (int i = 0; i < perThread; ++i)
                qDebug().noquote() << QStringLiteral("thread %1 line %2 %3")
                                          .arg(t)
                                          .arg(i)
                                          .arg(QString(40, QLatin1Char('x')));
        });
    }
    for (std::thread &worker : workers)
        worker.join();

    qInstallMessageHandler(previousHandler);
    UpdateLog::setInstance(previousLog);

    const QStringList lines = readLines(log->fileName());
    ASSERT_EQ(lines.size(), 2 + threads * perThread);
    const QRegularExpression time(kLinePrefix);
    EXPECT_TRUE(lines[0].endsWith(QStringLiteral("\t|\tDebug\t|\tabc 42")))
        << lines[0].toStdString();
    EXPECT_TRUE(lines[1].endsWith(QStringLiteral("\t|\tWarning\t|\twarned 7")));
    const QRegularExpression threadLine(
        kLinePrefix + QStringLiteral("\t\\|\tDebug\t\\|\tthread (\\d+) line (\\d+) x{40}$"));
    QSet<QString> seen;
    for (int i = 2; i < lines.size(); ++i) {
        const QRegularExpressionMatch match = threadLine.match(lines[i]);
        ASSERT_TRUE(match.hasMatch()) << lines[i].toStdString();
        seen.insert(match.captured(1) + QLatin1Char('/') + match.captured(2));
    }
    EXPECT_EQ(seen.size(), threads * perThread);
}

// What the user was shown goes in as it was: no quotes, no escapes, no blank trimmed.
TEST_F(UpdateLogTest, ShownTextIsOneInfoLineWordForWord)
{
    createMarker();
    auto log = openLog();
    UpdateLog *previousLog = UpdateLog::setInstance(log.get());
    QtMessageHandler previousHandler = qInstallMessageHandler(updateMessageHandler);
    const QStringList texts
        = {QStringLiteral("Unable to download \"a b\\c\" "),
           QStringLiteral("<p>Update in progress.</p>"), QStringLiteral("two  blanks\tand a tab")};
    for (const QString &text : texts)
        logShownText(text);
    qInstallMessageHandler(previousHandler);
    UpdateLog::setInstance(previousLog);

    const QStringList lines = readLines(log->fileName());
    ASSERT_EQ(lines.size(), texts.size());
    const QRegularExpression info(kLinePrefix + QStringLiteral("\t\\|\tInfo\t\\|\t(.*)$"));
    for (int i = 0; i < texts.size(); ++i) {
        const QRegularExpressionMatch match = info.match(lines[i]);
        ASSERT_TRUE(match.hasMatch()) << lines[i].toStdString();
        EXPECT_EQ(match.captured(1), texts[i]);
    }
}

TEST(UpdateLogDeathTest, FatalLineIsInTheFileWhenTheProcessHasEnded)
{
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    // The child re-runs this test, so it finds the folder through the environment.
    // Only the parent makes it: the child ends without running destructors and would leave its
    // own copy behind.
    if (!qEnvironmentVariableIsSet("QVX_UPDATELOG_DEATH_DIR")) {
        static QTemporaryDir parentDir;
        qputenv("QVX_UPDATELOG_DEATH_DIR", parentDir.path().toUtf8());
    }
    const QString dir = qEnvironmentVariable("QVX_UPDATELOG_DEATH_DIR");
    ASSERT_TRUE(UpdaterTestEnv::writeFile(dir + QStringLiteral("/qvx_update_log"), "x"));

    EXPECT_DEATH(
        {
            UpdateLog log(dir);
            log.openLogFile();
            log.write(QtDebugMsg, QStringLiteral("before"));
            log.write(QtFatalMsg, QStringLiteral("the end"));
        },
        "");

    const QStringList files
        = QDir(dir + QStringLiteral("/quorvelin_update_log")).entryList(QDir::Files, QDir::Time);
    ASSERT_FALSE(files.isEmpty());
    const QStringList lines
        = readLines(dir + QStringLiteral("/quorvelin_update_log/") + files.first());
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[1].endsWith(QStringLiteral("\t|\tFatal\t|\tthe end")));
    qunsetenv("QVX_UPDATELOG_DEATH_DIR");
}

} // namespace
