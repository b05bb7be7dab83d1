#include "configuration.h"
#include "cryptwrapper.h"
#include "faketasks.h"
#include "maintaskspecification.h"
#include "signing_test_support.h"
#include "test_maintask_fixture.h"
#include "test_maintask_support.h"
#include "testhttpserver.h"
#include "updateinidata.h"
#include "updatertestenv.h"

#include <QNetworkAccessManager>
#include <QSettings>

#include <cctype>
#include <functional>

#include <gtest/gtest.h>

using namespace qvxrun;

namespace {

// Step two: a client with one file of each kind of change.
class ClientUpdateTest : public MainTaskRunTest
{
public:
    void SetUp() override
    {
        MainTaskRunTest::SetUp();
        if (!builtInKeyIsDevelopmentKey())
            GTEST_SKIP() << "the build embeds another signing key";
        config.clientUpdate = 1;

        ASSERT_TRUE(put(installed("MacOS/current.txt"), current));
        ASSERT_TRUE(put(installed("Resources/stale.dat"), oldStale));
        ASSERT_TRUE(put(installed("MacOS/qvxclient_mac"), oldClient));
        ASSERT_TRUE(put(installed("Resources/obsolete.dat"), "obsolete"));
        ASSERT_TRUE(put(installed("Resources/oldfolder/a/b.txt"), "obsolete too"));
        before = snapshot(env.bundle());
        writeRecorder("pre.sh");
        writeRecorder("post.sh");

        const QString patchKey = "MacOS/qvxclient_mac_811_patch_";
        const QByteArray patch = makePatch(oldClient, newClient);
        ASSERT_FALSE(patch.isEmpty());
        serve("mac/Resources/stale.dat", newStale);
        serve("mac/Resources/added/new.dat._lzma2_", packedAdded);
        serve("mac/" + patchKey, patch);
        serve("common_client/readme.txt", readme);
        serveProductIni("qvx_client_macosx.ini",
                        {
                            {"mac/MacOS/current.txt", field({sha512(current), size(current)})},
                            {"mac/Resources/stale.dat", field({sha512(newStale), size(newStale)})},
                            {"mac/Resources/added/new.dat._lzma2_",
                             field({sha512(packedAdded), size(packedAdded), sha512(added),
                                    size(added), "Resources/added/new.dat"})},
                            {"mac/MacOS/qvxclient_mac._lzma2_",
                             field({sha512(packLzma2(newClient)), "1", sha512(newClient),
                                    size(newClient), "MacOS/qvxclient_mac"})},
                            {"mac/" + patchKey,
                             field({sha512(patch), size(patch), sha512(oldClient), size(oldClient),
                                    "MacOS/qvxclient_mac"})},
                            {"common_client/readme.txt", field({sha512(readme), size(readme)})},
                            {"delete/Resources/obsolete.dat", "0"},
                            {"delete/Resources/oldfolder", "2"},
                            {"delete/Resources/never_there", "0"},
                            {"preinstall/pre.sh",
                             QStringList({"mac", "__QVX_DIR__Resources/stale.dat", "required"})},
                            {"postinstall/post.sh",
                             QStringList({"mac", "__QVX_DIR__Resources/stale.dat", "required"})},
                        });
    }

    static QString field(const QStringList &parts) { return parts.join("::"); }
    static QString size(const QByteArray &data) { return QString::number(data.size()); }

    const QByteArray current = lines("current");
    const QByteArray oldStale = lines("stale v1");
    const QByteArray newStale = lines("stale v2");
    const QByteArray added = lines("added");
    const QByteArray packedAdded = packLzma2(added);
    const QByteArray oldClient = lines("client v1");
    const QByteArray newClient = lines("client v1") + lines("client v2", 50);
    const QByteArray readme = "read me\n";
    QMap<QString, QByteArray> before;
};

TEST_F(ClientUpdateTest, InstallsTheNewVersionIntoTheBundle)
{
    ASSERT_EQ(runUpdate(), TaskSpecification::Finished);

    QMap<QString, QByteArray> expected = before;
    expected["Contents/Resources/stale.dat"] = newStale;
    expected["Contents/Resources/added"] = "<dir>";
    expected["Contents/Resources/added/new.dat"] = added;
    expected["Contents/MacOS/qvxclient_mac"] = newClient;
    expected["Contents/SharedSupport/readme.txt"] = readme;
    for (const char *gone :
         {"Contents/Resources/obsolete.dat", "Contents/Resources/oldfolder",
          "Contents/Resources/oldfolder/a", "Contents/Resources/oldfolder/a/b.txt"})
        expected.remove(gone);
    EXPECT_EQ(snapshot(env.bundle()), expected);
    EXPECT_TRUE(QFileInfo(installed("MacOS/qvxclient_mac")).isExecutable());

    // The commands ran before and after the files were replaced.
    EXPECT_EQ(get(session("pre.sh.seen")), oldStale);
    EXPECT_EQ(get(session("post.sh.seen")), newStale);
    // Only what was needed went over the wire: the current file and the whole packed client not.
    EXPECT_EQ(server.requestCount(QString("/images/%1/mac/MacOS/current.txt").arg(version)), 0);
    EXPECT_EQ(
        server.requestCount(QString("/images/%1/mac/MacOS/qvxclient_mac._lzma2_").arg(version)), 0);
    EXPECT_DOUBLE_EQ(progress, 1.0);
    const QStringList messages = log.filtered("main message");
    ASSERT_FALSE(messages.isEmpty());
    EXPECT_EQ(messages.first(), "main message Starting update process for client");
    EXPECT_TRUE(log.filtered("main error").isEmpty())
        << log.filtered("main error").join(" | ").toStdString();
}

TEST_F(ClientUpdateTest, ProgressPassesOneWhileRunningAndEndsAtOne)
{
    ASSERT_EQ(runUpdate(), TaskSpecification::Finished);
    double highest = 0.0;
    const QStringList lines = log.filtered("main progress");
    for (const QString &line : lines)
        highest = qMax(highest, line.section(' ', 2).toDouble());
    EXPECT_GT(highest, 1.0);
    EXPECT_EQ(lines.last(), "main progress 1");
}

// One way for a run to go wrong, and a text the run must have said about it.
struct FailureCase
{
    const char *label;
    std::function<void(ClientUpdateTest &)> spoil;
    const char *message;
    bool preinstallRan;
};

void PrintTo(const FailureCase &c, std::ostream *os)
{
    *os << c.label;
}

class ClientUpdateFailureTest : public ClientUpdateTest,
                                public ::testing::WithParamInterface<FailureCase>
{ };

TEST_P(ClientUpdateFailureTest, LeavesTheBundleAsItWas)
{
    GetParam().spoil(*this);
    ASSERT_EQ(runUpdate(), TaskSpecification::Failed);
    EXPECT_EQ(snapshot(env.bundle()), before);
    EXPECT_TRUE(
        log.filtered("main message").contains(QString("main message ") + GetParam().message))
        << log.filtered("main message").join(" | ").toStdString();
    EXPECT_EQ(QFileInfo::exists(session("pre.sh.seen")), GetParam().preinstallRan);
    EXPECT_FALSE(QFileInfo::exists(session("post.sh.seen")));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ClientUpdateFailureTest,
    ::testing::Values(
        FailureCase {"product ini signed for other content",
                     [](ClientUpdateTest &t) {
                         t.serve("qvx_client_macosx.ini.sig", signWithDevelopmentKey("other"));
                     },
                     "Could not verify the product ini file. Aborting", false},
        FailureCase {"a file the image server does not have",
                     [](ClientUpdateTest &t) {
                         t.server.setReply(
                             QString("/images/%1/mac/Resources/stale.dat").arg(version),
                             TestHttpServer::Reply::withStatus(404));
                     },
                     "Unable to download mac/Resources/stale.dat", false},
        FailureCase {"a required pre-install command that fails",
                     [](ClientUpdateTest &t) {
                         ASSERT_TRUE(put(t.session("pre.sh"), "#!/bin/sh\nexit 1\n"));
                     },
                     "Failed to complete pre.sh, exit code: 1", false},
        // The download is what the ini says, but it does not unpack to the installed hash.
        FailureCase {"a packed file with the wrong content",
                     [](ClientUpdateTest &t) {
                         ClientUpdateTest &f = t;
                         const QByteArray wrong = packLzma2("something else");
                         f.serve("mac/Resources/added/new.dat._lzma2_", wrong);
                         f.serveProductIni(
                             "qvx_client_macosx.ini",
                             {{"mac/Resources/stale.dat",
                               ClientUpdateTest::field(
                                   {sha512(f.newStale), ClientUpdateTest::size(f.newStale)})},
                              {"mac/Resources/added/new.dat._lzma2_",
                               ClientUpdateTest::field(
                                   {sha512(wrong), ClientUpdateTest::size(wrong), sha512(f.added),
                                    ClientUpdateTest::size(f.added), "Resources/added/new.dat"})},
                              {"delete/Resources/obsolete.dat", "0"},
                              {"preinstall/pre.sh",
                               QStringList({"mac", "__QVX_DIR__Resources/stale.dat"})},
                              {"postinstall/post.sh",
                               QStringList({"mac", "__QVX_DIR__Resources/stale.dat"})}});
                     },
                     "rolling back file updates", true}),
    [](const ::testing::TestParamInfo<FailureCase> &info) {
        std::string name = info.param.label;
        for (char &c : name)
            c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    });

TEST_F(ClientUpdateTest, AFailedRunIsContinuedInTheSameDownloadFolder)
{
    const QString stale = QString("/images/%1/mac/Resources/stale.dat").arg(version);
    server.setReply(stale, TestHttpServer::Reply::withStatus(404));
    ASSERT_EQ(runUpdate(), TaskSpecification::Failed);
    ASSERT_EQ(snapshot(env.bundle()), before);

    serve("mac/Resources/stale.dat", newStale);
    const int iniRequests
        = server.requestCount(QString("/images/%1/qvx_client_macosx.ini._lzma2_").arg(version));
    const int readmeRequests
        = server.requestCount(QString("/images/%1/common_client/readme.txt").arg(version));
    ASSERT_EQ(runUpdate(), TaskSpecification::Finished);
    EXPECT_EQ(get(installed("Resources/stale.dat")), newStale);
    EXPECT_EQ(get(installed("SharedSupport/readme.txt")), readme);
    // What the first run fetched is used again, after the same checks.
    EXPECT_EQ(server.requestCount(QString("/images/%1/qvx_client_macosx.ini._lzma2_").arg(version)),
              iniRequests);
    if (readmeRequests == 1) {
        EXPECT_EQ(server.requestCount(QString("/images/%1/common_client/readme.txt").arg(version)),
                  1);
    }
}

TEST_F(ClientUpdateTest, NothingToDoStillRunsEveryStep)
{
    serveProductIni("qvx_client_macosx.ini",
                    {{"mac/MacOS/current.txt", field({sha512(current), size(current)})}});
    ASSERT_EQ(runUpdate(), TaskSpecification::Finished);
    EXPECT_EQ(snapshot(env.bundle()), before);
    EXPECT_DOUBLE_EQ(progress, 1.0);
    const QStringList messages = log.filtered("main message");
    EXPECT_TRUE(messages.contains("main message Starting file updates"))
        << messages.join(" | ").toStdString();
    EXPECT_FALSE(messages.contains("main message Starting install condition"));
}

TEST_F(ClientUpdateTest, ACancelDuringTheDownloadsAbortsWithoutChanges)
{
    TestHttpServer::Reply stall = TestHttpServer::Reply::ok(newStale);
    stall.behaviour = TestHttpServer::StallAfter;
    stall.cutAfter = 100;
    server.setReply(QString("/images/%1/mac/Resources/stale.dat").arg(version), stall);
    // One transfer at a time: with two, the sibling of the cancelled one fails on its abort and
    // the run ends failed instead.
    config.streams = 1;

    MainTaskSpecification task(&manager, &config, nullptr, 1.0);
    log.watch(&task, QStringLiteral("main"));
    QObject::connect(&server, &TestHttpServer::requestReceived, &task, [&](const QString &path) {
        if (path.endsWith("stale.dat"))
            QMetaObject::invokeMethod(
                &task, [&] { task.cancel(); }, Qt::QueuedConnection);
    });
    task.execute();
    ASSERT_TRUE(waitUntil([&] { return taskEnded(task); }, 60000));
    EXPECT_EQ(task.state, TaskSpecification::Aborted) << log.lines.join("\n").toStdString();
    EXPECT_EQ(snapshot(env.bundle()), before);
    EXPECT_FALSE(QFileInfo::exists(session("pre.sh.seen")));
}

// Step one: the new updater is put together in the download folder.
TEST_F(MainTaskRunTest, StepOneStagesTheUpdaterAndLeavesTheClientAlone)
{
    if (!builtInKeyIsDevelopmentKey())
        GTEST_SKIP() << "the build embeds another signing key";
    config.clientUpdate = 0;
    const QString exe = "SharedSupport/update.app/Contents/MacOS/update";
    const QString resource = "SharedSupport/update.app/Contents/Resources/current.txt";
    const QString library = "Frameworks/libqvx.1.dylib";
    const QByteArray oldExe = lines("updater v1");
    const QByteArray newExe = lines("updater v2");
    const QByteArray lib = lines("library");
    const QByteArray current = lines("current");
    ASSERT_TRUE(put(installed(exe), oldExe));
    ASSERT_TRUE(put(installed(resource), current));
    ASSERT_TRUE(put(installed("Resources/obsolete.dat"), "obsolete"));
    const QString strings = "SharedSupport/update.app/Contents/Resources/strings.txt";
    const QByteArray oldStrings = lines("strings v1");
    const QByteArray newStrings = lines("strings v1") + lines("strings v2", 30);
    ASSERT_TRUE(put(installed(strings), oldStrings));
    const QMap<QString, QByteArray> before = snapshot(env.bundle(), WithModes);
    const QByteArray patch = makePatch(oldStrings, newStrings);
    ASSERT_FALSE(patch.isEmpty());
    serve("update/" + strings + "_1_patch_", patch);

    const QByteArray packedExe = packLzma2(newExe);
    const QByteArray packedLib = packLzma2(lib);
    serve("update/" + exe + "._lzma2_", packedExe);
    serve("update/" + library + "._lzma2_", packedLib);
    auto line = [](const QByteArray &packed, const QByteArray &plain, const QString &name) {
        return QStringList({sha512(packed), QString::number(packed.size()), sha512(plain),
                            QString::number(plain.size()), name})
            .join("::");
    };
    serveProductIni(
        "update_macosx.ini",
        {
            {"update/" + exe + "._lzma2_", line(packedExe, newExe, exe)},
            {"update/" + library + "._lzma2_", line(packedLib, lib, library)},
            {"update/" + resource, sha512(current) + "::" + QString::number(100)},
            {"update/" + strings + "._lzma2_", line(packLzma2(newStrings), newStrings, strings)},
            {"update/" + strings + "_1_patch_", line(patch, oldStrings, strings)},
            {"delete/Resources/obsolete.dat", "0"},
        });

    ASSERT_EQ(runUpdate(), TaskSpecification::Finished);
    EXPECT_EQ(snapshot(env.bundle(), WithModes), before);
    EXPECT_EQ(get(session(exe)), newExe);
    EXPECT_EQ(QFileInfo(session(exe)).permissions(), QFileDevice::Permissions(0x7755));
    EXPECT_EQ(get(session(resource)), current);
    EXPECT_EQ(get(session(strings)), newStrings);
    EXPECT_EQ(
        server.requestCount(QString("/images/%1/update/%2._lzma2_").arg(version).arg(strings)), 0);
    EXPECT_FALSE(QFileInfo::exists(session(exe + "._lzma2_")));
    EXPECT_TRUE(QFileInfo::exists(session(library + "._lzma2_")));
    // The staged bundle reaches the download folder's frameworks through its link.
    EXPECT_EQ(get(session("SharedSupport/update.app/Contents/Frameworks/libqvx.1.dylib")), lib);
    QSettings record(session("SharedSupport/update.ini"), QSettings::IniFormat);
    EXPECT_EQ(record.value("current/type").toString(), "client_macosx");
    EXPECT_EQ(get(session("SharedSupport/translations/update_de.qm")), "de");
    EXPECT_DOUBLE_EQ(progress, 1.0);
    const QStringList messages = log.filtered("main message");
    ASSERT_FALSE(messages.isEmpty());
    EXPECT_EQ(messages.first(), "main message Starting update process for updater");
}

QStringList steps(const MainTaskSpecification &task)
{
    QStringList names;
    for (const TaskSpecification *step : task.allTasks)
        names.append(QString("%1 %2").arg(step->metaObject()->className()).arg(step->weight));
    return names;
}

TEST_F(MainTaskRunTest, AResetRunEmptiesTheListsAndBuildsTheStepsAnew)
{
    config.clientUpdate = 1;
    MainTaskSpecification task(&manager, &config, nullptr, 1.0);
    task.lists.m_deleteList.append(DeleteEntry("x", false));
    task.lists.m_downloadList.append(DownloadEntry("mac", "x", "h", 1));
    // No product ini on the server: the first step fails and nothing else starts.
    task.execute();
    ASSERT_TRUE(waitUntil([&] { return taskEnded(task); }, 60000));
    EXPECT_EQ(task.state, TaskSpecification::Failed);
    EXPECT_EQ(
        steps(task),
        QStringList(
            {"IniDownloadTaskSpecification 0.1", "MakeDownloadReplaceListTaskSpecification 0.05",
             "DownloadFileListTaskSpecification 0.4", "PrePostInstallListTaskSpecification 0.1",
             "FileReplaceListTaskSpecification 0.4", "FileDeleteListTaskSpecification 0.05",
             "PrePostInstallListTaskSpecification 0.1"}));
    // Only the first step ran.
    EXPECT_EQ(task.allTasks.at(1)->state, TaskSpecification::Idle);
    task.reset();
    EXPECT_EQ(task.state, TaskSpecification::Idle);
    EXPECT_TRUE(task.allTasks.isEmpty());
    EXPECT_TRUE(task.lists.m_deleteList.isEmpty());
    EXPECT_TRUE(task.lists.m_downloadList.isEmpty());
    EXPECT_DOUBLE_EQ(task.progress, 0.0);
    config.clientUpdate = 0;
    task.execute();
    EXPECT_EQ(
        steps(task),
        QStringList(
            {"IniDownloadTaskSpecification 0.1", "MakeDownloadReplaceListTaskSpecification 0.05",
             "DownloadFileListTaskSpecification 0.4", "PrePostInstallListTaskSpecification 0.1",
             "UpdateSelfUnzipTaskSpecification 0.4", "PrePostInstallListTaskSpecification 0.1"}));
    ASSERT_TRUE(waitUntil([&] { return taskEnded(task); }, 60000));
}

} // namespace
