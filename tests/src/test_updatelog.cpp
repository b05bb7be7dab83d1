#include "asuser_test_support.h"
#include "updatelog.h"
#include "updatertestenv.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <iostream>
#include <memory>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

const QByteArray kVictimBytes = "the victim's own data\n";

// The names of the log file of a run that starts now or within the next seconds.
QStringList logNamesFromNow(int seconds)
{
    QStringList names;
    const QDateTime now = QDateTime::currentDateTime();
    for (int i = 0; i <= seconds; ++i) {
        QString name = now.addSecs(i).toString(Qt::ISODate);
        name.replace(QLatin1Char(':'), QLatin1Char('_'));
        name.replace(QLatin1Char('T'), QStringLiteral("__"));
        names.append(QStringLiteral("update__") + name + QStringLiteral(".log"));
    }
    return names;
}

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// Every name in folder with what it is, its mode and owner, and a plain file's content: what a
// refused log must leave as it found.
QStringList stateOf(const QString &folder)
{
    QStringList state;
    const QByteArray path = QFile::encodeName(folder);
    struct stat st;
    if (::lstat(path.constData(), &st) != 0)
        return {QStringLiteral("<nothing>")};
    state.append(QStringLiteral(". %1 %2").arg(st.st_mode, 0, 8).arg(st.st_uid));
    if (!S_ISDIR(st.st_mode))
        return state;
    for (const QString &name : QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot
                                                      | QDir::System | QDir::Hidden)) {
        const QString entry = folder + QLatin1Char('/') + name;
        ::lstat(QFile::encodeName(entry).constData(), &st);
        QString line = QStringLiteral("%1 %2 %3").arg(name).arg(st.st_mode, 0, 8).arg(st.st_uid);
        if (S_ISLNK(st.st_mode))
            line += QStringLiteral(" -> ") + QFileInfo(entry).symLinkTarget();
        else if (S_ISREG(st.st_mode))
            line += QStringLiteral(" ") + QString::fromLatin1(contentOf(entry).toHex());
        state.append(line);
    }
    return state;
}

struct HostileFolder
{
    QString temp; // the temporary folder
    QString folder; // where the log folder goes
    QString victim; // a file of the victim's outside it, holding kVictimBytes
    QStringList names; // the names the log file may get
};

struct LogFolderCase
{
    const char *name;
    bool needsRoot; // to give a file to another user
    std::function<bool(const HostileFolder &)> lay;
    bool logged; // the log is written (into a folder of its own)
};

bool makeFolder(const QString &path, mode_t mode, uid_t owner = ::geteuid())
{
    const QByteArray name = QFile::encodeName(path);
    return ::mkdir(name.constData(), 0700) == 0 && ::chmod(name.constData(), mode) == 0
        && (owner == ::geteuid() || ::chown(name.constData(), owner, owner) == 0);
}

bool linkEveryName(const HostileFolder &f, const QString &target)
{
    for (const QString &name : f.names)
        if (!QFile::link(target, f.folder + QLatin1Char('/') + name))
            return false;
    return true;
}

// In a shared temporary folder anyone may lay out the log folder first. None of this may get the
// victim's bytes written over, block the run, or give the log to someone else's folder.
TEST_F(UpdateLogTest, HostileLogFolderGetsNoLogAndTheRunGoesOn)
{
    const LogFolderCase cases[] = {
        {"link to another folder", false,
         [](const HostileFolder &f) {
             return makeFolder(f.temp + QStringLiteral("/elsewhere"), 0700)
                 && QFile::link(f.temp + QStringLiteral("/elsewhere"), f.folder);
         },
         false},
        {"dangling link", false,
         [](const HostileFolder &f) {
             return QFile::link(f.temp + QStringLiteral("/not_yet"), f.folder);
         },
         false},
        {"another user's open folder with links to the victim", true,
         [](const HostileFolder &f) {
             return makeFolder(f.folder, 0777) && linkEveryName(f, f.victim)
                 && ::chown(QFile::encodeName(f.folder).constData(), AsOrdinaryUser::uid,
                            AsOrdinaryUser::gid)
                 == 0;
         },
         false},
        {"another user's closed folder", true,
         [](const HostileFolder &f) { return makeFolder(f.folder, 0755, AsOrdinaryUser::uid); },
         false},
        {"folder of ours writable by the group", false,
         [](const HostileFolder &f) { return makeFolder(f.folder, 0770); }, false},
        {"folder of ours writable by others", false,
         [](const HostileFolder &f) { return makeFolder(f.folder, 0703); }, false},
        {"sticky folder of ours writable by all", false,
         [](const HostileFolder &f) { return makeFolder(f.folder, 01777); }, false},
        {"a file in place of the folder", false,
         [](const HostileFolder &f) { return UpdaterTestEnv::writeFile(f.folder, kVictimBytes); },
         false},
        {"link at the log name to the victim", false,
         [](const HostileFolder &f) {
             return makeFolder(f.folder, 0700) && linkEveryName(f, f.victim);
         },
         false},
        {"second name of the victim at the log name", false,
         [](const HostileFolder &f) {
             if (!makeFolder(f.folder, 0700))
                 return false;
             for (const QString &name : f.names)
                 if (::link(QFile::encodeName(f.victim).constData(),
                            QFile::encodeName(f.folder + QLatin1Char('/') + name).constData())
                     != 0)
                     return false;
             return true;
         },
         false},
        {"FIFO at the log name", false,
         [](const HostileFolder &f) {
             if (!makeFolder(f.folder, 0700))
                 return false;
             for (const QString &name : f.names)
                 if (::mkfifo(QFile::encodeName(f.folder + QLatin1Char('/') + name).constData(),
                              0600)
                     != 0)
                     return false;
             return true;
         },
         false},
        {"another user's file at the log name", true,
         [](const HostileFolder &f) {
             if (!makeFolder(f.folder, 0700))
                 return false;
             for (const QString &name : f.names) {
                 const QString path = f.folder + QLatin1Char('/') + name;
                 if (!UpdaterTestEnv::writeFile(path, kVictimBytes)
                     || ::chown(QFile::encodeName(path).constData(), AsOrdinaryUser::uid,
                                AsOrdinaryUser::gid)
                         != 0)
                     return false;
             }
             return true;
         },
         false},
        // What an earlier run or an earlier updater left is ours and taken as it is.
        {"folder of ours readable by all", false,
         [](const HostileFolder &f) { return makeFolder(f.folder, 0755); }, true},
        {"a file of ours at the log name", false,
         [](const HostileFolder &f) {
             if (!makeFolder(f.folder, 0700))
                 return false;
             for (const QString &name : f.names)
                 if (!UpdaterTestEnv::writeFile(f.folder + QLatin1Char('/') + name,
                                                "an earlier run's lines\n"))
                     return false;
             return true;
         },
         true},
    };
    createMarker();
    for (const LogFolderCase &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && ::geteuid() != 0) {
            std::cout << "[   SKIP   ] " << c.name << ": only root can give files away\n";
            continue;
        }
        HostileFolder f;
        f.temp = env.tempDir();
        f.folder = logFolder();
        f.victim = env.path(QStringLiteral("victim"));
        ASSERT_TRUE(UpdaterTestEnv::writeFile(f.victim, kVictimBytes));
        f.names = logNamesFromNow(5);
        ASSERT_TRUE(c.lay(f));
        const QStringList before = stateOf(f.folder);
        const QStringList elsewhereBefore = stateOf(f.temp + QStringLiteral("/elsewhere"));

        // A FIFO would hold up an open that waits for a reader for ever: give up on it after a
        // while, then be the reader so that the open returns.
        UpdateLog log(env.tempDir());
        auto opened = std::async(std::launch::async, [&log] {
            log.openLogFile();
            log.write(QtWarningMsg, QStringLiteral("the run goes on"));
            log.close();
        });
        if (opened.wait_for(std::chrono::seconds(20)) == std::future_status::timeout) {
            ADD_FAILURE() << "the log's open blocked";
            std::vector<int> readers;
            for (const QString &name : f.names)
                readers.push_back(
                    ::open(QFile::encodeName(f.folder + QLatin1Char('/') + name).constData(),
                           O_RDONLY | O_NONBLOCK));
            opened.wait();
            for (int fd : readers)
                if (fd >= 0)
                    ::close(fd);
        }
        opened.get();

        EXPECT_EQ(contentOf(f.victim).toStdString(), kVictimBytes.toStdString());
        EXPECT_EQ(
            stateOf(f.temp + QStringLiteral("/elsewhere")).join(QLatin1Char('\n')).toStdString(),
            elsewhereBefore.join(QLatin1Char('\n')).toStdString());
        if (c.logged) {
            ASSERT_TRUE(log.enabled());
            EXPECT_EQ(QFileInfo(log.fileName()).absolutePath(),
                      QFileInfo(f.folder).absoluteFilePath());
            const QStringList lines = readLines(log.fileName());
            ASSERT_EQ(lines.size(), 1) << lines.join(QLatin1Char('\n')).toStdString();
            EXPECT_TRUE(lines[0].endsWith(QStringLiteral("\t|\tWarning\t|\tthe run goes on")));
        } else {
            EXPECT_FALSE(log.enabled());
            EXPECT_EQ(log.file, nullptr);
            EXPECT_EQ(log.fileName().toStdString(), "");
            EXPECT_EQ(stateOf(f.folder).join(QLatin1Char('\n')).toStdString(),
                      before.join(QLatin1Char('\n')).toStdString());
        }

        // The next case starts from an empty temporary folder with the marker alone.
        QFile::remove(f.victim);
        for (const QString &name : QDir(f.temp).entryList(QDir::AllEntries | QDir::NoDotAndDotDot
                                                          | QDir::System | QDir::Hidden)) {
            const QString path = f.temp + QLatin1Char('/') + name;
            if (name == QLatin1String("qvx_update_log"))
                continue;
            if (QFileInfo(path).isDir() && !QFileInfo(path).isSymLink()) {
                ::chmod(QFile::encodeName(path).constData(), 0700);
                QDir(path).removeRecursively();
            } else {
                QFile::remove(path);
            }
        }
    }
}

// Whatever the umask, the folder and the file the log makes are the owner's alone, and the log
// can be written and read.
TEST_F(UpdateLogTest, MissingLogFolderIsMadeForTheOwnerAlone)
{
    const mode_t masks[] = {0022, 0002, 0077, 0277, 0777};
    createMarker();
    for (const mode_t mask : masks) {
        SCOPED_TRACE(QStringLiteral("umask %1").arg(mask, 4, 8, QLatin1Char('0')).toStdString());
        const mode_t previous = ::umask(mask);
        UpdateLog log(env.tempDir());
        log.openLogFile();
        ::umask(previous);
        log.write(QtInfoMsg, QStringLiteral("made"));
        log.close();
        struct stat st;
        ASSERT_EQ(::lstat(QFile::encodeName(logFolder()).constData(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, mode_t(0700));
        EXPECT_EQ(st.st_uid, ::geteuid());
        ASSERT_TRUE(log.enabled());
        ASSERT_EQ(::lstat(QFile::encodeName(log.fileName()).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode_t(0600));
        const QStringList lines = readLines(log.fileName());
        ASSERT_EQ(lines.size(), 1);
        EXPECT_TRUE(lines[0].endsWith(QStringLiteral("\t|\tInfo\t|\tmade")));
        ASSERT_TRUE(QDir(logFolder()).removeRecursively());
    }
}

// Only the marker's existence counts: it is not opened (a FIFO would block) nor followed.
TEST_F(UpdateLogTest, MarkerCountsWhateverLiesThere)
{
    struct Case
    {
        const char *name;
        bool needsRoot;
        std::function<bool(const QString &marker)> lay;
    };
    const Case cases[] = {
        {"empty file", false,
         [](const QString &marker) { return UpdaterTestEnv::writeFile(marker, ""); }},
        {"link that leads nowhere", false,
         [](const QString &marker) {
             return QFile::link(marker + QStringLiteral("_gone"), marker);
         }},
        {"FIFO", false,
         [](const QString &marker) {
             return ::mkfifo(QFile::encodeName(marker).constData(), 0600) == 0;
         }},
        {"folder", false, [](const QString &marker) { return QDir().mkdir(marker); }},
        {"another user's unreadable file", true,
         [](const QString &marker) {
             const QByteArray path = QFile::encodeName(marker);
             return UpdaterTestEnv::writeFile(marker, "x") && ::chmod(path.constData(), 0) == 0
                 && ::chown(path.constData(), AsOrdinaryUser::uid, AsOrdinaryUser::gid) == 0;
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && ::geteuid() != 0)
            continue;
        ASSERT_TRUE(c.lay(marker()));
        auto log = openLog();
        EXPECT_TRUE(log->enabled());
        EXPECT_FALSE(log->fileName().isEmpty());
        log->close();
        ASSERT_TRUE(QDir(logFolder()).removeRecursively());
        if (!QFile::remove(marker())) {
            ASSERT_TRUE(QDir().rmdir(marker()));
        }
    }
}

// Qt's logging rules decide before the handler sees a message; while the log is on, none of them
// may keep a message from it, in the default category or a named one.
TEST_F(UpdateLogTest, LoggingRulesKeepNoMessageFromTheLog)
{
    const QString rules[] = {
        QStringLiteral("*=false"),
        QStringLiteral("*.info=false"),
        QStringLiteral("*.debug=false\n*.warning=false\n*.critical=false"),
        QStringLiteral("default=false\nqt.network=false"),
    };
    createMarker();
    const QLoggingCategory network("qt.network");
    for (const QString &rule : rules) {
        SCOPED_TRACE(rule.toStdString());
        auto log = openLog();
        UpdateLog *previousLog = UpdateLog::setInstance(log.get());
        QtMessageHandler previousHandler = qInstallMessageHandler(updateMessageHandler);
        log->takeEveryMessage();
        QLoggingCategory::setFilterRules(rule);

        qDebug("default debug");
        qInfo("default info");
        qWarning("default warning");
        qCritical("default critical");
        qCWarning(network, "network warning");
        qCCritical(network, "network critical");

        QLoggingCategory::setFilterRules(QString());
        QLoggingCategory::installFilter(nullptr);
        qInstallMessageHandler(previousHandler);
        UpdateLog::setInstance(previousLog);

        const QStringList lines = readLines(log->fileName());
        const QStringList expected = {
            QStringLiteral("\t|\tDebug\t|\tdefault debug"),
            QStringLiteral("\t|\tInfo\t|\tdefault info"),
            QStringLiteral("\t|\tWarning\t|\tdefault warning"),
            QStringLiteral("\t|\tCritical\t|\tdefault critical"),
            QStringLiteral("\t|\tWarning\t|\tnetwork warning"),
            QStringLiteral("\t|\tCritical\t|\tnetwork critical"),
        };
        ASSERT_EQ(lines.size(), expected.size()) << lines.join(QLatin1Char('\n')).toStdString();
        for (int i = 0; i < lines.size(); ++i)
            EXPECT_TRUE(lines[i].endsWith(expected[i])) << lines[i].toStdString();
        ASSERT_TRUE(QDir(logFolder()).removeRecursively());
    }
}

// Without the log the rules stay the user's: nothing is switched on for a log that is not there.
TEST_F(UpdateLogTest, WithoutTheLogTheLoggingRulesStay)
{
    auto log = openLog();
    log->takeEveryMessage();
    QLoggingCategory::setFilterRules(QStringLiteral("*=false"));
    const bool debug = QLoggingCategory::defaultCategory()->isDebugEnabled();
    const bool warning = QLoggingCategory::defaultCategory()->isWarningEnabled();
    QLoggingCategory::setFilterRules(QString());
    QLoggingCategory::installFilter(nullptr);
    EXPECT_FALSE(debug);
    EXPECT_FALSE(warning);
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
