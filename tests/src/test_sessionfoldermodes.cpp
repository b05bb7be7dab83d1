// The session folder and every folder made in it are the user's alone, whatever the umask:
// another local user must not be able to plant a file or a link in them between two runs.
#include "configuration.h"
#include "filemodes.h"
#include "test_maintask_fixture.h"
#include "test_maintask_support.h"

#include <gtest/gtest.h>

#include <QDirIterator>

#include <sys/stat.h>

using namespace qvxrun;

namespace {

int modeOf(const QString &path)
{
    struct stat status;
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return -1;
    return status.st_mode & 07777;
}

// Every real folder from root down (links are not followed) whose mode is not 0700, with it.
QStringList foldersNotPrivate(const QString &root)
{
    QStringList found;
    QStringList folders {root};
    QDirIterator it(root, QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!QFileInfo(path).isSymLink())
            folders << path;
    }
    for (const QString &folder : folders) {
        const int mode = modeOf(folder);
        if (mode != 0700)
            found << QStringLiteral("%1 %2").arg(folder).arg(mode, 0, 8);
    }
    return found;
}

class UmaskScope
{
public:
    explicit UmaskScope(mode_t mask)
        : m_saved(::umask(mask))
    { }
    ~UmaskScope() { ::umask(m_saved); }
    UmaskScope(const UmaskScope &) = delete;
    UmaskScope &operator=(const UmaskScope &) = delete;

private:
    mode_t m_saved;
};

TEST(SessionFolderModes, NewSessionFolderIsPrivateWhateverTheUmask)
{
    // 0277 takes the owner's own write bit: the folder must still be usable.
    for (const mode_t mask : {mode_t(0000), mode_t(0022), mode_t(0277)}) {
        SCOPED_TRACE(mask);
        UpdaterTestEnv env;
        Configuration config;
        {
            UmaskScope scope(mask);
            ASSERT_TRUE(config.createTempDir());
        }
        EXPECT_EQ(QFileInfo(config.tempDir).absolutePath(), env.tempDir());
        EXPECT_EQ(modeOf(config.tempDir), 0700);
    }
}

// Whole runs under umask 000 in a session folder that the configuration made.
class SessionFolderRunTest : public MainTaskRunTest
{
public:
    void SetUp() override
    {
        MainTaskRunTest::SetUp();
        if (!builtInKeyIsDevelopmentKey())
            GTEST_SKIP() << "the build embeds another signing key";
        m_savedMask = ::umask(0);
        m_maskSet = true;
        ASSERT_TRUE(config.createTempDir());
        ASSERT_TRUE(UpdateIniData::modify(version, config.tempDir, config.installPath,
                                          QStringLiteral("update_macosx")));
    }
    void TearDown() override
    {
        if (m_maskSet)
            ::umask(m_savedMask);
        MainTaskRunTest::TearDown();
    }

    static QString line(const QByteArray &packed, const QByteArray &plain, const QString &name)
    {
        return QStringList({sha512(packed), QString::number(packed.size()), sha512(plain),
                            QString::number(plain.size()), name})
            .join("::");
    }

private:
    mode_t m_savedMask = 0;
    bool m_maskSet = false;
};

TEST_F(SessionFolderRunTest, StepTwoDownloadAndBackupFoldersArePrivate)
{
    config.clientUpdate = 1;
    const QByteArray oldTool = lines("tool v1");
    const QByteArray newTool = lines("tool v2");
    const QByteArray packedTool = packLzma2(newTool);
    const QByteArray oldClient = lines("client v1");
    const QByteArray newClient = lines("client v1") + lines("client v2", 50);
    const QByteArray patch = makePatch(oldClient, newClient);
    ASSERT_FALSE(patch.isEmpty());
    const QByteArray added = lines("added");
    ASSERT_TRUE(put(installed("MacOS/deep/tool"), oldTool));
    ASSERT_TRUE(put(installed("MacOS/patched/qvxclient"), oldClient));
    // Downloaded into pack/ and Resources/more/, kept old copies in MacOS/deep/ and the patch
    // base in MacOS/patched/: folders of the session folder that only the run makes.
    serve("mac/pack/tool._lzma2_", packedTool);
    serve("mac/Patches/qvxclient_811_patch_", patch);
    serve("mac/Resources/more/added.txt", added);
    serveProductIni(
        "qvx_client_macosx.ini",
        {
            {"mac/pack/tool._lzma2_", line(packedTool, newTool, "MacOS/deep/tool")},
            {"mac/Patches/qvxclient._lzma2_",
             line(packLzma2(newClient), newClient, "MacOS/patched/qvxclient")},
            {"mac/Patches/qvxclient_811_patch_", line(patch, oldClient, "MacOS/patched/qvxclient")},
            {"mac/Resources/more/added.txt", sha512(added) + "::" + QString::number(added.size())},
        });

    ASSERT_EQ(runUpdate(), TaskSpecification::Finished)
        << log.filtered("main message").join('\n').toStdString();
    ASSERT_EQ(get(installed("MacOS/deep/tool")), newTool);
    ASSERT_EQ(get(installed("MacOS/patched/qvxclient")), newClient);
    for (const char *folder : {"pack", "Patches", "Resources/more", "MacOS/deep", "MacOS/patched"})
        EXPECT_TRUE(QFileInfo(session(folder)).isDir()) << folder;
    EXPECT_EQ(foldersNotPrivate(config.tempDir), QStringList());
}

TEST_F(SessionFolderRunTest, StepOneStagingFoldersArePrivate)
{
    config.clientUpdate = 0;
    const QString exe = "SharedSupport/update.app/Contents/MacOS/update";
    const QString resource = "SharedSupport/update.app/Contents/Resources/current.txt";
    const QString strings = "SharedSupport/update.app/Contents/Resources/strings.txt";
    const QString library = "Frameworks/libqvx.1.dylib";
    const QByteArray newExe = lines("updater v2");
    const QByteArray lib = lines("library");
    const QByteArray current = lines("current");
    const QByteArray oldStrings = lines("strings v1");
    const QByteArray newStrings = lines("strings v1") + lines("strings v2", 30);
    ASSERT_TRUE(put(installed(exe), lines("updater v1")));
    ASSERT_TRUE(put(installed(resource), current));
    ASSERT_TRUE(put(installed(strings), oldStrings));
    const QByteArray patch = makePatch(oldStrings, newStrings);
    ASSERT_FALSE(patch.isEmpty());
    const QByteArray packedExe = packLzma2(newExe);
    const QByteArray packedLib = packLzma2(lib);
    serve("update/" + exe + "._lzma2_", packedExe);
    serve("update/" + library + "._lzma2_", packedLib);
    serve("update/" + strings + "_1_patch_", patch);
    serveProductIni(
        "update_macosx.ini",
        {
            {"update/" + exe + "._lzma2_", line(packedExe, newExe, exe)},
            {"update/" + library + "._lzma2_", line(packedLib, lib, library)},
            {"update/" + resource, sha512(current) + "::" + QString::number(current.size())},
            {"update/" + strings + "._lzma2_", line(packLzma2(newStrings), newStrings, strings)},
            {"update/" + strings + "_1_patch_", line(patch, oldStrings, strings)},
        });

    ASSERT_EQ(runUpdate(), TaskSpecification::Finished)
        << log.filtered("main message").join('\n').toStdString();
    ASSERT_EQ(get(session(exe)), newExe);
    ASSERT_EQ(get(session(resource)), current);
    ASSERT_EQ(get(session(strings)), newStrings);
    ASSERT_EQ(get(session("SharedSupport/translations/update_de.qm")), "de");
    EXPECT_EQ(foldersNotPrivate(config.tempDir), QStringList());
}

} // namespace
