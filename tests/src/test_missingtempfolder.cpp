// Without a temporary folder the updater must not fall back to the file-system root, which is
// what an empty temporary path names: neither the arguments file, the step-two clean-up nor the
// force-update markers may touch it.
#include "configuration.h"
#include "mainwindow.h"
#include "test_updateengine_support.h"
#include "updateengine.h"
#include "updatertestenv.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <functional>

#include <sys/wait.h>
#include <unistd.h>

namespace {

// Runs body in a child process whose file-system root is jail and whose TMPDIR names a missing
// folder, so that Qt reports an empty temporary path there. Returns the child's exit code; -1
// when it did not end normally.
int runWithoutTempFolder(const QString &jail, const std::function<int()> &body)
{
    const QByteArray root = QFile::encodeName(jail);
    const pid_t pid = fork();
    if (pid == 0) {
        if (chroot(root.constData()) != 0 || chdir("/") != 0)
            _exit(100);
        qputenv("TMPDIR", "/missing");
        if (!QDir::tempPath().isEmpty())
            _exit(101);
        _exit(body());
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class MissingTempFolderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs chroot";
        ASSERT_TRUE(jail.isValid());
    }

    // A file at the jail's root, which is what an empty temporary path would name.
    QString atRoot(const QString &name) const { return jail.path() + QLatin1Char('/') + name; }

    QTemporaryDir jail;
};

TEST_F(MissingTempFolderTest, ArgumentsFileIsNotReadFromTheRoot)
{
    ASSERT_TRUE(UpdaterTestEnv::writeFile(atRoot(QStringLiteral("qvxclientupdateargs")),
                                          "--clientupdate\nclient_macosx\n812\n#\n"));
    const int code = runWithoutTempFolder(jail.path(), []() {
        Configuration config;
        return config.readArgsFile().isEmpty() ? 0 : 1;
    });
    EXPECT_EQ(code, 0);
}

TEST_F(MissingTempFolderTest, StepTwoCleanupLeavesTheRootAlone)
{
    UpdaterTestEnv env;
    FakeRootFactory factory;
    Configuration config;
    config.clientType = QStringLiteral("client_macosx");
    config.versionNr = 42;
    config.initialised = true;
    config.clientUpdate = 1;
    UpdateEngine engine(&config, nullptr);
    ASSERT_TRUE(engine.initialize());
    ASSERT_TRUE(engine.startUpdate());
    ASSERT_TRUE(factory.root);
    const QString file = atRoot(QStringLiteral("qvxclientupdateargs"));
    ASSERT_TRUE(UpdaterTestEnv::writeFile(file, "x"));

    const int code = runWithoutTempFolder(jail.path(), [&]() {
        factory.root->finish();
        return engine.state() == UpdateEngine::FINISHED ? 0 : 1;
    });
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(QFileInfo::exists(file));
}

TEST_F(MissingTempFolderTest, ForceUpdateMarkersStayOutOfTheRoot)
{
    UpdaterTestEnv env;
    FakeRootFactory factory;
    Configuration config;
    MainWindow window(&config);
    const QString marker = atRoot(g_ForceUpdateFileName);
    const QString check = atRoot(g_ForceUpdateCheckFileName);
    ASSERT_TRUE(UpdaterTestEnv::writeFile(marker, "x"));
    ASSERT_TRUE(UpdaterTestEnv::writeFile(check, "x"));

    EXPECT_EQ(runWithoutTempFolder(jail.path(),
                                   [&]() {
                                       window.delete_force_update_files();
                                       return 0;
                                   }),
              0);
    EXPECT_TRUE(QFileInfo::exists(marker));
    EXPECT_TRUE(QFileInfo::exists(check));

    ASSERT_TRUE(QFile::remove(marker));
    EXPECT_EQ(runWithoutTempFolder(jail.path(),
                                   [&]() {
                                       window.write_force_update_file(g_ForceUpdateFileName);
                                       return 0;
                                   }),
              0);
    EXPECT_FALSE(QFileInfo::exists(marker));
}

} // namespace
