// Files that are installed, restored or moved keep their whole mode, the set-user-ID, set-group-ID
// and sticky bits too, with the owner those bits are about; a move never replaces a file.
#include "asuser_test_support.h"
#include "configuration.h"
#include "faketasks.h"
#include "filecopytaskspecification.h"
#include "filemodes.h"
#include "fileops_test_support.h"
#include "filereplacelisttaskspecification.h"
#include "replacelistdata.h"
#include "scratchfile.h"
#include "test_maintask_support.h"
#include "tmpfs_test_support.h"
#include "tree_modes_test_support.h"
#include "updateinidata.h"
#include "updatertestenv.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cerrno>
#include <functional>
#include <memory>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

using namespace qvxrun;

namespace {

const int specialModes[] = {04755, 02755, 01755, 06755};

// Someone other than the user who runs the tests, as the owner of a bundle's files.
const uid_t otherOwner = 4242;
const gid_t otherGroup = 4243;

struct Owner
{
    uid_t uid;
    gid_t gid;
};

Owner ownerOf(const QString &path)
{
    struct stat info;
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return {uid_t(-1), gid_t(-1)};
    return {info.st_uid, info.st_gid};
}

bool setOwnerAndMode(const QString &path, Owner owner, int mode)
{
    const QByteArray name = QFile::encodeName(path);
    // The owner first: a change of owner clears the set-ID bits.
    return ::chown(name.constData(), owner.uid, owner.gid) == 0
        && ::chmod(name.constData(), mode_t(mode)) == 0;
}

std::string octal(int mode)
{
    return QString::number(mode, 8).toStdString();
}

enum Way { Copy, Lzma2, Gzip, Patch };

const struct
{
    Way way;
    const char *name;
} ways[] = {
    {Copy, "whole file"},
    {Lzma2, "lzma2 unpack"},
    {Gzip, "gzip unpack"},
    {Patch, "patch"},
};

class WholeModeTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        config.installPath = install() + "/";
        config.tempDir = download();
    }

    QString install() const { return dir.filePath("Contents"); }
    QString download() const { return dir.filePath("download"); }
    QString installed(const QString &rel) const { return install() + "/" + rel; }
    QString downloaded(const QString &key) const { return download() + "/" + key; }

    // Empties both folders; with twoVolumes the bundle gets a file system of its own. False when
    // that cannot be had here.
    bool prepareFolders(bool twoVolumes)
    {
        volume.reset();
        if (!QDir(install()).removeRecursively() || !QDir(download()).removeRecursively()
            || !QDir().mkpath(install()) || !QDir().mkpath(download()))
            return false;
        if (twoVolumes) {
            volume = std::make_unique<PrivateTmpfs>(install());
            return volume->mounted();
        }
        return true;
    }

    // Installs the old version of rel and puts the download that makes the new one of it.
    ReplaceEntry prepare(Way way, const QString &rel, Owner owner, int mode)
    {
        const QByteArray oldData = lines(qPrintable("old " + rel), 300);
        const QByteArray newData = lines(qPrintable("new " + rel), 300);
        EXPECT_TRUE(put(installed(rel), oldData));
        EXPECT_TRUE(setOwnerAndMode(installed(rel), owner, mode));
        ReplaceEntry entry;
        QString key = rel;
        switch (way) {
        case Copy:
            EXPECT_TRUE(put(downloaded(rel), newData));
            entry = ReplaceEntry("mac", rel, QString(), 0, QString());
            break;
        case Lzma2:
            key = rel + "._lzma2_";
            EXPECT_TRUE(put(downloaded(key), packLzma2(newData)));
            entry = ReplaceEntry("mac", key, sha512(newData), 0, rel);
            break;
        case Gzip:
            key = rel + ".gz";
            EXPECT_TRUE(put(downloaded(key), packGzip(newData)));
            entry = ReplaceEntry("mac", key, sha512(newData), 0, rel);
            break;
        case Patch:
            key = rel + "_patch_";
            EXPECT_TRUE(put(downloaded(key), makePatch(oldData, newData)));
            entry = ReplaceEntry("mac", rel, sha512(newData), 0, rel, key);
            break;
        }
        entry.m_downloadHash = sha512(get(downloaded(key)));
        expectedContent[rel] = newData;
        return entry;
    }

    int runList(QList<ReplaceEntry> entries)
    {
        QList<DeleteEntry> deletes;
        FileReplaceListTaskSpecification list(&entries, &deletes, &config, nullptr, 0.4);
        list.execute();
        EXPECT_TRUE(waitUntil([&list] { return taskEnded(list); }));
        return list.state;
    }

    QTemporaryDir dir;
    Configuration config;
    std::unique_ptr<PrivateTmpfs> volume;
    QMap<QString, QByteArray> expectedContent;
};

// Each file of mode in specialModes, plus programs and libraries of the executable rule: it
// takes no bit away from a set-ID one and gives it no right it lacked, and gives the others its
// own mode.
struct ModeFile
{
    QString rel;
    int mode;
    int expected;
};

QList<ModeFile> modeFiles()
{
    QList<ModeFile> files;
    for (const int mode : specialModes)
        files.append({QString("MacOS/helper%1").arg(mode, 0, 8), mode, mode});
    files.append({QStringLiteral("MacOS/package_inst"), 04755, 04755});
    files.append({QStringLiteral("MacOS/qvxclient_mac"), 04750, 04750});
    files.append({QStringLiteral("Frameworks/libqvxcore.dylib"), 02710, 02710});
    // Others may not change what runs with its owner's rights.
    files.append({QStringLiteral("MacOS/error_report"), 06777, 06755});
    files.append({QStringLiteral("MacOS/update"), 0644, 0755});
    files.append({QStringLiteral("Frameworks/libplain.dylib"), 0666, 0755});
    files.append({QStringLiteral("Frameworks/libsticky.dylib"), 01600, 01755});
    return files;
}

TEST_F(WholeModeTest, EveryWayOfInstallingAndRestoringKeepsTheWholeModeAndOwner)
{
    QList<Owner> owners = {{::geteuid(), ::getegid()}};
    // Only root can give a file to someone else, and so keep its set-ID bits for them.
    if (::geteuid() == 0)
        owners.append({otherOwner, otherGroup});
    int skipped = 0;
    for (const bool twoVolumes : {false, true}) {
        for (const Owner owner : owners) {
            for (const auto &w : ways) {
                for (const bool rollBack : {false, true}) {
                    SCOPED_TRACE(QString("%1, %2, owner %3, %4")
                                     .arg(w.name)
                                     .arg(twoVolumes ? "two volumes" : "one volume")
                                     .arg(owner.uid)
                                     .arg(rollBack ? "rolled back" : "installed")
                                     .toStdString());
                    if (!prepareFolders(twoVolumes)) {
                        ++skipped;
                        continue;
                    }
                    QList<ReplaceEntry> entries;
                    for (const ModeFile &f : modeFiles())
                        entries << prepare(w.way, f.rel, owner, f.mode);
                    if (rollBack) {
                        // Fails its check once the others are in place.
                        entries << prepare(Gzip, "MacOS/last", owner, 0644);
                        entries.last().m_installedHash = sha512("not this");
                    }
                    const QStringList before = treeWithModes(install());

                    const int state = runList(entries);

                    if (rollBack) {
                        EXPECT_EQ(state, int(TaskSpecification::Failed));
                        EXPECT_EQ(treeWithModes(install()), before);
                        continue;
                    }
                    ASSERT_EQ(state, int(TaskSpecification::Finished));
                    for (const ModeFile &f : modeFiles()) {
                        EXPECT_EQ(get(installed(f.rel)), expectedContent[f.rel])
                            << qPrintable(f.rel);
                        EXPECT_EQ(octal(exactModeOf(installed(f.rel))), octal(f.expected))
                            << qPrintable(f.rel);
                        EXPECT_EQ(ownerOf(installed(f.rel)).uid, owner.uid) << qPrintable(f.rel);
                        EXPECT_EQ(ownerOf(installed(f.rel)).gid, owner.gid) << qPrintable(f.rel);
                    }
                }
            }
        }
    }
    if (skipped)
        GTEST_SKIP() << "cannot mount a private tmpfs here: one volume only";
}

TEST_F(WholeModeTest, AMovedFileKeepsItsWholeModeAndOwnerOnOneVolumeAndAcrossTwo)
{
    QList<Owner> owners = {{::geteuid(), ::getegid()}};
    if (::geteuid() == 0)
        owners.append({otherOwner, otherGroup});
    int skipped = 0;
    for (const bool twoVolumes : {false, true}) {
        if (!prepareFolders(twoVolumes)) {
            ++skipped;
            continue;
        }
        for (const Owner owner : owners) {
            for (const int mode : specialModes) {
                SCOPED_TRACE(QString("%1, owner %2, mode %3")
                                 .arg(twoVolumes ? "two volumes" : "one volume")
                                 .arg(owner.uid)
                                 .arg(mode, 0, 8)
                                 .toStdString());
                const QString from = downloaded(QString("kept%1").arg(mode, 0, 8));
                const QString to = installed(QString("moved%1-%2").arg(mode, 0, 8).arg(owner.uid));
                ASSERT_TRUE(put(from, "kept"));
                ASSERT_TRUE(setOwnerAndMode(from, owner, mode));

                QString reason;
                EXPECT_TRUE(moveFileWithoutReplacing(from, to, &reason)) << qPrintable(reason);
                EXPECT_EQ(get(to), QByteArray("kept"));
                EXPECT_EQ(octal(exactModeOf(to)), octal(mode));
                EXPECT_EQ(ownerOf(to).uid, owner.uid);
                EXPECT_EQ(ownerOf(to).gid, owner.gid);
                EXPECT_FALSE(QFileInfo::exists(from));
                EXPECT_FALSE(QFileInfo::exists(to + "_part_"));
            }
        }
    }
    if (skipped)
        GTEST_SKIP() << "cannot mount a private tmpfs here: one volume only";
}

// Step one stages the new updater from the installed one: each staged file stands in for an
// installed file and carries its whole mode and owner; the executable rule of staging widens no
// set-ID program and gives the others its own mode.
TEST(StagedModeTest, AStagedUpdaterFileKeepsTheWholeModeOfTheInstalledOne)
{
    const QString contents = QStringLiteral("SharedSupport/update.app/Contents/");
    QList<ModeFile> files;
    for (const int mode : specialModes)
        files.append({contents + QString("MacOS/helper%1").arg(mode, 0, 8), mode, mode});
    files.append({contents + "MacOS/update", 04755, 04755});
    files.append({contents + "Resources/lib.dylib", 04710, 04710});
    files.append({contents + "Resources/libgroup.dylib", 02710, 02710});
    files.append({contents + "Resources/libopen.dylib", 04777, 04755});
    files.append({contents + "Resources/libplain.dylib", 0644, 0755});
    QList<Owner> owners = {{::geteuid(), ::getegid()}};
    if (::geteuid() == 0)
        owners.append({otherOwner, otherGroup});
    for (const Owner owner : owners) {
        SCOPED_TRACE(owner.uid);
        UpdaterTestEnv env;
        Configuration config;
        config.clientUpdate = 0;
        config.tempDir = env.path(QStringLiteral("session"));
        config.installPath = env.bundle() + QStringLiteral("/Contents/");
        ASSERT_TRUE(QDir().mkpath(config.tempDir));
        ASSERT_TRUE(UpdateIniData::modify(812, config.tempDir, config.installPath,
                                          QStringLiteral("update_macosx")));
        QList<ReplaceEntry> list;
        for (const ModeFile &f : qAsConst(files)) {
            const QByteArray data = lines(qPrintable(f.rel));
            const QString installed = config.installPath + "/" + f.rel;
            ASSERT_TRUE(put(installed, "old"));
            ASSERT_TRUE(setOwnerAndMode(installed, owner, f.mode));
            ASSERT_TRUE(put(config.tempDir + "/" + f.rel + "._lzma2_", packLzma2(data)));
            ReplaceEntry entry("update", f.rel + "._lzma2_", sha512(data), quint64(data.size()),
                               f.rel);
            entry.m_downloadHash = sha512(packLzma2(data));
            list << entry;
        }

        UpdateSelfUnzipTaskSpecification task(&list, &config, nullptr, 0.4);
        task.execute();
        ASSERT_TRUE(waitUntil([&] { return taskEnded(task); }));
        ASSERT_EQ(task.state, int(TaskSpecification::Finished));
        for (const ModeFile &f : qAsConst(files)) {
            const QString staged = config.tempDir + "/" + f.rel;
            EXPECT_EQ(octal(exactModeOf(staged)), octal(f.expected)) << qPrintable(f.rel);
            EXPECT_EQ(ownerOf(staged).uid, owner.uid) << qPrintable(f.rel);
            EXPECT_EQ(ownerOf(staged).gid, owner.gid) << qPrintable(f.rel);
        }
    }
}

// A copy that keeps its source's mode and cannot be given it leaves nothing at the target: not
// a file that a later step could take for the copy.
TEST(KeptModeCopyTest, ACopyThatCannotGetItsModeIsRemoved)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ASSERT_EQ(::chmod(QFile::encodeName(dir.path()).constData(), 0777), 0);
    const QString source = dir.filePath("source");
    const QString target = dir.filePath("target");
    ASSERT_TRUE(put(source, "kept aside"));
    ASSERT_EQ(::chmod(QFile::encodeName(source).constData(), 0644), 0);
    int state = TaskSpecification::Idle;
    QStringList messages;
    {
        // Root reads any file; an ordinary user cannot read back the write-only copy that this
        // mask makes, and so cannot give it its mode.
        std::unique_ptr<AsOrdinaryUser> asUser;
        if (::geteuid() == 0) {
            asUser = std::make_unique<AsOrdinaryUser>();
            ASSERT_TRUE(asUser->active());
        }
        const mode_t mask = ::umask(0477);
        FileCopyTaskSpecification task(nullptr, source, target, nullptr, 1.0, true);
        QObject::connect(&task, &TaskSpecification::message,
                         [&messages](const QString &text) { messages << text; });
        task.execute();
        const bool ended = waitUntil([&task] { return taskEnded(task); });
        ::umask(mask);
        ASSERT_TRUE(ended);
        state = task.state;
    }
    EXPECT_EQ(state, int(TaskSpecification::Failed));
    EXPECT_EQ(
        messages,
        QStringList(QString("Could not copy '%1' to '%2': Permission denied").arg(source, target)));
    EXPECT_FALSE(QFileInfo::exists(target));
    EXPECT_EQ(get(source), QByteArray("kept aside"));
}

// A user cannot give its file to someone else: set-ID bits about another owner or a group it is
// not in would then be about the user, and are dropped; the rest of the mode is given.
TEST_F(WholeModeTest, BitsAboutAnOwnerTheProcessCannotGiveAreDropped)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    ASSERT_EQ(::chmod(QFile::encodeName(dir.path()).constData(), 0777), 0);
    const struct
    {
        const char *label;
        FileModes::Whole whole;
        int expected;
    } cases[] = {
        {"own owner and group", {06755, AsOrdinaryUser::uid, AsOrdinaryUser::gid}, 06755},
        {"another owner", {04755, otherOwner, AsOrdinaryUser::gid}, 0755},
        {"a group it is not in", {02755, AsOrdinaryUser::uid, otherGroup}, 0755},
        {"both", {06711, otherOwner, otherGroup}, 0711},
        {"sticky only", {01644, otherOwner, otherGroup}, 01644},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        const QString file = dir.filePath(c.label);
        bool given = false;
        {
            AsOrdinaryUser asUser;
            ASSERT_TRUE(asUser.active());
            const int fd
                = ::open(QFile::encodeName(file).constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
            given = fd >= 0 && FileModes::give(fd, c.whole) && ::close(fd) == 0;
        }
        ASSERT_TRUE(given);
        EXPECT_EQ(octal(exactModeOf(file)), octal(c.expected));
        EXPECT_EQ(ownerOf(file).uid, AsOrdinaryUser::uid);
    }
}

// Root gives the owner before the mode, so the set-ID bits survive the change of owner.
TEST_F(WholeModeTest, RootGivesTheOwnerAndKeepsTheSetIdBits)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root can give a file away";
    for (const int mode : specialModes) {
        SCOPED_TRACE(octal(mode));
        const QString file = dir.filePath(QString("f%1").arg(mode, 0, 8));
        const int fd = createFileExclusively(file);
        ASSERT_GE(fd, 0);
        FileModes::Whole whole;
        whole.mode = mode_t(mode);
        whole.owner = otherOwner;
        whole.group = otherGroup;
        EXPECT_TRUE(FileModes::give(fd, whole));
        ::close(fd);
        EXPECT_EQ(octal(exactModeOf(file)), octal(mode));
        EXPECT_EQ(ownerOf(file).uid, otherOwner);
        EXPECT_EQ(ownerOf(file).gid, otherGroup);
    }
}

class NoReplaceMoveTest : public WholeModeTest
{ };

// Every way of moving refuses a taken name with EEXIST and leaves both files as they were.
TEST_F(NoReplaceMoveTest, ATakenNameIsNeverReplaced)
{
    const struct
    {
        const char *label;
        bool twoVolumes;
        std::function<int(const QString &from, const QString &to)> move;
    } cases[] = {
        {"rename in one step", false, renameWithoutReplacing},
        {"link, then unlink", false, renameByLinking},
        {"move", false,
         [](const QString &from, const QString &to) {
             QString reason;
             return moveFileWithoutReplacing(from, to, &reason) ? 0 : (reason.isEmpty() ? -1 : 1);
         }},
        {"move across volumes", true,
         [](const QString &from, const QString &to) {
             QString reason;
             return moveFileWithoutReplacing(from, to, &reason) ? 0 : (reason.isEmpty() ? -1 : 1);
         }},
    };
    int skipped = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        if (!prepareFolders(c.twoVolumes)) {
            ++skipped;
            continue;
        }
        const QString from = downloaded("mine");
        const QString to = installed("theirs");
        ASSERT_TRUE(put(from, "mine"));
        ASSERT_TRUE(put(to, "theirs"));
        ASSERT_EQ(::chmod(QFile::encodeName(to).constData(), 0640), 0);

        EXPECT_NE(c.move(from, to), 0);
        EXPECT_EQ(get(from), QByteArray("mine"));
        EXPECT_EQ(get(to), QByteArray("theirs"));
        EXPECT_EQ(octal(exactModeOf(to)), "640");
        EXPECT_FALSE(QFileInfo::exists(to + "_part_"));

        // The free name is taken.
        ASSERT_TRUE(QFile::remove(to));
        EXPECT_EQ(c.move(from, to), 0);
        EXPECT_FALSE(QFileInfo::exists(from));
        EXPECT_EQ(get(to), QByteArray("mine"));
    }
    ASSERT_TRUE(prepareFolders(false));
    ASSERT_TRUE(put(downloaded("a"), "a"));
    ASSERT_TRUE(put(downloaded("b"), "b"));
    EXPECT_EQ(renameWithoutReplacing(downloaded("a"), downloaded("b")), EEXIST);
    EXPECT_EQ(renameByLinking(downloaded("a"), downloaded("b")), EEXIST);
    QString reason;
    EXPECT_FALSE(moveFileWithoutReplacing(downloaded("a"), downloaded("b"), &reason));
    EXPECT_EQ(reason, "File exists");
    if (skipped)
        GTEST_SKIP() << "cannot mount a private tmpfs here: one volume only";
}

// The name is taken while the copy is written: the copy does not replace what took it, and
// leaves nothing behind.
TEST_F(NoReplaceMoveTest, ANameTakenWhileTheCopyIsWrittenStaysWithItsFile)
{
    ASSERT_TRUE(prepareFolders(false));
    const QString source = downloaded("mine");
    const QString target = installed("target");
    ASSERT_TRUE(put(source, "mine"));
    FileModes::Whole whole;
    whole.mode = 0755;
    QString reason;
    EXPECT_FALSE(writeNewFileThroughScratch(
        target,
        [&](const QString &scratch, QString *why) {
            if (!put(target, "appeared meanwhile"))
                return false;
            return copyIntoScratch(source, scratch, why);
        },
        whole, &reason));
    EXPECT_EQ(reason, "File exists");
    EXPECT_EQ(get(target), QByteArray("appeared meanwhile"));
    EXPECT_FALSE(QFileInfo::exists(target + "_part_"));

    // Free, the name gets the copy with its mode.
    ASSERT_TRUE(QFile::remove(target));
    whole.mode = 04750;
    EXPECT_TRUE(writeNewFileThroughScratch(
        target,
        [&](const QString &scratch, QString *why) { return copyIntoScratch(source, scratch, why); },
        whole, &reason));
    EXPECT_EQ(get(target), QByteArray("mine"));
    EXPECT_EQ(octal(exactModeOf(target)), "4750");
}

// A scratch file that is no longer ours when it is finished never reaches the target name.
TEST_F(NoReplaceMoveTest, AScratchFileSwappedForALinkLeavesNothingAtTheTarget)
{
    ASSERT_TRUE(prepareFolders(false));
    const QString target = installed("target");
    const QString elsewhere = downloaded("elsewhere");
    ASSERT_TRUE(put(elsewhere, "elsewhere"));
    FileModes::Whole whole;
    whole.mode = 0644;
    EXPECT_FALSE(writeNewFileThroughScratch(
        target,
        [&](const QString &scratch, QString *) {
            return QFile::remove(scratch) && QFile::link(elsewhere, scratch);
        },
        whole));
    EXPECT_FALSE(QFileInfo::exists(target));
    EXPECT_FALSE(QFileInfo(target + "_part_").isSymLink());
    EXPECT_EQ(get(elsewhere), QByteArray("elsewhere"));
}

} // namespace
