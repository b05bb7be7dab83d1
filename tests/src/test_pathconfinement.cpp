#include "configuration.h"
#include "faketasks.h"
#include "filedeletelisttaskspecification.h"
#include "filereplacelisttaskspecification.h"
#include "filereplacetaskspecification.h"
#include "pathconfinement.h"
#include "replacelistdata.h"
#include "test_maintask_fixture.h"
#include "test_maintask_support.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cerrno>
#include <functional>
#include <set>
#include <utility>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

using namespace qvxrun;

namespace {

using Inode = std::pair<dev_t, ino_t>;

// Every entry below folder and folder itself, links not followed, read as raw bytes: names
// that are not valid in the file-name encoding count too.
void collectInodes(const QByteArray &folder, std::set<Inode> *inodes)
{
    struct stat st;
    if (::lstat(folder.constData(), &st) != 0)
        return;
    inodes->insert({st.st_dev, st.st_ino});
    if (!S_ISDIR(st.st_mode))
        return;
    DIR *dir = ::opendir(folder.constData());
    if (!dir)
        return;
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            collectInodes(folder + '/' + name, inodes);
    }
    ::closedir(dir);
}

// Removes folder and everything below it, links not followed, by raw bytes: Qt cannot remove a
// name that is not valid in the file-name encoding, and would leave the folder behind.
void removeTreeRaw(const QByteArray &folder)
{
    struct stat st;
    if (::lstat(folder.constData(), &st) != 0)
        return;
    if (!S_ISDIR(st.st_mode)) {
        ::unlink(folder.constData());
        return;
    }
    if (DIR *dir = ::opendir(folder.constData())) {
        std::vector<QByteArray> names;
        while (const dirent *entry = ::readdir(dir)) {
            const QByteArray name(entry->d_name);
            if (name != "." && name != "..")
                names.push_back(name);
        }
        ::closedir(dir);
        for (const QByteArray &name : names)
            removeTreeRaw(folder + '/' + name);
    }
    ::rmdir(folder.constData());
}

// A temporary folder that is removed by raw bytes, whatever names it holds.
class RawTemporaryDir : public QTemporaryDir
{
public:
    RawTemporaryDir() { setAutoRemove(false); }
    ~RawTemporaryDir()
    {
        if (isValid())
            removeTreeRaw(QFile::encodeName(path()));
    }
    RawTemporaryDir(const RawTemporaryDir &) = delete;
    RawTemporaryDir &operator=(const RawTemporaryDir &) = delete;
};

TEST(PathConfinement, RelativePathRules)
{
    for (const char *safe : {"a", "Contents/MacOS/x", "a..b/..c", ".hidden/x", "x."})
        EXPECT_TRUE(PathConfinement::isSafeRelativePath(safe)) << safe;
    for (const char *unsafe :
         {"", "/etc/passwd", "..", ".", "../x", "a/../../x", "a/./b", "./a", "a//b", "a/", "a/.."})
        EXPECT_FALSE(PathConfinement::isSafeRelativePath(unsafe)) << unsafe;
}

// A root folder with links of every kind, and a folder outside it.
TEST(PathConfinement, LinksAreFollowedToWhereTheyLead)
{
    RawTemporaryDir dir;
    const QString root = dir.filePath("root");
    const QString outside = dir.filePath("outside");
    ASSERT_TRUE(put(root + "/Versions/5/lib", "lib"));
    ASSERT_TRUE(put(outside + "/secret", "secret"));
    ASSERT_TRUE(QFile::link("5", root + "/Versions/Current"));
    ASSERT_TRUE(QFile::link(outside, root + "/out"));
    ASSERT_TRUE(QFile::link("../outside", root + "/relout"));
    ASSERT_TRUE(QFile::link(outside + "/secret", root + "/secret.lnk"));
    ASSERT_TRUE(QFile::link(outside + "/not-yet", root + "/dangling"));
    ASSERT_TRUE(QFile::link("loop", root + "/loop"));
    ASSERT_TRUE(QFile::link("Versions/5/../../out", root + "/detour"));
    // The root itself may be reached through a link.
    ASSERT_TRUE(QFile::link(root, dir.filePath("root.lnk")));
    // Targets that are no valid text: "\xff" leads outside, and a ".." after it climbs from
    // there, not back from a U+FFFD name that is not on disk.
    const QByteArray rawRoot = QFile::encodeName(root);
    const auto rawLink = [&rawRoot](const QByteArray &target, const QByteArray &name) {
        return ::symlink(target.constData(), QByteArray(rawRoot + '/' + name).constData()) == 0;
    };
    ASSERT_TRUE(QDir().mkpath(outside + "/deep"));
    ASSERT_TRUE(rawLink(QFile::encodeName(outside + "/deep"), "\xff"));
    ASSERT_TRUE(rawLink("\xff/../secret", "enc"));
    ASSERT_TRUE(rawLink("\xff/..", "encdir"));
    // A valid name outside ASCII is read back as it is.
    ASSERT_TRUE(QDir().mkpath(root + QString::fromUtf8("/\xc3\xa9")));
    ASSERT_TRUE(rawLink("\xc3\xa9/../Versions", "accent"));

    struct Case
    {
        const char *path;
        bool followLast;
        bool inside;
    } cases[] = {
        {"Versions/Current/lib", true, true},
        {"Versions/Current", true, true},
        {"new/folder/file", true, true},
        {"out/secret", true, false},
        {"out/secret", false, false},
        {"out", false, true}, // the link itself
        {"out", true, false},
        {"relout/secret", true, false},
        {"secret.lnk", true, false},
        {"secret.lnk", false, true},
        {"dangling", true, false},
        {"loop", true, false},
        {"detour/secret", true, false},
        {"enc", true, false},
        {"enc", false, true},
        {"encdir/secret", false, false},
        {"accent/5/lib", true, true},
        // A slash after the last component makes the kernel follow its link.
        {"out/", false, false},
        {"out//", false, false},
        {"relout/", false, false},
        {"secret.lnk/", false, false},
        {"Versions/Current/", false, true},
    };
    std::set<Inode> inodesInside;
    collectInodes(rawRoot, &inodesInside);
    for (const Case &c : cases) {
        for (const QString &base : {root, dir.filePath("root.lnk")}) {
            const QString path = base + "/" + QString::fromUtf8(c.path);
            SCOPED_TRACE(path.toStdString());
            const bool inside = PathConfinement::staysInside(base, path, c.followLast);
            EXPECT_EQ(inside, c.inside);
            // Where the kernel lands, when it lands anywhere.
            struct stat st;
            const QByteArray raw = QFile::encodeName(path);
            const int landed
                = c.followLast ? ::stat(raw.constData(), &st) : ::lstat(raw.constData(), &st);
            if (landed == 0) {
                EXPECT_EQ(inside, inodesInside.count({st.st_dev, st.st_ino}) > 0);
            } else if (errno == ELOOP) {
                EXPECT_FALSE(inside);
            }
        }
    }
    EXPECT_TRUE(PathConfinement::staysInside(root + "/", root, true));
    // ".." after a link climbs from where the link leads.
    EXPECT_FALSE(PathConfinement::staysInside(root, root + "/out/../secret.lnk", false));
    EXPECT_TRUE(PathConfinement::staysInside(root, root + "/Versions/Current/../5/lib", true));
    EXPECT_FALSE(PathConfinement::staysInside(root, dir.filePath("root2/x"), true));
}

// Step two with a product ini a hostile publisher wrote: the run fails and nothing changes,
// neither in the bundle nor beside it.
class HostileProductIniTest : public MainTaskRunTest
{
public:
    void SetUp() override
    {
        MainTaskRunTest::SetUp();
        if (!builtInKeyIsDevelopmentKey())
            GTEST_SKIP() << "the build embeds another signing key";
        config.clientUpdate = 1;
        ASSERT_TRUE(put(installed("MacOS/qvxclient_mac"), oldClient));
        ASSERT_TRUE(put(installed("SharedSupport/readme.txt"), "old readme"));
        ASSERT_TRUE(put(victim("keep.txt"), "keep"));
        ASSERT_TRUE(put(victim("folder/inner.txt"), "inner"));
    }

    QString victim(const QString &name) const { return env.path("victim/") + name; }

    // Everything below the test's root but the download folder, which the run may fill.
    QMap<QString, QByteArray> outsideSession() const
    {
        QMap<QString, QByteArray> tree = snapshot(env.root(), WithModes);
        for (auto it = tree.begin(); it != tree.end();)
            it = it.key().startsWith("session") ? tree.erase(it) : std::next(it);
        return tree;
    }

    // The product ini as the publisher wrote it, "{old}" and "{new}" standing for hashes.
    void serveProductIniText(QString text)
    {
        text.replace("{old}", sha512(oldClient)).replace("{new}", sha512(newClient));
        text.replace("{payload}", sha512(payload)).replace("{packed}", sha512(packLzma2(payload)));
        text.replace("{patch}", sha512(patch)).replace("{victim}", env.path("victim"));
        serve("qvx_client_macosx.ini._lzma2_", packLzma2(text.toUtf8()));
        serve("qvx_client_macosx.ini.sig", signWithDevelopmentKey(text.toUtf8()));
    }

    const QByteArray oldClient = lines("client v1");
    const QByteArray newClient = lines("client v1") + lines("client v2", 50);
    const QByteArray payload = "written by the publisher\n";
    const QByteArray patch = makePatch(oldClient, newClient);
};

struct HostileCase
{
    const char *label;
    // Links the bundle already has, downloads the server offers.
    std::function<void(HostileProductIniTest &)> prepare;
    const char *ini;
    const char *message;
};

void PrintTo(const HostileCase &c, std::ostream *os)
{
    *os << c.label;
}

class HostileProductIniCases : public HostileProductIniTest,
                               public ::testing::WithParamInterface<HostileCase>
{ };

TEST_P(HostileProductIniCases, ChangeNothingInsideOrOutsideTheBundle)
{
    const HostileCase &c = GetParam();
    if (c.prepare)
        c.prepare(*this);
    serveProductIniText(c.ini);
    const QMap<QString, QByteArray> before = outsideSession();

    ASSERT_EQ(runUpdate(), TaskSpecification::Failed);
    EXPECT_EQ(outsideSession(), before);
    const QStringList messages = log.filtered("main message");
    EXPECT_TRUE(std::any_of(messages.begin(), messages.end(), [&c](const QString &m) {
        return m.contains(c.message);
    })) << messages.join(" | ").toStdString();
    // Nothing was fetched for a file the run was never going to install.
    EXPECT_EQ(server.requestCount(QString("/images/%1/mac/evil").arg(version)), 0);
}

void serveEvil(HostileProductIniTest &t)
{
    t.serve("mac/evil", t.payload);
    t.serve("mac/evil._lzma2_", packLzma2(t.payload));
}

void linkOutside(HostileProductIniTest &t)
{
    serveEvil(t);
    ASSERT_TRUE(QDir().mkpath(t.installed("Resources")));
    ASSERT_TRUE(QFile::link(t.env.path("victim/folder"), t.installed("Resources/linked")));
    ASSERT_TRUE(QFile::link(t.victim("keep.txt"), t.installed("Resources/keep.lnk")));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HostileProductIniCases,
    ::testing::Values(
        HostileCase {"delete folder above the bundle", nullptr, "[delete]\n../../victim=2\n",
                     "unsafe path in section delete: ../../victim"},
        HostileCase {"delete file above the bundle", nullptr, "[delete]\n../../victim/keep.txt=0\n",
                     "unsafe path in section delete: ../../victim/keep.txt"},
        HostileCase {"file key climbing out", serveEvil, "[mac]\n../../victim/evil={payload}::25\n",
                     "unsafe path in section mac: ../../victim/evil"},
        HostileCase {"installed name climbing out", serveEvil,
                     "[mac]\nevil._lzma2_={packed}::9::{payload}::25::../../victim/evil\n",
                     "unsafe path in section mac: evil._lzma2_"},
        HostileCase {"absolute installed name", serveEvil,
                     "[mac]\nevil._lzma2_={packed}::9::{payload}::25::{victim}/evil\n",
                     "unsafe path in section mac: evil._lzma2_"},
        HostileCase {"installed name with a dot component", serveEvil,
                     "[mac]\nevil._lzma2_={packed}::9::{payload}::25::MacOS/./evil\n",
                     "unsafe path in section mac: evil._lzma2_"},
        HostileCase {
            "patch key climbing out",
            [](HostileProductIniTest &t) { t.serve("mac/p_patch_", t.patch); },
            "[mac]\nMacOS/qvxclient_mac._lzma2_={packed}::9::{new}::9::MacOS/qvxclient_mac\n"
            "../victim/p_patch_={patch}::9::{old}::9::MacOS/qvxclient_mac\n",
            "unsafe path in section mac: ../victim/p_patch_"},
        HostileCase {"section climbing out of the image folder", serveEvil,
                     "[..]\nevil={payload}::25\n", "unsafe path in section ..: evil"},
        HostileCase {"write through a folder link leading outside", linkOutside,
                     "[mac]\nResources/linked/evil={payload}::25\n", "leads outside"},
        HostileCase {"replace a file link leading outside", linkOutside,
                     "[mac]\nResources/keep.lnk={payload}::25\n", "leads outside"},
        HostileCase {"delete through a folder link leading outside", linkOutside,
                     "[delete]\nResources/linked/inner.txt=0\n", "leads outside"},
        HostileCase {
            "two different entries for one installed path",
            [](HostileProductIniTest &t) {
                t.serve("mac/SharedSupport/readme.txt", "one");
                t.serve("common_client/readme.txt", "two");
            },
            "[common_client]\nreadme.txt={old}::3\n[mac]\nSharedSupport/readme.txt={new}::3\n",
            "Warning: product ini contains different lines for SharedSupport/readme.txt "
            "in sections common_client and mac"}),
    [](const ::testing::TestParamInfo<HostileCase> &info) {
        std::string name = info.param.label;
        for (char &ch : name)
            ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
        return name;
    });

TEST_F(HostileProductIniTest, LinksInsideTheBundleKeepWorking)
{
    const QString framework = installed("Frameworks/Q.framework");
    ASSERT_TRUE(put(framework + "/Versions/5/Q", oldClient));
    ASSERT_TRUE(QFile::link("5", framework + "/Versions/Current"));
    ASSERT_TRUE(QFile::link("Versions/Current/Q", framework + "/Q"));
    serve("mac/Frameworks/Q.framework/Q", payload);
    serveProductIniText("[mac]\nFrameworks/Q.framework/Q={payload}::25\n");

    ASSERT_EQ(runUpdate(), TaskSpecification::Finished)
        << log.filtered("main message").join(" | ").toStdString();
    EXPECT_EQ(get(framework + "/Versions/5/Q"), payload);
    EXPECT_TRUE(QFileInfo(framework + "/Q").isSymLink());
    EXPECT_TRUE(QFileInfo(framework + "/Versions/Current").isSymLink());
}

TEST_F(HostileProductIniTest, ScratchFilesOfAKilledUnpackAreRemoved)
{
    // A kill between writing and moving left these; the file itself is current.
    ASSERT_TRUE(put(installed("MacOS/qvxclient_mac_part_"), "half"));
    ASSERT_TRUE(put(installed("MacOS/other_part_"), "not ours: no line names other"));
    serveProductIniText("[mac]\nMacOS/qvxclient_mac={old}::9\n");

    ASSERT_EQ(runUpdate(), TaskSpecification::Finished);
    EXPECT_FALSE(QFileInfo::exists(installed("MacOS/qvxclient_mac_part_")));
    EXPECT_EQ(get(installed("MacOS/other_part_")), "not ours: no line names other");
    EXPECT_EQ(get(installed("MacOS/qvxclient_mac")), oldClient);
}

// The install tasks check again: links on disk can change after the lists were built.
class ConfinedTasksTest : public ::testing::Test
{
public:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        config.installPath = dir.filePath("bundle/Contents/");
        config.tempDir = dir.filePath("session");
        ASSERT_TRUE(put(config.tempDir + "/evil", "evil"));
        ASSERT_TRUE(put(dir.filePath("victim/keep.txt"), "keep"));
        ASSERT_TRUE(QDir().mkpath(config.installPath + "Resources"));
        ASSERT_TRUE(QFile::link(dir.filePath("victim"), config.installPath + "Resources/linked"));
        ASSERT_TRUE(QFile::link(dir.filePath("victim/keep.txt"),
                                config.installPath + "Resources/keep.lnk"));
    }

    int run(TaskSpecification &task)
    {
        log.watch(&task, "t");
        task.execute();
        EXPECT_TRUE(waitUntil([&task] { return taskEnded(task); }));
        return task.state;
    }

    QTemporaryDir dir;
    Configuration config;
    TaskEventLog log;
    QList<DeleteEntry> deletes;
};

TEST_F(ConfinedTasksTest, ReplacingThroughALinkLeadingOutsideFails)
{
    for (const char *target : {"Resources/linked/evil", "Resources/keep.lnk"}) {
        SCOPED_TRACE(target);
        ReplaceEntry entry;
        entry.m_section = "mac";
        entry.m_key = target;
        ASSERT_TRUE(put(config.tempDir + "/" + target, "evil"));
        const QMap<QString, QByteArray> before = snapshot(dir.path(), WithModes);

        QList<ReplaceEntry> entries {entry};
        FileReplaceListTaskSpecification list(&entries, &deletes, &config, nullptr, 1.0);
        EXPECT_EQ(run(list), TaskSpecification::Failed);
        EXPECT_EQ(snapshot(dir.path(), WithModes), before);

        FileReplaceTaskSpecification single(entry, &deletes, nullptr, &config, nullptr, 1.0);
        EXPECT_EQ(run(single), TaskSpecification::Failed);
        EXPECT_EQ(snapshot(dir.path(), WithModes), before);
    }
    EXPECT_EQ(get(dir.filePath("victim/keep.txt")), "keep");
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("victim/evil")));
}

TEST_F(ConfinedTasksTest, DeletingThroughALinkLeadingOutsideDeletesNothing)
{
    ASSERT_TRUE(put(config.installPath + "Resources/obsolete", "obsolete"));
    deletes << DeleteEntry("Resources/obsolete", false) << DeleteEntry("Resources/linked", true)
            << DeleteEntry("Resources/linked/keep.txt", false);
    const QMap<QString, QByteArray> before = snapshot(dir.path(), WithModes);
    FileDeleteListTaskSpecification list(&deletes, &config, nullptr, 1.0);
    EXPECT_EQ(run(list), TaskSpecification::Failed);
    EXPECT_EQ(snapshot(dir.path(), WithModes), before);
}

TEST_F(ConfinedTasksTest, StagingThroughALinkLeadingOutsideFails)
{
    const QByteArray exe = lines("new updater");
    const QString rel = "SharedSupport/update.app/Contents/MacOS/update";
    ASSERT_TRUE(put(config.tempDir + "/" + rel + "._lzma2_", packLzma2(exe)));
    ASSERT_TRUE(QFile::link(dir.filePath("victim"),
                            config.tempDir + "/SharedSupport/update.app/Contents/MacOS/linked"));
    const QMap<QString, QByteArray> before = snapshot(dir.path(), WithModes);

    QList<ReplaceEntry> entries {
        ReplaceEntry("update", rel + "._lzma2_", sha512(exe), quint64(exe.size()),
                     "SharedSupport/update.app/Contents/MacOS/linked/keep.txt")};
    entries.first().m_downloadHash = sha512(packLzma2(exe));
    UpdateSelfUnzipTaskSpecification staging(&entries, &config, nullptr, 1.0);
    EXPECT_EQ(run(staging), TaskSpecification::Failed);
    EXPECT_EQ(snapshot(dir.path(), WithModes), before);
    EXPECT_EQ(get(dir.filePath("victim/keep.txt")), "keep");
    EXPECT_EQ(log.filtered("t message").size(), 1);
}

} // namespace
