#include "configuration.h"
#include "fileops_test_support.h"
#include "modalboxcloser.h"
#include "testhttpserver.h"
#include "updatechecker.h"
#include "updatertestenv.h"
#include "updateserverclient.h"
#include "versionreplytestdata.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

template<typename Pred> bool waitFor(Pred pred, int timeoutMs = 5000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!pred() && !deadline.hasExpired())
        QTest::qWait(10);
    return pred();
}

const QString kQueryPath = QStringLiteral("/qvx-client-2");

// A fake bundle, redirected folders and a version server that answers for all three channels.
class ConfigurationTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        registerUpdateVersionsMetaType();
        ASSERT_TRUE(server.isListening());
        m_savedUrl = g_updateServerUrl;
        g_updateServerUrl = server.url(kQueryPath).toString().toStdString();
        server.setReply(kQueryPath,
                        TestHttpServer::Reply::ok(versionReply({{"stable", 700, "7.0.0"},
                                                                {"beta", 701, "7.0.1 beta"},
                                                                {"alpha", 702, "7.0.2 alpha"}})));
    }

    void TearDown() override
    {
        g_updateServerUrl = m_savedUrl;
        UpdateChecker::setTimeLimit(60000);
    }

    QString configIni() const { return env().configDir() + QStringLiteral("/update.ini"); }
    QString installIni() const { return env().sharedSupport() + QStringLiteral("/update.ini"); }

    int queries() const { return server.requestCount(kQueryPath); }

    UpdaterTestEnv &env() const { return *m_env; }
    // A new tree for each table row, so no settings file is ever rewritten in place.
    void freshEnv()
    {
        m_env.reset();
        m_env = std::make_unique<UpdaterTestEnv>();
    }
    std::unique_ptr<UpdaterTestEnv> m_env = std::make_unique<UpdaterTestEnv>();
    TestHttpServer server;

private:
    std::string m_savedUrl;
};

QStringList argsOf(std::initializer_list<const char *> args)
{
    QStringList list;
    for (const char *arg : args)
        list << QString::fromUtf8(arg);
    return list;
}

// Runs read on a thread of its own, with a FIFO at fifo. A read still blocked after some seconds
// is released by opening the FIFO's write end, and counts as hung: false.
bool returnsDespiteFifo(const QString &fifo, const std::function<void()> &read)
{
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    std::thread reader([&] {
        read();
        done.set_value();
    });
    const bool returned = finished.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    while (finished.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
        const int fd = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0)
            ::close(fd);
    }
    reader.join();
    return returned;
}

} // namespace

TEST_F(ConfigurationTest, CommandLineForms)
{
    struct Case
    {
        const char *label;
        QStringList args;
        bool parsed;
        bool query; // the version server is asked
        int clientUpdate;
        const char *clientType;
        int versionNr; // after the query, if any
        const char *versionString;
        const char *fatal; // empty: none
    } cases[] = {
        {"no arguments", argsOf({"prog"}), true, true, 0, "update_macosx", 700, "7.0.0", ""},
        {"step two from step one", argsOf({"prog", "--clientupdate", "client_macosx", "812", "#"}),
         true, false, 1, "client_macosx", 812, "", ""},
        {"nouser alone", argsOf({"prog", "--nouser"}), true, true, 0, "update_macosx", 700, "7.0.0",
         ""},
        {"clientupdate with a type only", argsOf({"prog", "--clientupdate", "other"}), true, true,
         1, "client_macosx", 700, "7.0.0", ""},
        {"form A version 0 queries", argsOf({"prog", "--nouser", "update_macosx", "0"}), true, true,
         0, "update_macosx", 700, "7.0.0", ""},
        {"form B version 0 stays 0", argsOf({"prog", "sometype", "0"}), true, false, 0, "sometype",
         0, "", ""},
        {"form B takes option-like entries", argsOf({"prog", "--foo", "12"}), true, false, 0,
         "--foo", 12, "", ""},
        {"form A with version string", argsOf({"prog", "--nouser", "client_x", "812", "3.5 beta"}),
         true, false, 0, "client_x", 812, "3.5 beta", ""},
        {"form A without version string", argsOf({"prog", "--clientupdate", "client_macosx", "9"}),
         true, false, 1, "client_macosx", 9, "", ""},
        {"form A bad version", argsOf({"prog", "--nouser", "t", "abc"}), false, false, 0, "t", 0,
         "", "Invalid version nr (abc)"},
        {"form B bad version", argsOf({"prog", "--foo", "--bar"}), false, false, 0, "--foo", 0, "",
         "Invalid version nr (--bar)"},
        {"three entries are form C", argsOf({"prog", "a", "b", "c"}), true, true, 0,
         "update_macosx", 700, "7.0.0", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        const int queriesBefore = queries();
        Configuration config;
        QSignalSpy ready(&config, &Configuration::ready);
        QSignalSpy fatal(&config, &Configuration::fatalError);
        EXPECT_EQ(config.parseCommandLineOptions(c.args), c.parsed);
        EXPECT_EQ(config.clientUpdate, c.clientUpdate);
        EXPECT_EQ(config.clientType, QString::fromUtf8(c.clientType));
        if (*c.fatal) {
            ASSERT_EQ(fatal.count(), 1);
            EXPECT_EQ(fatal.at(0).at(0).toString(), QString::fromUtf8(c.fatal));
            EXPECT_FALSE(config.initialised);
            continue;
        }
        EXPECT_EQ(fatal.count(), 0);
        if (c.query) {
            EXPECT_FALSE(config.initialised);
            EXPECT_EQ(config.versionNr, 0);
            ASSERT_TRUE(ready.wait(10000));
            EXPECT_EQ(queries(), queriesBefore + 1);
        } else {
            EXPECT_EQ(ready.count(), 0);
        }
        EXPECT_TRUE(config.initialised);
        EXPECT_EQ(config.versionNr, c.versionNr);
        EXPECT_EQ(config.versionString, QString::fromUtf8(c.versionString));
        EXPECT_EQ(config.channel, 0);
    }
    // Cases without a query never reach the server, even later.
    QTest::qWait(50);
    EXPECT_EQ(queries(), 5);
}

TEST_F(ConfigurationTest, ArgumentsFileIsReadWhenCommandLineIsEmpty)
{
    const QString argsFile = env().tempDir() + QStringLiteral("/qvxclientupdateargs");
    const QStringList stepTwo = argsOf({"", "--clientupdate", "client_macosx", "812", "#"});
    struct Case
    {
        const char *label;
        QByteArray content;
        QStringList expected;
    } cases[] = {
        {"plain", "--clientupdate\nclient_macosx\n812\n#", stepTwo},
        {"trailing newline", "--clientupdate\nclient_macosx\n812\n#\n", stepTwo},
        {"blank lines", "\n\n--clientupdate\n\nclient_macosx\n812\n\n\n#\n\n", stepTwo},
        {"windows line ends", "--clientupdate\r\nclient_macosx\r\n812\r\n#\r\n", stepTwo},
        {"NUL ends the content", QByteArray("--clientupdate\nclient_macosx\n812\n#\n\0junk\n9", 40),
         stepTwo},
        {"utf-8", "--nouser\nclient_x\n5\nVersion \xc3\xbc\n",
         QStringList {QString(), "--nouser", "client_x", "5",
                      QString::fromUtf8("Version \xc3\xbc")}},
        {"empty file", "", QStringList {QString()}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_TRUE(UpdaterTestEnv::writeFile(argsFile, c.content));
        Configuration config;
        EXPECT_EQ(config.readArgsFile(), c.expected);
    }

    ASSERT_TRUE(QFile::remove(argsFile));
    Configuration missing;
    EXPECT_TRUE(missing.readArgsFile().isEmpty());

    // The file stands in for a command line that has only the program path.
    ASSERT_TRUE(UpdaterTestEnv::writeFile(argsFile, "--clientupdate\nclient_macosx\n812\n3.5\n"));
    Configuration config;
    ASSERT_TRUE(config.parseCommandLineOptions(argsOf({"prog"})));
    EXPECT_TRUE(config.initialised);
    EXPECT_EQ(config.clientUpdate, 1);
    EXPECT_EQ(config.clientType, QStringLiteral("client_macosx"));
    EXPECT_EQ(config.versionNr, 812);
    EXPECT_EQ(config.versionString, QStringLiteral("3.5"));
    EXPECT_TRUE(QFileInfo::exists(argsFile));
    // A real argument wins over the file.
    Configuration withArgs;
    ASSERT_TRUE(withArgs.parseCommandLineOptions(argsOf({"prog", "t", "44"})));
    EXPECT_EQ(withArgs.versionNr, 44);
    EXPECT_EQ(withArgs.clientUpdate, 0);
}

// Any local user may plant a FIFO at the arguments file's name in a shared temporary folder; an
// update.ini may be one too. Opening any of them must not wait for a writer, and none is read.
TEST_F(ConfigurationTest, FifoInPlaceOfAFileReadAtStartIsAbsent)
{
    enum Place { ConfigIni, InstallIni, ArgsFile };
    struct Case
    {
        const char *label;
        Place fifo;
        QByteArray installIni; // empty: no file (unless the FIFO is there)
        std::function<int(Configuration &)> read;
        int expected;
    } cases[] = {
        {"per-user update.ini: the shared-support one is read instead", ConfigIni,
         "[Channel]\nbeta=true\n",
         [](Configuration &c) {
             c.getUpdateChannel();
             return c.channel;
         },
         1},
        {"shared-support update.ini, channel", InstallIni, "",
         [](Configuration &c) {
             c.getUpdateChannel();
             return c.channel;
         },
         0},
        {"shared-support update.ini, update group", InstallIni, "",
         [](Configuration &c) {
             c.readUpdateIniSettings();
             return c.proxy.isEmpty() ? c.streams : -1;
         },
         6},
        {"arguments file", ArgsFile, "",
         [](Configuration &c) { return int(c.readArgsFile().size()); }, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        freshEnv();
        if (!c.installIni.isEmpty()) {
            ASSERT_TRUE(UpdaterTestEnv::writeFile(installIni(), c.installIni));
        }
        const QString places[]
            = {configIni(), installIni(), env().tempDir() + QStringLiteral("/qvxclientupdateargs")};
        const QString fifo = places[c.fifo];
        ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        LogCapture log;
        int observed = -2;
        EXPECT_TRUE(returnsDespiteFifo(fifo, [&] {
            Configuration config;
            observed = c.read(config);
        })) << "blocked on the FIFO";
        EXPECT_EQ(observed, c.expected);
        EXPECT_TRUE(log.contains(QStringLiteral("it is a FIFO, not a regular file")));
    }
}

// The arguments file decides what step two installs; a file that someone else could have put
// there, or that is not what step one writes, is not taken.
TEST_F(ConfigurationTest, ArgumentsFileIsTakenOnlyAsAPlainSmallFileOfOurOwn)
{
    const QString argsFile = env().tempDir() + QStringLiteral("/qvxclientupdateargs");
    const QString outside = env().path(QStringLiteral("outside"));
    const QByteArray stepTwo = "--clientupdate\nclient_macosx\n812\n#\n";
    const auto padded = [&](int size) { return stepTwo + QByteArray(size - stepTwo.size(), '\n'); };
    const auto plainFile = [&](const QByteArray &content) {
        return [=] { return UpdaterTestEnv::writeFile(argsFile, content); };
    };
    struct Case
    {
        const char *label;
        std::function<bool()> plant;
        const char *why; // empty: taken
        bool asRoot = false; // only root can give a file away
    } cases[] = {
        {"link to a file of ours",
         [&] {
             return UpdaterTestEnv::writeFile(outside, stepTwo) && QFile::link(outside, argsFile);
         },
         "it is a symbolic link"},
        {"owned by another user",
         [&] {
             return UpdaterTestEnv::writeFile(argsFile, stepTwo)
                 && ::chown(QFile::encodeName(argsFile).constData(), 65534, 65534) == 0;
         },
         "it belongs to user 65534", true},
        {"hard link to a file of ours",
         [&] {
             return UpdaterTestEnv::writeFile(outside, stepTwo)
                 && ::link(QFile::encodeName(outside).constData(),
                           QFile::encodeName(argsFile).constData())
                 == 0;
         },
         "it has 2 links"},
        {"one byte over 64 KiB", plainFile(padded(64 * 1024 + 1)), "larger than 65536 bytes"},
        {"64 KiB", plainFile(padded(64 * 1024)), ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        QFile::remove(argsFile);
        QFile::remove(outside);
        if (c.asRoot && geteuid() != 0)
            continue;
        ASSERT_TRUE(c.plant());
        LogCapture log;
        Configuration config;
        const QStringList args = config.readArgsFile();
        if (*c.why) {
            EXPECT_TRUE(args.isEmpty()) << args.join(QLatin1Char(',')).toStdString();
            EXPECT_TRUE(log.contains(QString::fromUtf8(c.why)))
                << log.lines().join('\n').toStdString();
        } else {
            EXPECT_EQ(args, argsOf({"", "--clientupdate", "client_macosx", "812", "#"}));
        }
    }
}

TEST_F(ConfigurationTest, ChannelSettings)
{
    const QString defaultPath = QStringLiteral("/updater-images/client/");
    struct Case
    {
        const char *label;
        QByteArray configIni; // empty: no file
        QByteArray installIni;
        QStringList args;
        int channel;
        int versionNr; // after the query, if any
        const char *imageUrl; // empty: the default URL
    } cases[] = {
        {"no update.ini", "", "", argsOf({"prog"}), 0, 700, ""},
        {"alpha version wins over the command line",
         "[Channel]\nalpha=http://alpha.example/img\nalphaRevno=905\n", "",
         argsOf({"prog", "--nouser", "t", "812"}), 2, 905, "http://alpha.example/img/"},
        {"alpha version wins in form B", "[Channel]\nalpha=http://a.example/x/\nalphaRevno=905\n",
         "", argsOf({"prog", "t", "812"}), 2, 905, "http://a.example/x/"},
        {"alpha without revno takes the command line", "[Channel]\nalpha=http://a.example/x/\n", "",
         argsOf({"prog", "t", "812"}), 2, 812, "http://a.example/x/"},
        {"alpha without revno asks the server", "[Channel]\nalpha=http://a.example/x\n", "",
         argsOf({"prog"}), 2, 702, "http://a.example/x/"},
        {"beta", "[Channel]\nbeta=true\n", "", argsOf({"prog"}), 1, 701, ""},
        {"capital Beta", "[Channel]\nbeta=false\nBeta=true\n", "", argsOf({"prog"}), 1, 701, ""},
        {"install folder ini", "", "[Channel]\nbeta=true\n", argsOf({"prog"}), 1, 701, ""},
        {"per-user ini shadows the install one", "[Channel]\nbeta=false\n",
         "[Channel]\nalpha=http://a.example/\nalphaRevno=3\n", argsOf({"prog"}), 0, 700, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        freshEnv();
        if (!c.configIni.isEmpty()) {
            ASSERT_TRUE(UpdaterTestEnv::writeFile(configIni(), c.configIni));
        }
        if (!c.installIni.isEmpty()) {
            ASSERT_TRUE(UpdaterTestEnv::writeFile(installIni(), c.installIni));
        }
        Configuration::imageServerBaseUrl.clear();
        Configuration config;
        QSignalSpy ready(&config, &Configuration::ready);
        QSignalSpy fatal(&config, &Configuration::fatalError);
        ASSERT_TRUE(config.parseCommandLineOptions(c.args));
        if (!config.initialised) {
            ASSERT_TRUE(ready.wait(10000));
        }
        EXPECT_EQ(fatal.count(), 0);
        EXPECT_TRUE(config.initialised);
        EXPECT_EQ(config.channel, c.channel);
        EXPECT_EQ(config.versionNr, c.versionNr);
        const QString url = Configuration::getImageServerUrl();
        if (*c.imageUrl) {
            EXPECT_EQ(url, QString::fromUtf8(c.imageUrl));
        } else {
            EXPECT_TRUE(url.startsWith(QStringLiteral("http://"))) << url.toStdString();
            EXPECT_TRUE(url.endsWith(defaultPath)) << url.toStdString();
            EXPECT_GT(url.size(), QStringLiteral("http://").size() + defaultPath.size());
        }
    }
}

TEST_F(ConfigurationTest, UpdateGroupComesOnlyFromTheSharedSupportFolder)
{
    struct Case
    {
        const char *label;
        QByteArray installIni; // empty: no file
        const char *proxy;
        int streams;
    } cases[] = {
        {"no file", "", "", 6},
        {"absent keys", "[update]\n", "", 6},
        {"zero", "[update]\nstreams=0\n", "", 6},
        {"negative", "[update]\nstreams=-3\n", "", 6},
        {"one", "[update]\nstreams=1\n", "", 1},
        {"not a number", "[update]\nstreams=many\n", "", 6},
        {"set", "[update]\nproxy=proxy.example:3128\nstreams=3\n", "proxy.example:3128", 3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        freshEnv();
        // The per-user file must not be read for this group.
        ASSERT_TRUE(UpdaterTestEnv::writeFile(configIni(), "[update]\nproxy=wrong:1\nstreams=9\n"));
        if (!c.installIni.isEmpty()) {
            ASSERT_TRUE(UpdaterTestEnv::writeFile(installIni(), c.installIni));
        }
        Configuration config;
        config.readUpdateIniSettings();
        EXPECT_EQ(config.proxy, QString::fromUtf8(c.proxy));
        EXPECT_EQ(config.streams, c.streams);
    }
}

// The test server stands in for the proxy; the version server's name cannot be resolved, so
// only a request through the proxy can be answered.
TEST_F(ConfigurationTest, VersionQueryGoesThroughTheProxyOfUpdateIni)
{
    g_updateServerUrl = "http://versions.example.invalid/qvx-client-2";
    const QString port = QString::number(server.port());
    for (const QString &setting :
         {QStringLiteral("127.0.0.1:") + port, QStringLiteral("http://127.0.0.1:") + port}) {
        SCOPED_TRACE(setting.toStdString());
        freshEnv();
        ASSERT_TRUE(UpdaterTestEnv::writeFile(
            installIni(), QByteArray("[update]\nproxy=") + setting.toUtf8() + "\n"));
        const int before = server.totalRequestCount();
        ModalBoxCloser closer;
        Configuration config;
        config.readUpdateIniSettings();
        QSignalSpy ready(&config, &Configuration::ready);
        ASSERT_TRUE(config.parseCommandLineOptions(argsOf({"prog"})));
        ASSERT_TRUE(ready.wait(10000));
        EXPECT_EQ(config.versionNr, 700);
        EXPECT_TRUE(closer.boxes().isEmpty());
        ASSERT_EQ(server.totalRequestCount(), before + 1);
        const TestHttpServer::Request request = server.requests().last();
        EXPECT_TRUE(request.proxyForm);
        EXPECT_EQ(request.target, QByteArray("http://versions.example.invalid/qvx-client-2"));
    }
}

// Asking past a proxy that the network may require is no way out; the update engine reports
// the setting instead.
TEST_F(ConfigurationTest, InvalidProxyStartsNoVersionQuery)
{
    for (const char *setting : {"http://:3128", "http://[proxy"}) {
        SCOPED_TRACE(setting);
        freshEnv();
        ASSERT_TRUE(UpdaterTestEnv::writeFile(installIni(),
                                              QByteArray("[update]\nproxy=") + setting + "\n"));
        const int before = queries();
        Configuration config;
        config.readUpdateIniSettings();
        QSignalSpy ready(&config, &Configuration::ready);
        QSignalSpy fatal(&config, &Configuration::fatalError);
        ASSERT_TRUE(config.parseCommandLineOptions(argsOf({"prog"})));
        // Not ready, so the window's start timer cannot begin a run for version 0.
        EXPECT_FALSE(config.initialised);
        EXPECT_EQ(config.versionNr, 0);
        EXPECT_EQ(config.findChild<UpdateChecker *>(), nullptr);
        QTest::qWait(50);
        EXPECT_EQ(queries(), before);
        EXPECT_EQ(ready.count(), 0);
        EXPECT_EQ(fatal.count(), 0);
    }
}

TEST_F(ConfigurationTest, VersionAnswersFromTheServer)
{
    struct Case
    {
        const char *label;
        QByteArray reply;
        QByteArray channelIni;
        const char *fatal; // empty: success
        int versionNr;
        const char *versionString;
    } cases[] = {
        {"stable", versionReply({{"stable", 812, "8.1.2"}}), "", "", 812, "8.1.2"},
        {"configured channel missing", versionReply({{"stable", 812, "8.1.2"}}),
         "[Channel]\nbeta=true\n", "Update server returned no version", 0, ""},
        {"negative number", versionReply({{"stable", -1, "x"}}), "",
         "Update server returned invalid version nr (4294967295)", 0, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        freshEnv();
        if (!c.channelIni.isEmpty()) {
            ASSERT_TRUE(UpdaterTestEnv::writeFile(configIni(), c.channelIni));
        }
        server.setReply(kQueryPath, TestHttpServer::Reply::ok(c.reply));
        Configuration config;
        QSignalSpy ready(&config, &Configuration::ready);
        QSignalSpy fatal(&config, &Configuration::fatalError);
        ASSERT_TRUE(config.parseCommandLineOptions(argsOf({"prog"})));
        EXPECT_FALSE(config.initialised);
        if (*c.fatal) {
            ASSERT_TRUE(fatal.wait(10000));
            EXPECT_EQ(fatal.at(0).at(0).toString(), QString::fromUtf8(c.fatal));
            EXPECT_FALSE(config.initialised);
            EXPECT_EQ(ready.count(), 0);
        } else {
            ASSERT_TRUE(ready.wait(10000));
            EXPECT_EQ(fatal.count(), 0);
            EXPECT_TRUE(config.initialised);
        }
        EXPECT_EQ(config.versionNr, c.versionNr);
        EXPECT_EQ(config.versionString, QString::fromUtf8(c.versionString));
    }
}

TEST_F(ConfigurationTest, FailedQueryShowsErrorBoxAndEndsTheEventLoop)
{
    UpdateChecker::setTimeLimit(300);
    TestHttpServer::Reply silent;
    silent.behaviour = TestHttpServer::NeverAnswer;
    const TestHttpServer::Reply replies[]
        = {TestHttpServer::Reply::withStatus(404, versionReply({{"stable", 1, "1"}})), silent};
    for (const TestHttpServer::Reply &reply : replies) {
        SCOPED_TRACE(reply.behaviour);
        server.setReply(kQueryPath, reply);
        QWidget mainWindow;
        mainWindow.setObjectName(QStringLiteral("MainWindow"));
        ModalBoxCloser closer(QMessageBox::Abort);
        Configuration config;
        QSignalSpy ready(&config, &Configuration::ready);
        QSignalSpy fatal(&config, &Configuration::fatalError);
        ASSERT_TRUE(config.parseCommandLineOptions(argsOf({"prog"})));

        // The application's own loop, as in the updater: quit() ends it with code 0, the safety
        // exit with 7.
        QTimer::singleShot(10000, &config, [] { QCoreApplication::exit(7); });
        EXPECT_EQ(QCoreApplication::exec(), 0);
        ASSERT_EQ(closer.boxes().size(), 1);
        const ModalBoxCloser::Box &box = closer.boxes().at(0);
        EXPECT_EQ(box.title, QStringLiteral("Error"));
        EXPECT_EQ(box.text,
                  QStringLiteral("Failed to query latest client\nversion from update server."));
        EXPECT_EQ(box.icon, QMessageBox::Critical);
        EXPECT_EQ(box.buttons, QMessageBox::StandardButtons(QMessageBox::Abort));
        EXPECT_EQ(box.parentName, QStringLiteral("MainWindow"));
        EXPECT_FALSE(config.initialised);
        EXPECT_EQ(config.versionNr, 0);
        EXPECT_EQ(ready.count(), 0);
        EXPECT_EQ(fatal.count(), 0);
    }
}

TEST_F(ConfigurationTest, SessionFolders)
{
    const QString base = env().tempDir() + QStringLiteral("/quorvelin_temp_");
    // Names 0 to 4 are taken, one of them by a plain file.
    for (int n = 0; n < 5; ++n) {
        if (n == 2) {
            ASSERT_TRUE(UpdaterTestEnv::writeFile(base + QString::number(n), "x"));
        } else
            ASSERT_TRUE(QDir().mkpath(base + QString::number(n)));
    }
    Configuration config;
    QSignalSpy fatal(&config, &Configuration::fatalError);
    ASSERT_TRUE(config.createTempDir());
    EXPECT_EQ(config.tempDir, base + QStringLiteral("5"));
    EXPECT_TRUE(QFileInfo(config.tempDir).isDir());

    ASSERT_TRUE(config.initalizeStart(QString(), QString()));
    EXPECT_EQ(config.tempDir, base + QStringLiteral("6"));
    EXPECT_EQ(config.installPath, Configuration::getInstallPath() + QStringLiteral("../"));
    EXPECT_TRUE(config.installPath.endsWith(QLatin1Char('/')));
    EXPECT_EQ(QDir(config.installPath).canonicalPath(),
              QDir(env().bundle() + "/Contents").canonicalPath());

    ASSERT_TRUE(config.initalizeStart(QStringLiteral("/session/dir"), QStringLiteral("/client/")));
    EXPECT_EQ(config.tempDir, QStringLiteral("/session/dir"));
    EXPECT_EQ(config.installPath, QStringLiteral("/client/"));
    EXPECT_EQ(fatal.count(), 0);

    for (int n = 7; n < 1000; ++n)
        ASSERT_TRUE(UpdaterTestEnv::writeFile(base + QString::number(n), ""));
    Configuration full;
    QSignalSpy fullFatal(&full, &Configuration::fatalError);
    EXPECT_FALSE(full.initalizeStart(QString(), QStringLiteral("/client/")));
    ASSERT_EQ(fullFatal.count(), 1);
    EXPECT_EQ(fullFatal.at(0).at(0).toString(), QStringLiteral("Unable to create temp directory."));
    EXPECT_TRUE(full.tempDir.isEmpty());
    EXPECT_TRUE(full.installPath.isEmpty());
}

TEST_F(ConfigurationTest, PathsAndNames)
{
    EXPECT_EQ(Configuration::getInstallPath(),
              env().applicationDir() + QStringLiteral("/../../../"));
    EXPECT_EQ(QDir(Configuration::getInstallPath()).canonicalPath(),
              QDir(env().sharedSupport()).canonicalPath());
    Configuration config;
    EXPECT_EQ(config.getInstallDir(), QDir::cleanPath(env().sharedSupport()));

    EXPECT_EQ(config.getConfigDir(), env().configDir() + QStringLiteral("/"));
    env().setEnv("QVX_CONFIG_DIR", env().configDir() + QStringLiteral("/"));
    EXPECT_EQ(config.getConfigDir(), env().configDir() + QStringLiteral("/"));
    env().setEnv("QVX_CONFIG_DIR", QString());
    EXPECT_EQ(config.getConfigDir(),
              env().path(QStringLiteral("xdg")) + QStringLiteral("/Quorvelin 3/"));
    env().unsetEnv("QVX_CONFIG_DIR");
    EXPECT_EQ(config.getConfigDir(),
              env().path(QStringLiteral("xdg")) + QStringLiteral("/Quorvelin 3/"));

    EXPECT_EQ(Configuration::clientTypeString(0), QStringLiteral("update_macosx"));
    EXPECT_EQ(Configuration::clientTypeString(1), QStringLiteral("client_macosx"));
    EXPECT_EQ(Configuration::clientTypeString(5), QStringLiteral("client_macosx"));
    EXPECT_EQ(Configuration::clientExecutableName(), QStringLiteral("qvxclient_mac"));

    const QString base = env().bundle() + QStringLiteral("/Contents/Resources");
    ASSERT_TRUE(QDir().mkpath(base));
    EXPECT_FALSE(config.clientExecutablePath(base));
    EXPECT_FALSE(config.clientExecutablePath(QString()));
    ASSERT_TRUE(QDir().mkpath(env().bundle() + QStringLiteral("/Contents/MacOS")));
    ASSERT_TRUE(UpdaterTestEnv::writeFile(
        env().bundle() + QStringLiteral("/Contents/MacOS/qvxclient_mac"), "x"));
    EXPECT_TRUE(config.clientExecutablePath(base));
}

TEST_F(ConfigurationTest, NewConfigurationIsEmpty)
{
    Configuration config;
    EXPECT_EQ(config.parent(), nullptr);
    EXPECT_FALSE(config.initialised);
    EXPECT_EQ(config.clientUpdate, 0);
    EXPECT_EQ(config.channel, 0);
    EXPECT_EQ(config.versionNr, 0);
    EXPECT_EQ(config.streams, 0);
    EXPECT_TRUE(config.clientType.isEmpty());
    EXPECT_TRUE(config.versionString.isEmpty());
    EXPECT_TRUE(config.tempDir.isEmpty());
    EXPECT_TRUE(config.installPath.isEmpty());
    EXPECT_TRUE(config.proxy.isEmpty());
}
