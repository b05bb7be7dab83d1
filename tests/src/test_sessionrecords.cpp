// A session record names the folder that the engine reuses or empties and removes. A damaged or
// planted record must never turn that on anything but a session folder of this updater.
#include "asuser_test_support.h"
#include "configuration.h"
#include "test_maintask_support.h"
#include "test_updateengine_support.h"
#include "tmpfs_test_support.h"
#include "updateengine.h"
#include "updateinidata.h"
#include "updatertestenv.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QSignalSpy>

#include <cctype>
#include <functional>
#include <ostream>

#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Layout
{
    QString recordDir;
    // Files and links that must still be there afterwards.
    QStringList kept;
};

void makeFile(const QString &path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    ASSERT_TRUE(UpdaterTestEnv::writeFile(path, "data"));
}

bool isLink(const QString &path)
{
    return QFileInfo(path).isSymLink();
}

QStringList sessionFoldersIn(const QString &temp)
{
    return QDir(temp).entryList({QStringLiteral("quorvelin_temp_*")},
                                QDir::AllEntries | QDir::Hidden | QDir::System);
}

struct RecordCase
{
    const char *name;
    // Lays out the folders of env (whose home is env.path("home/user")); an empty recordDir
    // skips the case.
    std::function<Layout(const UpdaterTestEnv &env)> setUp;
    bool ours;
};

Layout filesIn(const QString &dir, const QStringList &names)
{
    Layout layout {dir, {}};
    for (const QString &name : names) {
        makeFile(dir + QLatin1Char('/') + name);
        layout.kept << dir + QLatin1Char('/') + name;
    }
    return layout;
}

const RecordCase recordCases[] = {
    {"folder above home",
     [](const UpdaterTestEnv &env) {
         return filesIn(env.path("home"), {"user/notes.txt", "other/letter.txt"});
     },
     false},
    {"documents folder",
     [](const UpdaterTestEnv &env) {
         return filesIn(env.path("home/user/Documents"), {"report.txt", "old/2019.txt"});
     },
     false},
    {"ordinary folder with files",
     [](const UpdaterTestEnv &env) {
         return filesIn(env.path("data"), {"a.txt", ".hidden", "sub/b.txt"});
     },
     false},
    {"link to a session-like folder",
     [](const UpdaterTestEnv &env) {
         Layout layout = filesIn(env.path("elsewhere/quorvelin_temp_9"), {"keep.bin"});
         const QString link = env.tempDir() + "/quorvelin_temp_8";
         QFile::link(layout.recordDir, link);
         layout.recordDir = link;
         layout.kept << link;
         return layout;
     },
     false},
    {"session name outside the temporary folder",
     [](const UpdaterTestEnv &env) {
         return filesIn(env.path("elsewhere/quorvelin_temp_4"), {"keep.bin"});
     },
     false},
    {"session-like name with a leading zero",
     [](const UpdaterTestEnv &env) {
         return filesIn(env.tempDir() + "/quorvelin_temp_04", {"keep.bin"});
     },
     false},
    {"path through a link and back up",
     [](const UpdaterTestEnv &env) {
         // Read as text it lies in the temporary folder; on disk it is the home folder's.
         Layout layout = filesIn(env.path("home/user/quorvelin_temp_5"), {"keep.bin"});
         QDir().mkpath(env.path("home/user/sub"));
         QFile::link(env.path("home/user/sub"), env.tempDir() + "/up");
         QDir().mkpath(env.tempDir() + "/quorvelin_temp_5");
         layout.recordDir = env.tempDir() + "/up/../quorvelin_temp_5";
         return layout;
     },
     false},
    {"folder of another user",
     [](const UpdaterTestEnv &env) {
         Layout layout = filesIn(env.tempDir() + "/quorvelin_temp_6", {"keep.bin"});
         if (::geteuid() != 0
             || ::chown(QFile::encodeName(layout.recordDir).constData(), 4242, 4242) != 0)
             layout.recordDir.clear();
         return layout;
     },
     false},
    {"real session folder",
     [](const UpdaterTestEnv &env) {
         return filesIn(env.tempDir() + "/quorvelin_temp_1", {"update.zip", "sub/part.bin"});
     },
     true},
};

void PrintTo(const RecordCase &c, std::ostream *os)
{
    *os << c.name;
}

// The three places where a record decides about a folder.
enum class Place { OtherVersion, StepTwoCleanup, SameVersion };

struct PlaceCase
{
    Place place;
    const char *name;
};

const PlaceCase places[] = {
    {Place::OtherVersion, "initialize with another version's record"},
    {Place::StepTwoCleanup, "step-two clean-up"},
    {Place::SameVersion, "continuing a session of the same version"},
};

QString currentRecordDir()
{
    QSettings settings(UpdateIniData::iniPath(), QSettings::IniFormat);
    return settings.value(QStringLiteral("current/dir")).toString();
}

class SessionRecordTest : public ::testing::TestWithParam<RecordCase>
{
protected:
    SessionRecordTest() { clearPendingQuit(); }
};

TEST_P(SessionRecordTest, OnlyOurSessionFolderIsReusedOrRemoved)
{
    const RecordCase &c = GetParam();
    for (const PlaceCase &p : places) {
        SCOPED_TRACE(p.name);
        UpdaterTestEnv env;
        QDir().mkpath(env.path("home/user"));
        env.setEnv("HOME", env.path("home/user"));
        const Layout layout = c.setUp(env);
        if (layout.recordDir.isEmpty())
            GTEST_SKIP() << "cannot give a folder to another user here";
        const QString client = env.path("otherclient/");
        QDir().mkpath(client);

        FakeRootFactory factory;
        MessageCapture log;
        Configuration config;
        config.clientType = QStringLiteral("client_macosx");
        config.versionNr = 42;
        config.initialised = true;
        UpdateEngine engine(&config, nullptr);

        switch (p.place) {
        case Place::OtherVersion:
            writeSessionRecord(41, layout.recordDir, client);
            ASSERT_TRUE(engine.initialize());
            break;
        case Place::SameVersion:
            writeSessionRecord(42, layout.recordDir, client);
            ASSERT_TRUE(engine.initialize());
            break;
        case Place::StepTwoCleanup:
            config.clientUpdate = 1;
            ASSERT_TRUE(engine.initialize());
            ASSERT_TRUE(engine.startUpdate());
            writeSessionRecord(42, layout.recordDir, config.installPath);
            factory.root->finish();
            ASSERT_EQ(engine.state(), UpdateEngine::FINISHED);
            break;
        }

        const bool reused = c.ours && p.place == Place::SameVersion;
        const bool removed = c.ours && !reused;
        if (!removed) {
            for (const QString &path : layout.kept) {
                if (isLink(path))
                    continue;
                EXPECT_TRUE(QFileInfo(path).isFile()) << path.toStdString();
                EXPECT_EQ(QFileInfo(path).size(), 4) << path.toStdString();
            }
        }
        EXPECT_EQ(QFileInfo::exists(layout.recordDir), !removed);
        EXPECT_EQ(log.contains(QStringLiteral("Session record ignored")), !c.ours);

        // The record of the folder is gone; a new session has a fresh folder of its own.
        if (p.place == Place::StepTwoCleanup) {
            EXPECT_FALSE(UpdateIniData::get(nullptr, nullptr, nullptr, nullptr));
        } else if (reused) {
            EXPECT_EQ(config.tempDir, layout.recordDir);
            EXPECT_EQ(config.installPath, client);
            EXPECT_EQ(currentRecordDir(), layout.recordDir);
        } else {
            EXPECT_NE(config.tempDir, layout.recordDir);
            EXPECT_EQ(QFileInfo(config.tempDir).absolutePath(), env.tempDir());
            EXPECT_EQ(currentRecordDir(), config.tempDir);
            EXPECT_NE(config.installPath, client);
        }
    }
}

// Step two has no client folder but the record's: a record it may not use ends the run before
// anything is made, downloaded or removed, and stays for the next start to refuse as well.
TEST_P(SessionRecordTest, StepTwoStopsOnARecordItMayNotUse)
{
    const RecordCase &c = GetParam();
    for (const int recordVersion : {42, 41}) {
        SCOPED_TRACE(recordVersion == 42 ? "same version" : "other version");
        // Our own folder of another version is cleaned up as before.
        if (c.ours && recordVersion != 42)
            continue;
        UpdaterTestEnv env;
        QDir().mkpath(env.path("home/user"));
        env.setEnv("HOME", env.path("home/user"));
        const Layout layout = c.setUp(env);
        if (layout.recordDir.isEmpty())
            GTEST_SKIP() << "cannot give a folder to another user here";
        const QString client = env.path("otherclient/");
        QDir().mkpath(client);
        writeSessionRecord(recordVersion, layout.recordDir, client);
        // Left open by a run under a loose umask.
        if (c.ours) {
            ASSERT_EQ(::chmod(QFile::encodeName(layout.recordDir).constData(), 0777), 0);
        }
        const QMap<QString, QByteArray> before = qvxrun::snapshot(env.root(), qvxrun::WithModes);
        const QFileInfo folderBefore(layout.recordDir);

        FakeRootFactory factory;
        Configuration config;
        config.clientType = QStringLiteral("client_macosx");
        config.versionNr = 42;
        config.initialised = true;
        config.clientUpdate = 1;
        UpdateEngine engine(&config, nullptr);
        QSignalSpy fatal(&engine, &UpdateEngine::fatalError);
        // What the window does.
        const bool started = engine.initialize() && engine.startUpdate();

        if (c.ours) {
            EXPECT_TRUE(started);
            EXPECT_EQ(config.tempDir, layout.recordDir);
            EXPECT_EQ(config.installPath, client);
            EXPECT_EQ(factory.created, 1);
            struct stat status;
            ASSERT_EQ(::lstat(QFile::encodeName(layout.recordDir).constData(), &status), 0);
            EXPECT_EQ(status.st_mode & 07777, 0700u);
            continue;
        }
        EXPECT_FALSE(started);
        ASSERT_EQ(fatal.count(), 1);
        EXPECT_EQ(fatal.first().first().toString(),
                  QStringLiteral("Unable to continue the update session."));
        EXPECT_EQ(factory.created, 0);
        EXPECT_FALSE(engine.isActive());
        EXPECT_TRUE(config.tempDir.isEmpty());
        EXPECT_TRUE(config.installPath.isEmpty());
        // Nothing anywhere was made, written or removed: not in the refused folder, not a new
        // session folder, not the record.
        EXPECT_EQ(qvxrun::snapshot(env.root(), qvxrun::WithModes), before);
        for (const QString &path : layout.kept)
            EXPECT_TRUE(QFileInfo(path).exists() || isLink(path)) << path.toStdString();
        EXPECT_EQ(QFileInfo(layout.recordDir).lastModified(), folderBefore.lastModified());
        EXPECT_EQ(currentRecordDir(), layout.recordDir);
    }
}

INSTANTIATE_TEST_SUITE_P(Records, SessionRecordTest, ::testing::ValuesIn(recordCases),
                         [](const ::testing::TestParamInfo<RecordCase> &info) {
                             std::string name;
                             for (const char *s = info.param.name; *s; ++s)
                                 name += std::isalnum(static_cast<unsigned char>(*s)) ? *s : '_';
                             return name;
                         });

} // namespace

namespace {

// The disk of the client's shared-support folder is full: the user learns why the session
// could not start, and the settings in update.ini are not lost.
TEST(SessionRecordWriteTest, AFullDiskIsNamedInTheErrorAndKeepsTheSettings)
{
    UpdaterTestEnv env;
    PrivateTmpfs fs(env.sharedSupport(), "64k");
    if (!fs.mounted())
        GTEST_SKIP() << "cannot mount a private tmpfs here";
    ASSERT_TRUE(QDir().mkpath(env.applicationDir()));
    const QByteArray settings = "[Channel]\nbeta=true\n\n[update]\nstreams=2\n";
    const QString file = env.sharedSupport() + "/update.ini";
    ASSERT_TRUE(UpdaterTestEnv::writeFile(file, settings));
    ASSERT_TRUE(fs.fillLeaving(QStringLiteral("filler"), 0));

    Configuration config;
    config.clientType = QStringLiteral("update_macosx");
    config.versionNr = 42;
    config.initialised = true;
    UpdateEngine engine(&config, nullptr);
    QSignalSpy errors(&engine, &UpdateEngine::error);
    EXPECT_FALSE(engine.initialize());
    ASSERT_EQ(errors.count(), 1);
    EXPECT_EQ(errors.first().first().toString(),
              QStringLiteral("Failed to write update.ini. The updater does not seem to have the "
                             "required write permissions. (No space left on device)"));
    EXPECT_FALSE(engine.isActive());
    EXPECT_EQ(qvxrun::get(file), settings);
}

} // namespace

namespace {

enum class DropAt { StaleRecord, StepOneCleanup };

// Dropping the record rewrites what is left of update.ini: on a full disk that fails, is only a
// warning, and leaves the file as it was; with room it keeps the user's lines.
TEST(SessionRecordWriteTest, ADroppedRecordKeepsTheSettingsOrLeavesTheFileAsItWas)
{
    const QByteArray settings = "[Channel]\nbeta=true\n\n; proxy below\n[update]\nstreams=2\n";
    const struct
    {
        const char *label;
        DropAt at;
        qint64 free;
    } cases[] = {
        {"stale record, one page free", DropAt::StaleRecord, 4096},
        {"stale record, disk full", DropAt::StaleRecord, 0},
        {"end of step one, disk full", DropAt::StepOneCleanup, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        clearPendingQuit();
        UpdaterTestEnv env;
        PrivateTmpfs fs(env.sharedSupport(), "64k");
        if (!fs.mounted())
            GTEST_SKIP() << "cannot mount a private tmpfs here";
        ASSERT_TRUE(QDir().mkpath(env.applicationDir()));
        const QString file = env.sharedSupport() + "/update.ini";
        const QString stale = env.tempDir() + "/quorvelin_temp_1";
        ASSERT_TRUE(QDir().mkpath(stale));
        QByteArray before = settings;
        if (c.at == DropAt::StaleRecord) {
            before += "[current]\nversion=41\ndir=" + stale.toUtf8()
                + "\nqvxdir=/c/\ntype=update_macosx\n";
        }
        ASSERT_TRUE(UpdaterTestEnv::writeFile(file, before));

        FakeRootFactory factory;
        MessageCapture log;
        Configuration config;
        config.clientType = QStringLiteral("update_macosx");
        config.versionNr = 42;
        config.initialised = true;
        UpdateEngine engine(&config, nullptr);
        QSignalSpy errors(&engine, &UpdateEngine::error);
        QSignalSpy messages(&engine, &UpdateEngine::message);
        if (c.free == 0 && c.at == DropAt::StaleRecord) {
            ASSERT_TRUE(fs.fillLeaving(QStringLiteral("filler"), 0));
        } else if (c.free > 0) {
            ASSERT_TRUE(fs.fillLeaving(QStringLiteral("filler"), c.free));
        }
        const bool initialized = engine.initialize();
        if (c.at == DropAt::StepOneCleanup) {
            ASSERT_TRUE(initialized);
            before = qvxrun::get(file);
            ASSERT_TRUE(fs.fillLeaving(QStringLiteral("filler"), 0));
            ASSERT_TRUE(engine.startUpdate());
            factory.root->finish();
            EXPECT_EQ(engine.state(), UpdateEngine::FINISHED);
            EXPECT_TRUE(messages.contains({QStringLiteral("Removed temporary update.ini")}));
        }
        if (c.free == 0) {
            EXPECT_TRUE(log.contains(QStringLiteral("Could not remove the session record")));
            EXPECT_TRUE(log.contains(QStringLiteral("No space left on device")));
            EXPECT_EQ(qvxrun::get(file), before);
        }
        if (c.at == DropAt::StaleRecord && c.free == 0) {
            EXPECT_FALSE(initialized);
            ASSERT_EQ(errors.count(), 1);
            EXPECT_EQ(errors.first().first().toString(),
                      QStringLiteral("Failed to write update.ini. The updater does not seem to "
                                     "have the required write permissions. (No space left on "
                                     "device)"));
        }
        if (c.free > 0) {
            EXPECT_TRUE(initialized);
            const QByteArray after = qvxrun::get(file);
            EXPECT_TRUE(after.startsWith(settings)) << after.toStdString();
            int version = 0;
            ASSERT_TRUE(UpdateIniData::get(&version, nullptr, nullptr, nullptr));
            EXPECT_EQ(version, 42);
        }
    }
}

// As an ordinary user, an update.ini the user may not write stops the session with the reason.
TEST(SessionRecordWriteTest, AnUpdateIniTheUserMayNotWriteIsRefusedWithTheReason)
{
    clearPendingQuit();
    UpdaterTestEnv env;
    const QString file = env.sharedSupport() + "/update.ini";
    const QByteArray settings = "[update]\nstreams=2\n";
    ASSERT_TRUE(UpdaterTestEnv::writeFile(file, settings));
    for (const QString &path : {env.sharedSupport(), env.tempDir(), file}) {
        ASSERT_EQ(
            ::chown(QFile::encodeName(path).constData(), AsOrdinaryUser::uid, AsOrdinaryUser::gid),
            0);
    }
    ASSERT_EQ(::chmod(QFile::encodeName(file).constData(), 0444), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(env.root()).constData(), 0755), 0);

    FakeRootFactory factory;
    Configuration config;
    config.clientType = QStringLiteral("update_macosx");
    config.versionNr = 42;
    config.initialised = true;
    UpdateEngine engine(&config, nullptr);
    QSignalSpy errors(&engine, &UpdateEngine::error);
    bool initialized = true;
    {
        AsOrdinaryUser user;
        if (!user.active())
            GTEST_SKIP() << "cannot act as an ordinary user here";
        initialized = engine.initialize();
    }
    EXPECT_FALSE(initialized);
    ASSERT_EQ(errors.count(), 1);
    EXPECT_EQ(errors.first().first().toString(),
              QStringLiteral("Failed to write update.ini. The updater does not seem to have the "
                             "required write permissions. (Permission denied)"));
    EXPECT_EQ(qvxrun::get(file), settings);
    struct stat info;
    ASSERT_EQ(::stat(QFile::encodeName(file).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0444u);
    EXPECT_EQ(info.st_uid, AsOrdinaryUser::uid);
    EXPECT_EQ(sessionFoldersIn(env.tempDir()), QStringList());
}

// A record the updater would not read back is refused before anything is written; the session
// folder made for it must not stay behind, since no record would ever name it again.
TEST(SessionRecordWriteTest, ARefusedRecordLeavesNoSessionFolder)
{
    clearPendingQuit();
    UpdaterTestEnv env;
    const QString file = env.sharedSupport() + "/update.ini";
    const QByteArray settings = "[update]\nstreams=2\n\n[current/a]\nk=1\n";
    ASSERT_TRUE(UpdaterTestEnv::writeFile(file, settings));

    FakeRootFactory factory;
    Configuration config;
    config.clientType = QStringLiteral("update_macosx");
    config.versionNr = 42;
    config.initialised = true;
    UpdateEngine engine(&config, nullptr);
    QSignalSpy errors(&engine, &UpdateEngine::error);
    EXPECT_FALSE(engine.initialize());
    ASSERT_EQ(errors.count(), 1);
    EXPECT_TRUE(errors.first().first().toString().startsWith(
        QStringLiteral("Failed to write update.ini. ")));
    EXPECT_EQ(qvxrun::get(file), settings);
    EXPECT_EQ(sessionFoldersIn(env.tempDir()), QStringList());
}

} // namespace
