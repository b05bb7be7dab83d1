#include "asuser_test_support.h"
#include "bundlefixture.h"
#include "configuration.h"
#include "platformlaunch.h"
#include "processtools.h"
#include "tmpfs_test_support.h"
#include "updatertestenv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>

#include <sys/stat.h>

namespace {

QStringList g_messages;

void captureMessage(QtMsgType, const QMessageLogContext &, const QString &msg)
{
    g_messages.append(msg);
}

using BundleFixture::contentOf;
using BundleFixture::waitForFile;

class ProcessToolsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_messages.clear();
        m_previousHandler = qInstallMessageHandler(captureMessage);
    }
    void TearDown() override { qInstallMessageHandler(m_previousHandler); }

    // A stand-in program: records its argument count, then what follows, then "done".
    static void makeProgram(const QString &path, const QString &marker, const QString &extra)
    {
        ASSERT_TRUE(BundleFixture::writeProgram(path, marker, extra));
    }
    bool logged(const QString &text) const { return g_messages.contains(text); }

    UpdaterTestEnv env;
    QtMessageHandler m_previousHandler = nullptr;
};

TEST_F(ProcessToolsTest, ArgumentsFileReadsBackAsTheSameStepTwoSettings)
{
    struct Case
    {
        QStringList args;
        QByteArray file;
        QString versionString;
    };
    const Case cases[] = {
        {{"--clientupdate", "client_macosx", "812", "#"},
         "--clientupdate\nclient_macosx\n812\n#\n",
         QString()},
        {{"--clientupdate", "client_macosx", "813", "8.1.3 beta"},
         "--clientupdate\nclient_macosx\n813\n8.1.3 beta\n",
         QStringLiteral("8.1.3 beta")},
        {{"--clientupdate", "client_macosx", "814", QStringLiteral("8.1.4 \u03b2 caf\u00e9")},
         QStringLiteral("--clientupdate\nclient_macosx\n814\n8.1.4 \u03b2 caf\u00e9\n").toUtf8(),
         QStringLiteral("8.1.4 \u03b2 caf\u00e9")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args.join(QLatin1Char(' ')).toStdString());
        ASSERT_TRUE(ProcessTools::writeArgsFile(c.args));
        EXPECT_EQ(contentOf(env.tempDir() + QStringLiteral("/qvxclientupdateargs")), c.file);

        Configuration configuration;
        ASSERT_TRUE(configuration.parseCommandLineOptions(QStringList {QStringLiteral("update")}));
        EXPECT_TRUE(configuration.initialised);
        EXPECT_EQ(configuration.clientUpdate, 1);
        EXPECT_EQ(configuration.clientType, c.args[1]);
        EXPECT_EQ(configuration.versionNr, c.args[2].toInt());
        EXPECT_EQ(configuration.versionString, c.versionString);
    }
}

TEST_F(ProcessToolsTest, EmptyArgumentListGivesAnEmptyFile)
{
    ASSERT_TRUE(UpdaterTestEnv::writeFile(ProcessTools::argsFilePath(), "stale\ncontent\n"));
    EXPECT_TRUE(ProcessTools::writeArgsFile(QStringList()));
    EXPECT_TRUE(QFileInfo::exists(ProcessTools::argsFilePath()));
    EXPECT_EQ(contentOf(ProcessTools::argsFilePath()), QByteArray());
}

// A disk that fills up mid-write must not leave a cut-off list or script for the next updater.
TEST_F(ProcessToolsTest, FailedWriteLeavesNoArgumentsFileAndNoScript)
{
    const QString bundle = env.path(QStringLiteral("session/SharedSupport/update.app"));
    makeProgram(bundle + QStringLiteral("/Contents/MacOS/update"), env.path("unused"), QString());
    PrivateTmpfs full(env.path(QStringLiteral("full tmp")), "64k");
    if (!full.mounted())
        GTEST_SKIP() << "needs a private tmpfs (root on Linux)";
    ASSERT_TRUE(full.fillUp());
    env.setEnv("TMPDIR", full.folder());

    EXPECT_FALSE(ProcessTools::writeArgsFile({"--clientupdate", "client_macosx", "812", "#"}));
    EXPECT_FALSE(QFileInfo::exists(ProcessTools::argsFilePath()));
    EXPECT_EQ(writeUpdateStarterScript(bundle, QStringLiteral("update.sh")), QString());
    EXPECT_FALSE(QFileInfo::exists(ProcessTools::starterScriptPath()));
    EXPECT_TRUE(logged(QStringLiteral("Failed to write update arguments \"")
                       + ProcessTools::argsFilePath()
                       + QStringLiteral("\" \"No space left on device\"")));
}

// In a temporary folder that every user may write, someone else can link both names to files of
// ours beforehand. The links are replaced by new files; what they pointed to is left alone.
TEST_F(ProcessToolsTest, PlantedLinksAreReplacedNotWrittenThrough)
{
    const QString bundle = env.path(QStringLiteral("session/SharedSupport/update.app"));
    makeProgram(bundle + QStringLiteral("/Contents/MacOS/update"), env.path("unused"), QString());
    const QString outside = env.path(QStringLiteral("outside/"));
    ASSERT_TRUE(QDir().mkpath(outside));
    const QStringList args = {"--clientupdate", "client_macosx", "812", "#"};
    struct Case
    {
        const char *label;
        QString name;
        QString target;
        bool targetExists;
        std::function<bool()> write;
        QByteArray content;
        QFileDevice::Permissions mode;
    };
    const QFileDevice::Permissions ownerRw = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    const QByteArray script = QFile::encodeName(PlatformLaunch::openBundleCommand(bundle));
    const auto writeArgs = [&] { return ProcessTools::writeArgsFile(args); };
    const auto writeScript
        = [&] { return !writeUpdateStarterScript(bundle, QStringLiteral("update.sh")).isEmpty(); };
    const Case cases[] = {
        {"arguments file to a file", "qvxclientupdateargs", outside + "a", true, writeArgs,
         "--clientupdate\nclient_macosx\n812\n#\n", ownerRw},
        {"arguments file to a missing file", "qvxclientupdateargs", outside + "b", false, writeArgs,
         "--clientupdate\nclient_macosx\n812\n#\n", ownerRw},
        {"arguments file to a device", "qvxclientupdateargs", "/dev/full", true, writeArgs,
         "--clientupdate\nclient_macosx\n812\n#\n", ownerRw},
        {"script to a file", "update.sh", outside + "c", true, writeScript, script,
         ownerRw | QFileDevice::ExeOwner},
        {"script to a missing file", "update.sh", outside + "d", false, writeScript, script,
         ownerRw | QFileDevice::ExeOwner},
    };
    const QByteArray precious = "the user's own bytes\n";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        const QString planted = env.tempDir() + QLatin1Char('/') + c.name;
        QFile::remove(planted);
        const bool isDevice = c.target.startsWith(QLatin1String("/dev/"));
        if (c.targetExists && !isDevice) {
            ASSERT_TRUE(UpdaterTestEnv::writeFile(c.target, precious));
        }
        if (isDevice && !QFileInfo::exists(c.target))
            continue;
        ASSERT_TRUE(QFile::link(c.target, planted));

        EXPECT_TRUE(c.write());

        const QFileInfo written(planted);
        EXPECT_FALSE(written.isSymLink());
        EXPECT_TRUE(written.isFile());
        EXPECT_EQ(contentOf(planted), c.content);
        EXPECT_EQ(QFile::permissions(planted) & 0x7077, c.mode);
        if (isDevice) {
            EXPECT_FALSE(QFileInfo(c.target).isFile());
        } else if (c.targetExists) {
            EXPECT_EQ(contentOf(c.target), precious);
        } else {
            EXPECT_FALSE(QFileInfo::exists(c.target));
        }
    }
}

TEST_F(ProcessToolsTest, MacStarterEscapesBlanksAsBackslashBlank)
{
    EXPECT_EQ(PlatformLaunch::macOpenBundleCommand(
                  QStringLiteral("/var/tmp/quorvelin_temp_0/SharedSupport/update.app")),
              QStringLiteral("open /var/tmp/quorvelin_temp_0/SharedSupport/update.app"));
    EXPECT_EQ(PlatformLaunch::macOpenBundleCommand(
                  QStringLiteral("/Users/a b/t  x/SharedSupport/update.app")),
              QStringLiteral("open /Users/a\\ b/t\\ \\ x/SharedSupport/update.app"));
}

// Whatever the path holds, the shell must see exactly one word equal to it.
TEST_F(ProcessToolsTest, EscapedPathIsOneShellWordWithAnyCharacters)
{
    const QStringList paths = {
        QStringLiteral("/tmp/plain/update.app"),
        QStringLiteral("/tmp/with blank/update.app"),
        QStringLiteral("/tmp/it's \"quoted\"/update.app"),
        QStringLiteral("/tmp/$HOME/${PATH}/update.app"),
        QStringLiteral("/tmp/back\\slash/`echo hi`/$(echo hi)/update.app"),
        QStringLiteral("/tmp/a;b&c|d<e>f(g)/update.app"),
        QStringLiteral("/tmp/*?[a]/~user/#x/update.app"),
        QStringLiteral("~/tab\there/new\nline/update.app"),
        QStringLiteral("/tmp/caf\u00e9 \u03b2/update.app"),
    };
    for (const QString &path : paths) {
        SCOPED_TRACE(path.toStdString());
        QProcess shell;
        shell.start(QStringLiteral("/bin/sh"),
                    {QStringLiteral("-c"),
                     QStringLiteral("set -- ") + PlatformLaunch::shellEscaped(path)
                         + QStringLiteral("; printf '%s|%d' \"$1\" $#")});
        ASSERT_TRUE(shell.waitForFinished(10000));
        EXPECT_EQ(QString::fromUtf8(shell.readAllStandardOutput()), path + QStringLiteral("|1"));
    }
}

TEST_F(ProcessToolsTest, StarterScriptIsOwnerOnlyAndNamesTheBundle)
{
    const QString bundle = env.path(QStringLiteral("session 1/SharedSupport/update.app"));
    makeProgram(bundle + QStringLiteral("/Contents/MacOS/update"), env.path("unused"), QString());
    const QString scriptPath = env.tempDir() + QStringLiteral("/update.sh");
    ASSERT_TRUE(UpdaterTestEnv::writeFile(scriptPath, "something older and longer"));
    ASSERT_TRUE(QFile::setPermissions(scriptPath,
                                      QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                          | QFileDevice::ReadGroup | QFileDevice::WriteGroup
                                          | QFileDevice::ReadOther | QFileDevice::WriteOther));

    const QString written = writeUpdateStarterScript(bundle, QStringLiteral("update.sh"));
    ASSERT_EQ(written, scriptPath);
    EXPECT_EQ(QFile::permissions(written) & 0x7077,
              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    EXPECT_EQ(contentOf(written), QFile::encodeName(PlatformLaunch::openBundleCommand(bundle)));
#ifdef Q_OS_MACOS
    EXPECT_EQ(contentOf(written),
              QFile::encodeName(QStringLiteral("open ") + PlatformLaunch::shellEscaped(bundle)));
#else
    EXPECT_EQ(contentOf(written),
              QFile::encodeName(QStringLiteral("exec ")
                                + PlatformLaunch::shellEscaped(
                                    bundle + QStringLiteral("/Contents/MacOS/update"))));
#endif
}

// No temporary folder at all (Qt then reports an empty path, not the root), or a folder in the
// script's place: nothing is written and nothing starts.
TEST_F(ProcessToolsTest, UnwritableScriptStartsNothing)
{
    const QString session = env.path(QStringLiteral("session"));
    const QString marker = env.path(QStringLiteral("started"));
    makeProgram(session + QStringLiteral("/SharedSupport/update.app/Contents/MacOS/update"), marker,
                QString());
    const QString missingTemp = env.path(QStringLiteral("no such folder"));
    ASSERT_TRUE(QDir().mkpath(env.tempDir() + QStringLiteral("/update.sh")));

    const struct
    {
        QString temp;
        QString logLine; // the hand-over stops at the first file it cannot write
    } cases[] = {
        {missingTemp, QStringLiteral("Failed to write update arguments: no temporary folder")},
        {env.tempDir(),
         QStringLiteral("Failed to write temp update starter for second update step")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.temp.toStdString());
        g_messages.clear();
        env.setEnv("TMPDIR", c.temp);
        EXPECT_EQ(writeUpdateStarterScript(session + QStringLiteral("/SharedSupport/update.app"),
                                           QStringLiteral("update.sh")),
                  QString());
        QString reason;
        EXPECT_FALSE(
            ProcessTools::startClientUpdater(session, {QStringLiteral("--clientupdate")}, &reason));
        EXPECT_TRUE(logged(c.logLine));
        EXPECT_FALSE(reason.isEmpty());
        EXPECT_EQ(ProcessTools::argsFilePath().isEmpty(), c.temp == missingTemp);
        EXPECT_FALSE(QFileInfo::exists(env.tempDir() + QStringLiteral("/qvxclientupdateargs")));
    }
    EXPECT_FALSE(QFileInfo::exists(missingTemp));
    QTest::qWait(300);
    EXPECT_FALSE(QFileInfo::exists(marker));
}

// Another user's file at a hand-over name in a shared sticky temporary folder, or a folder there,
// cannot be removed. The hand-over stops there and says why: a new updater started without its
// arguments ran as step one again and handed over again, without end.
TEST_F(ProcessToolsTest, HandOverFileThatCannotBeWrittenStartsNothingAndSaysWhy)
{
#ifdef Q_OS_MACOS
    const int folderError = EPERM;
#else
    const int folderError = EISDIR;
#endif
    struct Case
    {
        const char *label;
        const char *planted; // the name taken in the temporary folder
        const char *other; // the other hand-over name: nothing may be left there
        bool folder; // a folder there, else a file of root's that an ordinary user runs into
        int error;
    } cases[] = {
        {"folder at the arguments name", "qvxclientupdateargs", "update.sh", true, folderError},
        {"folder at the script name", "update.sh", "qvxclientupdateargs", true, folderError},
        {"another user's file at the arguments name", "qvxclientupdateargs", "update.sh", false,
         EPERM},
        {"another user's file at the script name", "update.sh", "qvxclientupdateargs", false,
         EPERM},
    };
    const QString session = env.path(QStringLiteral("session"));
    const QString program
        = session + QStringLiteral("/SharedSupport/update.app/Contents/MacOS/update");
    const QString marker = env.tempDir() + QStringLiteral("/started");
    makeProgram(program, marker, QString());
    ASSERT_TRUE(QFile::setPermissions(
        program, QFile::permissions(program) | QFileDevice::ExeOther | QFileDevice::ReadOther));
    ASSERT_EQ(::chmod(QFile::encodeName(env.root()).constData(), 0755), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(env.tempDir()).constData(), 01777), 0);
    const QByteArray theirs = "--nouser\n";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        const QString planted = env.tempDir() + QLatin1Char('/') + QLatin1String(c.planted);
        const QString other = env.tempDir() + QLatin1Char('/') + QLatin1String(c.other);
        for (const QString &name : {planted, other}) {
            QDir(name).removeRecursively();
            QFile::remove(name);
        }
        if (!c.folder && ::geteuid() != 0)
            GTEST_SKIP() << "only root can act as two users";
        if (c.folder) {
            ASSERT_TRUE(QDir().mkpath(planted));
        } else {
            ASSERT_TRUE(UpdaterTestEnv::writeFile(planted, theirs));
        }
        g_messages.clear();
        bool started = true;
        QString reason;
        {
            std::unique_ptr<AsOrdinaryUser> user;
            if (!c.folder) {
                user = std::make_unique<AsOrdinaryUser>();
                if (!user->active())
                    GTEST_SKIP() << "cannot act as an ordinary user here";
            }
            started = ProcessTools::startClientUpdater(
                session, {"--clientupdate", "client_macosx", "812", "#"}, &reason);
        }
        EXPECT_FALSE(started);
        EXPECT_EQ(reason.toStdString(),
                  QStringLiteral("failed to write '%1' (%2)")
                      .arg(planted, QString::fromLocal8Bit(std::strerror(c.error)))
                      .toStdString());
        EXPECT_EQ(QFileInfo(planted).isDir(), c.folder);
        if (!c.folder) {
            EXPECT_EQ(contentOf(planted), theirs);
        }
        EXPECT_FALSE(QFileInfo::exists(other));
        for (const QString &line : qAsConst(g_messages))
            EXPECT_FALSE(line.startsWith(QLatin1String("starting"))) << line.toStdString();
    }
    QTest::qWait(300);
    EXPECT_FALSE(QFileInfo::exists(marker));
}

// Info.plist names its program in the first top-level dictionary only, and only in a
// document that is well-formed to its end.
TEST_F(ProcessToolsTest, InfoPlistNamesTheProgramOfItsTopLevelDictionaryOnly)
{
    const QString head = QStringLiteral(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD "
        "PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist "
        "version=\"1.0\">");
    const QString named = QStringLiteral("<key>CFBundleExecutable</key><string>%1</string>");
    struct Case
    {
        const char *label;
        QString body; // after the head
        QString expected;
    };
    const Case cases[] = {
        {"well-formed",
         "<dict><key>CFBundleName</key><string>Client</string><!-- main -->"
             + named.arg("qvxclient_mac") + "<key>LSMinimumSystemVersion</key><string>10.13"
             + "</string></dict></plist>\n",
         "qvxclient_mac"},
        {"after a nested dictionary and array",
         "<dict><key>Helpers</key><array><dict>" + named.arg("qvx-helper")
             + "</dict></array><key>Other</key><dict>" + named.arg("qvx-helper") + "</dict>"
             + named.arg("qvxclient_mac") + "</dict></plist>",
         "qvxclient_mac"},
        {"only in a nested dictionary",
         "<dict><key>Other</key><dict>" + named.arg("qvx-helper") + "</dict></dict></plist>",
         QString()},
        {"only deeper down",
         "<dict><key>Helpers</key><array><dict>" + named.arg("qvx-helper")
             + "</dict></array></dict></plist>",
         QString()},
        {"in a top-level array", "<array>" + named.arg("qvx-helper") + "</array></plist>",
         QString()},
        {"only in a second top-level dictionary",
         "<dict><key>CFBundleName</key><string>Client</string></dict><dict>"
             + named.arg("qvx-helper") + "</dict></plist>",
         QString()},
        {"in both top-level dictionaries",
         "<dict>" + named.arg("qvxclient_mac") + "</dict><dict>" + named.arg("qvx-helper")
             + "</dict></plist>",
         "qvxclient_mac"},
        {"value that is no string",
         "<dict><key>CFBundleExecutable</key><array><string>qvx-helper</string></array>"
             + named.arg("qvxclient_mac") + "</dict></plist>",
         QString()},
        {"unclosed tail", "<dict>" + named.arg("qvxclient_mac") + "</dict>", QString()},
        {"mismatched tail", "<dict>" + named.arg("qvxclient_mac") + "<key>x</dict></plist>",
         QString()},
        {"junk after the end", "<dict>" + named.arg("qvxclient_mac") + "</dict></plist><plist/>",
         QString()},
        {"element inside the key",
         "<dict><key>CFBundle<b/>Executable</key><string>qvx-helper</string></dict></plist>",
         QString()},
    };
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        const QString plist = env.path(QStringLiteral("plist%1/Info.plist").arg(n++));
        ASSERT_TRUE(BundleFixture::writeFile(plist, (head + c.body).toUtf8()));
        EXPECT_EQ(PlatformLaunch::plistBundleExecutable(plist), c.expected);
    }
}

#ifndef Q_OS_MACOS
// Where there is no "open", a bundle stands for the program that its Info.plist names, else
// the one named as the bundle; a helper beside it is never started in its place.
TEST_F(ProcessToolsTest, BundleExecutableIsTheOneInfoPlistNamesElseTheBundleName)
{
    const QString plistNamed = QStringLiteral("qvxclient_mac");
    const QString bundleNamed = QStringLiteral("Client");
    const QString helper = QStringLiteral("qvx-helper");
    const QString noPlist = QStringLiteral("<none>");
    struct Case
    {
        const char *label;
        QString plist; // the Info.plist's text, noPlist for none
        QStringList programs; // executables in Contents/MacOS
        QString expected; // empty: nothing to start
    };
    const auto plistNaming = [](const QString &name) {
        return QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist "
                              "version=\"1.0\"><dict><key>CFBundleExecutable</key><string>%1"
                              "</string></dict></plist>")
            .arg(name);
    };
    const Case cases[] = {
        {"plist names one of several",
         plistNaming(plistNamed),
         {helper, plistNamed, bundleNamed},
         plistNamed},
        {"no plist: the bundle's name", noPlist, {helper, plistNamed, bundleNamed}, bundleNamed},
        {"no plist, no bundle-named program", noPlist, {helper, plistNamed}, QString()},
        {"named program missing: the bundle's name",
         plistNaming(QStringLiteral("gone")),
         {helper, bundleNamed},
         bundleNamed},
        {"named program missing and no bundle-named one",
         plistNaming(QStringLiteral("gone")),
         {helper, plistNamed},
         QString()},
        {"name leading out of the bundle",
         plistNaming(QStringLiteral("../MacOS/qvx-helper")),
         {helper},
         QString()},
        {"absolute name", plistNaming(QStringLiteral("/bin/sh")), {helper}, QString()},
        {"key of a nested dictionary",
         QStringLiteral("<plist><dict><key>Other</key><dict><key>CFBundleExecutable</key>"
                        "<string>qvx-helper</string></dict></dict></plist>"),
         {helper, bundleNamed},
         bundleNamed},
        {"not a property list",
         QStringLiteral("CFBundleExecutable = qvx-helper"),
         {helper, bundleNamed},
         bundleNamed},
        {"binary property list", QStringLiteral("bplist00\x01qvx-helper"), {helper}, QString()},
    };
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        const QString bundle = env.path(QStringLiteral("b%1/Client.app").arg(n++));
        const QString macos = bundle + QStringLiteral("/Contents/MacOS/");
        ASSERT_TRUE(QDir().mkpath(macos));
        for (const QString &program : c.programs)
            makeProgram(macos + program, env.path(QStringLiteral("marker")), QString());
        if (c.plist != noPlist) {
            ASSERT_TRUE(BundleFixture::writeFile(bundle + QStringLiteral("/Contents/Info.plist"),
                                                 c.plist.toUtf8()));
        }
        const QString expected = c.expected.isEmpty() ? QString() : macos + c.expected;
        EXPECT_EQ(PlatformLaunch::bundleExecutable(bundle + QLatin1Char('/')), expected);
        EXPECT_EQ(PlatformLaunch::directOpenBundleCommand(bundle).isEmpty(), expected.isEmpty());
    }
}

// A named program that is a folder, or not executable, is not there.
TEST_F(ProcessToolsTest, BundleExecutableMustBeAnExecutableFile)
{
    const QString bundle = env.path(QStringLiteral("Client.app"));
    ASSERT_TRUE(BundleFixture::writeInfoPlist(bundle, QStringLiteral("qvxclient_mac")));
    ASSERT_TRUE(QDir().mkpath(bundle + QStringLiteral("/Contents/MacOS/qvxclient_mac")));
    EXPECT_EQ(PlatformLaunch::bundleExecutable(bundle), QString());
    ASSERT_TRUE(QDir(bundle + QStringLiteral("/Contents/MacOS")).rmdir("qvxclient_mac"));
    ASSERT_TRUE(BundleFixture::writeFile(bundle + QStringLiteral("/Contents/MacOS/qvxclient_mac"),
                                         "#!/bin/sh\n"));
    EXPECT_EQ(PlatformLaunch::bundleExecutable(bundle), QString());
    EXPECT_EQ(PlatformLaunch::bundleExecutable(env.path(QStringLiteral("none.app"))), QString());
    EXPECT_EQ(
        writeUpdateStarterScript(env.path(QStringLiteral("none.app")), QStringLiteral("update.sh")),
        QString());
}

TEST_F(ProcessToolsTest, NewUpdaterStartsWithoutArgumentsAndFindsThemInTheFile)
{
    const QString session = env.path(QStringLiteral("quorvelin temp $1"));
    const QString marker = env.path(QStringLiteral("updater started"));
    makeProgram(session + QStringLiteral("/SharedSupport/update.app/Contents/MacOS/update"), marker,
                QStringLiteral("cat \"$TMPDIR/qvxclientupdateargs\" >> '%1'").arg(marker));
    const QStringList args = {"--clientupdate", "client_macosx", "812", "#"};

    EXPECT_TRUE(ProcessTools::startClientUpdater(session, args));

    ASSERT_TRUE(waitForFile(marker, "done\n"));
    EXPECT_EQ(contentOf(marker), QByteArray("0\n--clientupdate\nclient_macosx\n812\n#\ndone\n"));
    EXPECT_TRUE(
        logged(QStringLiteral("starting \"") + env.tempDir() + QStringLiteral("/update.sh\"")));
    // Step two removes the script by this path.
    EXPECT_EQ(ProcessTools::starterScriptPath(), env.tempDir() + QStringLiteral("/update.sh"));
}

TEST_F(ProcessToolsTest, ClientStartsDetachedFromTheBundleBesideTheUpdatedOne)
{
    const QString marker = env.path(QStringLiteral("client started"));
    const QString helperMarker = env.path(QStringLiteral("helper started"));
    // The helper sorts first; only the program that Info.plist names is the client.
    makeProgram(env.bundle() + QStringLiteral("/Contents/MacOS/qvx-helper"), helperMarker,
                QString());
    makeProgram(env.bundle() + QStringLiteral("/Contents/MacOS/qvxclient_mac"), marker, QString());
    ASSERT_TRUE(BundleFixture::writeInfoPlist(env.bundle(), QStringLiteral("qvxclient_mac")));

    EXPECT_TRUE(ProcessTools::startQvxClient(env.bundle() + QStringLiteral("/Contents/")));

    ASSERT_TRUE(waitForFile(marker, "done\n"));
    EXPECT_EQ(contentOf(marker), QByteArray("0\ndone\n"));
    QTest::qWait(200);
    EXPECT_FALSE(QFileInfo::exists(helperMarker));
}

TEST_F(ProcessToolsTest, MissingClientStartsNothing)
{
    const QString helperMarker = env.path(QStringLiteral("helper started"));
    makeProgram(env.bundle() + QStringLiteral("/Contents/MacOS/qvx-helper"), helperMarker,
                QString());
    for (const bool withPlist : {false, true}) {
        SCOPED_TRACE(withPlist ? "named program missing" : "no Info.plist");
        if (withPlist) {
            ASSERT_TRUE(
                BundleFixture::writeInfoPlist(env.bundle(), QStringLiteral("qvxclient_mac")));
        }
        g_messages.clear();
        EXPECT_FALSE(ProcessTools::startQvxClient(env.bundle() + QStringLiteral("/Contents/")));
        EXPECT_FALSE(logged(QStringLiteral("starting")));
    }
    EXPECT_FALSE(ProcessTools::startQvxClient(env.path(QStringLiteral("nothing/Contents/"))));
    QTest::qWait(200);
    EXPECT_FALSE(QFileInfo::exists(helperMarker));
}

// The step-one hand-over picks the staged updater's program the same way.
TEST_F(ProcessToolsTest, NewUpdaterIsTheProgramItsInfoPlistNames)
{
    const QString session = env.path(QStringLiteral("session"));
    const QString bundle = ProcessTools::clientUpdaterBundle(session);
    const QString marker = env.path(QStringLiteral("updater started"));
    const QString helperMarker = env.path(QStringLiteral("helper started"));
    makeProgram(bundle + QStringLiteral("/Contents/MacOS/a-helper"), helperMarker, QString());
    makeProgram(bundle + QStringLiteral("/Contents/MacOS/updater"), marker, QString());
    ASSERT_TRUE(BundleFixture::writeInfoPlist(bundle, QStringLiteral("updater")));

    EXPECT_TRUE(ProcessTools::startClientUpdater(session, {QStringLiteral("--clientupdate")}));

    ASSERT_TRUE(waitForFile(marker, "done\n"));
    QTest::qWait(200);
    EXPECT_FALSE(QFileInfo::exists(helperMarker));

    ASSERT_TRUE(QFile::remove(bundle + QStringLiteral("/Contents/MacOS/updater")));
    EXPECT_FALSE(ProcessTools::startClientUpdater(session, {QStringLiteral("--clientupdate")}));
}
#endif

} // namespace
