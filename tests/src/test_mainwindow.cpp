#include "asuser_test_support.h"
#include "bundlefixture.h"
#include "configuration.h"
#include "httpdownloader.h"
#include "mainwindow.h"
#include "modalboxcloser.h"
#include "processtools.h"
#include "test_updateengine_support.h"
#include "testhttpserver.h"
#include "updatechecker.h"
#include "updateengine.h"
#include "updatelog.h"
#include "updatertestenv.h"
#include "updateserverclient.h"
#include "urlclicklabel.h"

#include <gtest/gtest.h>

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPixmap>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <QUrl>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>

#include <sys/stat.h>

namespace {

class MainWindowTest : public ::testing::Test
{
protected:
    MainWindowTest()
    {
        clearPendingQuit();
        config.clientType = QStringLiteral("client_macosx");
        config.versionNr = 42;
        config.initialised = true;
    }

    void makeWindow() { window = std::make_unique<MainWindow>(&config); }

    // Creates the window and starts a run on the fake root task.
    void startRun()
    {
        makeWindow();
        window->show();
        QMetaObject::invokeMethod(window.get(), "onStartUpdate");
        ASSERT_TRUE(factory.root);
        ASSERT_TRUE(engine()->isActive());
    }

    UpdateEngine *engine() const { return window->findChild<UpdateEngine *>(); }
    QProgressBar *bar() const { return window->findChild<QProgressBar *>("totalProgressBar"); }
    QString pane() const { return window->findChild<QTextEdit *>("outputTextEdit")->toPlainText(); }
    QString label() const { return window->findChild<QLabel *>("versionLabel")->text(); }
    static QString tempFile(const QString &name) { return QDir::tempPath() + "/" + name; }

    // Puts in place the program that this step hands over to (the staged updater in step one,
    // the client in step two, with a helper beside it that must not be started).
    void placeNextProgram()
    {
        if (config.clientUpdate == 0) {
            ASSERT_TRUE(
                BundleFixture::writeProgram(ProcessTools::clientUpdaterBundle(config.tempDir)
                                                + QStringLiteral("/Contents/MacOS/update"),
                                            nextMarker()));
            return;
        }
        ASSERT_TRUE(BundleFixture::writeProgram(
            env.bundle() + QStringLiteral("/Contents/MacOS/qvx-helper"), helperMarker()));
        ASSERT_TRUE(BundleFixture::writeProgram(
            env.bundle() + QStringLiteral("/Contents/MacOS/qvxclient_mac"), nextMarker()));
        ASSERT_TRUE(BundleFixture::writeInfoPlist(env.bundle(), QStringLiteral("qvxclient_mac")));
    }
    QString nextMarker() const { return env.path(QStringLiteral("next program started")); }
    QString helperMarker() const { return env.path(QStringLiteral("helper started")); }
    bool nextProgramRan() const { return BundleFixture::waitForFile(nextMarker(), "done\n"); }

    UpdaterTestEnv env;
    Configuration config;
    FakeRootFactory factory;
    std::unique_ptr<MainWindow> window;
};

TEST_F(MainWindowTest, FormAndPointerToTheWindow)
{
    EXPECT_EQ(g_MainWindow, nullptr);
    makeWindow();
    EXPECT_EQ(g_MainWindow, window.get());
    EXPECT_EQ(window->objectName(), QStringLiteral("MainWindow"));
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Quorvelin 3 Client Update"));
    EXPECT_EQ(bar()->maximum(), 1000);
    EXPECT_EQ(bar()->value(), 0);
    auto *logo = window->findChild<UrlClickLabel *>("quorvelinLabel");
    auto *banner = window->findChild<UrlClickLabel *>("banner");
    ASSERT_TRUE(logo && banner);
    EXPECT_EQ(QPixmap(QStringLiteral(":/quorvelin_logo")).size(), QSize(1024, 1024));
    EXPECT_EQ(QPixmap(QStringLiteral(":/quorvelin_banner")).size(), QSize(468, 60));
    EXPECT_FALSE(logo->url().isEmpty());

    window->updateVersionLabel();
    window->show();
    EXPECT_TRUE(logo->isVisible());
    EXPECT_EQ(logo->maximumHeight(), window->findChild<QLabel *>("versionLabel")->height());
    EXPECT_EQ(logo->maximumWidth(), logo->maximumHeight());

    auto *details = window->findChild<QPushButton *>("detailsButton");
    auto *log = window->findChild<QTextEdit *>("outputTextEdit");
    EXPECT_FALSE(log->isVisible());
    QTest::mouseClick(details, Qt::LeftButton);
    EXPECT_TRUE(log->isVisible());
    QTest::mouseClick(details, Qt::LeftButton);
    EXPECT_FALSE(log->isVisible());

    window.reset();
    EXPECT_EQ(g_MainWindow, nullptr);
}

struct LabelCase
{
    const char *name;
    const char *versionString;
    int channel;
    int step;
    const char *expected;
};

void PrintTo(const LabelCase &c, std::ostream *os)
{
    *os << c.name;
}

class MainWindowLabelTest : public MainWindowTest, public ::testing::WithParamInterface<LabelCase>
{ };

TEST_P(MainWindowLabelTest, VersionLabel)
{
    const LabelCase &c = GetParam();
    config.versionString = QString::fromLatin1(c.versionString);
    config.channel = c.channel;
    config.clientUpdate = c.step;
    makeWindow();
    window->updateVersionLabel();
    EXPECT_EQ(label(), QString::fromLatin1(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MainWindowLabelTest,
    ::testing::Values(
        LabelCase {"KnownVersionStepOne", "3.2.1", 0, 0,
                   "<div style=\"font-weight:bold;font-size:large\">Update to Quorvelin "
                   "3.2.1</div><div style=\"margin-top:0.2em\">You are currently on "
                   "<strong>Stable channel</strong>.</div><div "
                   "style=\"margin-top:0.2em;font-style:italic\">Step one: Updating "
                   "updater</div>"},
        LabelCase {"VersionFromServerStepTwo", "", 1, 1,
                   "<div style=\"margin-top:0.2em\">You are currently on <strong>Beta "
                   "channel</strong>.</div><div style=\"margin-top:0.2em;font-style:italic\">Step "
                   "two: Updating Quorvelin client</div>"},
        LabelCase {"Alpha", "", 2, 0,
                   "<div style=\"margin-top:0.2em\">You are currently on <strong>Alpha "
                   "channel</strong>.</div><div style=\"margin-top:0.2em;font-style:italic\">Step "
                   "one: Updating updater</div>"},
        LabelCase {"MarkupInTheVersionStaysText", "<a href=\"http://evil.example/\">3.2</a>&", 0, 1,
                   "<div style=\"font-weight:bold;font-size:large\">Update to Quorvelin "
                   "&lt;a href=&quot;http://evil.example/&quot;&gt;3.2&lt;/a&gt;&amp;</div><div "
                   "style=\"margin-top:0.2em\">You are currently on <strong>Stable "
                   "channel</strong>.</div><div style=\"margin-top:0.2em;font-style:italic\">Step "
                   "two: Updating Quorvelin client</div>"},
        LabelCase {"UnknownChannel", "", 7, 0,
                   "<div style=\"margin-top:0.2em\">You are currently on <strong> "
                   "channel</strong>.</div><div style=\"margin-top:0.2em;font-style:italic\">Step "
                   "one: Updating updater</div>"}),
    [](const ::testing::TestParamInfo<LabelCase> &info) { return std::string(info.param.name); });

TEST_F(MainWindowTest, StartWaitsForTheConfigurationAndHappensOnce)
{
    config.initialised = false;
    makeWindow();
    {
        MessageCapture capture;
        QMetaObject::invokeMethod(window.get(), "onStartUpdate");
        EXPECT_TRUE(
            capture.contains(QStringLiteral("Aborting start update, configuration not yet ready")));
    }
    EXPECT_EQ(factory.created, 0);
    EXPECT_FALSE(QFile::exists(UpdateIniData::iniPath()));

    config.initialised = true;
    emit config.ready();
    EXPECT_EQ(factory.created, 1);
    EXPECT_TRUE(engine()->isActive());
    // The start-up timer that comes after the answer starts nothing more.
    QMetaObject::invokeMethod(window.get(), "onStartUpdate");
    EXPECT_EQ(factory.created, 1);
}

TEST_F(MainWindowTest, ProgressBarFollowsTheRootTask)
{
    startRun();
    const struct
    {
        double fraction;
        int value;
    } cases[] = {{0.5, 500}, {0.9999, 999}, {1.0, 1000}, {0.0, 0}};
    for (const auto &c : cases) {
        emit factory.root->updateProgress(c.fraction);
        EXPECT_EQ(bar()->value(), c.value) << c.fraction;
    }
}

TEST_F(MainWindowTest, MessagesGoToThePaneAndErrorsAlsoToABox)
{
    startRun();
    emit factory.root->message(QStringLiteral("Downloading client.bin"));
    EXPECT_TRUE(pane().contains(QStringLiteral("Downloading client.bin")));

    ModalBoxCloser closer;
    emit factory.root->error(QStringLiteral("Disk full"));
    QTRY_VERIFY(closer.boxes().size() == 1);
    ASSERT_EQ(closer.boxes().size(), 1);
    EXPECT_EQ(closer.boxes()[0].title, QStringLiteral("Error"));
    EXPECT_EQ(closer.boxes()[0].text, QStringLiteral("Disk full"));
    EXPECT_EQ(closer.boxes()[0].icon, QMessageBox::Critical);
    EXPECT_TRUE(pane().contains(QStringLiteral("Disk full")));
    // The run goes on.
    EXPECT_TRUE(engine()->isActive());
}

// The error box runs a nested loop. Opened inside the reporting task's own signal, it let the
// run end and the engine's deferred deletion of the task tree happen under that task's frame.
TEST_F(MainWindowTest, RunEndingWhileAnErrorBoxIsOpenLeavesTheReportingTaskAlive)
{
    startRun();
    QPointer<FakeTask> root = factory.root;
    // Closes the cancellation box, which opens inside the user's timer below.
    QTimer cancelBoxCloser;
    QObject::connect(&cancelBoxCloser, &QTimer::timeout, []() {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (box && box->isVisible() && box->text() != QStringLiteral("Disk full"))
            box->reject();
    });
    cancelBoxCloser.start(5);
    int ticksAfterFailure = 0;
    QTimer user;
    QObject::connect(&user, &QTimer::timeout, [&]() {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible() || box->text() != QStringLiteral("Disk full"))
            return;
        // While the user reads the box, the run fails elsewhere; the box closes some time after.
        if (root && root->state == TaskSpecification::Running) {
            root->fail();
            return;
        }
        if (++ticksAfterFailure < 5)
            return;
        user.stop();
        box->reject();
    });
    user.start(5);

    emit root->error(QStringLiteral("Disk full"));
    // The emitting task still runs its own code here.
    EXPECT_FALSE(root.isNull());
    QTRY_VERIFY(!user.isActive());
    EXPECT_TRUE(pane().contains(QStringLiteral("Disk full")));
    EXPECT_EQ(engine()->state(), UpdateEngine::PRE_INIT);
}

TEST_F(MainWindowTest, FailedRunPointsToDetailsAndLetsTheWindowClose)
{
    startRun();
    emit factory.root->updateProgress(0.5);
    ModalBoxCloser closer;
    factory.root->fail();
    ASSERT_EQ(closer.boxes().size(), 1);
    EXPECT_EQ(closer.boxes()[0].title, QStringLiteral("Update"));
    EXPECT_EQ(closer.boxes()[0].text,
              QStringLiteral("Update cancelled. Push \"Details\" to check reasons."));
    EXPECT_TRUE(pane().contains(QStringLiteral("Update cancelled")));
    EXPECT_EQ(bar()->value(), 0);
    EXPECT_EQ(engine()->state(), UpdateEngine::PRE_INIT);
    EXPECT_TRUE(window->isVisible());

    QMetaObject::invokeMethod(window.get(), "onStartUpdate");
    EXPECT_EQ(factory.created, 1);
    EXPECT_TRUE(window->close());
}

TEST_F(MainWindowTest, CloseDuringARunAsksAndNoKeepsItGoing)
{
    startRun();
    ModalBoxCloser closer(QMessageBox::No);
    EXPECT_FALSE(window->close());
    EXPECT_FALSE(window->close());
    ASSERT_EQ(closer.boxes().size(), 2);
    EXPECT_EQ(closer.boxes()[0].title, QStringLiteral("Question"));
    EXPECT_EQ(closer.boxes()[0].text,
              QStringLiteral("<p>Update in progress.</p><p>Are you sure you want to abort?</p>"));
    EXPECT_EQ(closer.boxes()[0].buttons, QMessageBox::Yes | QMessageBox::No);
    EXPECT_FALSE(factory.root->cancelRequested);
    EXPECT_TRUE(engine()->isActive());
}

TEST_F(MainWindowTest, ConfirmedAbortAsksOnceAndQuits)
{
    factory.abortOnCancel = false;
    startRun();
    {
        ModalBoxCloser closer(QMessageBox::Yes);
        EXPECT_FALSE(window->close());
        ASSERT_EQ(closer.boxes().size(), 1);
    }
    EXPECT_TRUE(factory.root->cancelRequested);
    ModalBoxCloser none;
    EXPECT_FALSE(window->close());
    QTest::qWait(50);
    EXPECT_TRUE(none.boxes().isEmpty());

    QPointer<FakeTask> root = factory.root;
    EXPECT_EQ(exitCodeOf([root]() { root->abort(); }), 0);
    // No cancellation box after a user abort.
    EXPECT_TRUE(none.boxes().isEmpty());
}

TEST_F(MainWindowTest, FatalEngineErrorEndsWithTwo)
{
    {
        QSettings settings(UpdateIniData::iniPath(), QSettings::IniFormat);
        settings.setValue(QStringLiteral("update/proxy"), QStringLiteral("http://[proxy"));
    }
    ModalBoxCloser closer;
    makeWindow();
    EXPECT_EQ(exitCodeOf([]() {}), 2);
    ASSERT_EQ(closer.boxes().size(), 1);
    EXPECT_EQ(closer.boxes()[0].title, QStringLiteral("Error"));
    EXPECT_EQ(closer.boxes()[0].text,
              QStringLiteral("'http://[proxy' is an invalid proxy specification"));
}

// The fatal box runs a nested loop; the start timer or the configuration's ready that fires
// meanwhile must not begin a run that the box's exit would then cut off half-way.
TEST_F(MainWindowTest, NoRunStartsWhileAFatalErrorBoxIsOpen)
{
    {
        QSettings settings(UpdateIniData::iniPath(), QSettings::IniFormat);
        settings.setValue(QStringLiteral("update/proxy"), QStringLiteral("http://[proxy"));
    }
    makeWindow();
    MainWindow *w = window.get();
    int createdWhileOpen = -1;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&]() {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        poll.stop();
        QMetaObject::invokeMethod(w, "onStartUpdate");
        createdWhileOpen = factory.created;
        box->reject();
    });
    poll.start(10);
    EXPECT_EQ(exitCodeOf([]() {}), 2);
    EXPECT_EQ(createdWhileOpen, 0);
    EXPECT_FALSE(engine()->isActive());
    EXPECT_FALSE(UpdateIniData::get(nullptr, nullptr, nullptr, nullptr));
}

// With no version known, an invalid proxy ends the run with the engine's error alone: no
// query goes out past the proxy, and no box about a failed query follows.
TEST_F(MainWindowTest, InvalidProxyEndsWithTwoAndAsksNoVersionServer)
{
    TestHttpServer server;
    const std::string savedUrl = g_updateServerUrl;
    g_updateServerUrl = server.url(QStringLiteral("/qvx-client-2")).toString().toStdString();
    {
        QSettings settings(UpdateIniData::iniPath(), QSettings::IniFormat);
        settings.setValue(QStringLiteral("update/proxy"), QStringLiteral("http://:3128"));
    }
    ModalBoxCloser closer;
    auto configuration = std::make_unique<Configuration>();
    auto queryWindow = std::make_unique<MainWindow>(configuration.get());
    ASSERT_TRUE(configuration->parseCommandLineOptions({QStringLiteral("update")}));
    EXPECT_FALSE(configuration->initialised);
    EXPECT_EQ(configuration->findChild<UpdateChecker *>(), nullptr);
    queryWindow->show();
    EXPECT_EQ(exitCodeOf([]() {}), 2);
    ASSERT_EQ(closer.boxes().size(), 1);
    EXPECT_EQ(closer.boxes()[0].text,
              QStringLiteral("'http://:3128' is an invalid proxy specification"));
    QTest::qWait(50);
    EXPECT_EQ(server.totalRequestCount(), 0);
    EXPECT_EQ(factory.created, 0);
    queryWindow.reset();
    configuration.reset();
    g_updateServerUrl = savedUrl;
}

TEST_F(MainWindowTest, FatalConfigurationErrorEndsWithOne)
{
    ModalBoxCloser closer;
    makeWindow();
    EXPECT_EQ(exitCodeOf([this]() {
                  emit config.fatalError(QStringLiteral("Unable to create temp directory."));
              }),
              1);
    ASSERT_EQ(closer.boxes().size(), 1);
    EXPECT_EQ(closer.boxes()[0].text, QStringLiteral("Unable to create temp directory."));
}

struct RebootCase
{
    const char *name;
    QMessageBox::StandardButton answer;
    const char *written;
    const char *notWritten;
};

void PrintTo(const RebootCase &c, std::ostream *os)
{
    *os << c.name;
}

class MainWindowRebootTest : public MainWindowTest, public ::testing::WithParamInterface<RebootCase>
{ };

TEST_P(MainWindowRebootTest, RestartQuestionLeavesAMarkerAndQuits)
{
    const RebootCase &c = GetParam();
    startRun();
    ModalBoxCloser closer(c.answer);
    MainWindow *w = window.get();
    EXPECT_EQ(exitCodeOf([w]() {
                  QMetaObject::invokeMethod(w, "onRebootWithConfirmation", Qt::QueuedConnection);
              }),
              0);
    ASSERT_EQ(closer.boxes().size(), 1);
    EXPECT_EQ(closer.boxes()[0].title, QStringLiteral("Confirm reboot"));
    EXPECT_TRUE(closer.boxes()[0].text.startsWith(
        QStringLiteral("<p>A computer restart is required to proceed with the client update.")));
    EXPECT_TRUE(QFile::exists(tempFile(QString::fromLatin1(c.written))));
    EXPECT_FALSE(QFile::exists(tempFile(QString::fromLatin1(c.notWritten))));

    // A run that finishes after the question hands over to nothing (the question has stopped
    // the run; the engine may have let go of its root already).
    if (factory.root)
        factory.root->finish();
    QTest::qWait(1500);
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(QFile::exists(tempFile(QStringLiteral("qvxclientupdateargs"))));
}

INSTANTIATE_TEST_SUITE_P(
    Answers, MainWindowRebootTest,
    ::testing::Values(
        RebootCase {"Yes", QMessageBox::Yes, "qvx_force_update", "qvx_force_update_check"},
        RebootCase {"No", QMessageBox::No, "qvx_force_update_check", "qvx_force_update"}),
    [](const ::testing::TestParamInfo<RebootCase> &info) { return std::string(info.param.name); });

// Quitting at once would cut a run off wherever it is, in the middle of replacing the client's
// files included: the run is stopped first, and the program ends when it has ended.
TEST_F(MainWindowTest, RestartQuestionDuringARunEndsTheRunBeforeQuitting)
{
    for (const bool finishes : {false, true}) {
        SCOPED_TRACE(finishes ? "run finishes" : "run aborts");
        window.reset();
        factory.abortOnCancel = false;
        startRun();
        QPointer<FakeTask> root = factory.root;
        ModalBoxCloser closer(QMessageBox::Yes);
        // The root takes its time to end after the cancel, as a real one does.
        QTimer ending;
        QObject::connect(&ending, &QTimer::timeout, [&]() {
            if (!root || !root->cancelRequested)
                return;
            ending.stop();
            if (finishes)
                root->finish();
            else
                root->abort();
        });
        ending.start(20);
        MainWindow *w = window.get();
        EXPECT_EQ(exitCodeOf([w]() {
                      QMetaObject::invokeMethod(w, "onRebootWithConfirmation",
                                                Qt::QueuedConnection);
                  }),
                  0);
        EXPECT_EQ(closer.boxes().size(), 1);
        EXPECT_FALSE(engine()->isActive());
        EXPECT_TRUE(QFile::exists(tempFile(QStringLiteral("qvx_force_update"))));
        QTest::qWait(1200);
        EXPECT_FALSE(QFile::exists(tempFile(QStringLiteral("qvxclientupdateargs"))));
    }
}

TEST_F(MainWindowTest, UnwritableMarkerIsReportedAndStillQuits)
{
    ASSERT_TRUE(QDir().mkpath(tempFile(QStringLiteral("qvx_force_update"))));
    makeWindow();
    ModalBoxCloser closer(QMessageBox::Yes);
    MainWindow *w = window.get();
    EXPECT_EQ(exitCodeOf([w]() {
                  QMetaObject::invokeMethod(w, "onRebootWithConfirmation", Qt::QueuedConnection);
              }),
              0);
    EXPECT_TRUE(pane().contains(QStringLiteral("Failed to store force update notice")));
}

TEST_F(MainWindowTest, MarkersGoOnlyInStepOne)
{
    for (int step : {1, 0}) {
        config.clientUpdate = step;
        for (const char *name : {"qvx_force_update", "qvx_force_update_check"})
            ASSERT_TRUE(UpdaterTestEnv::writeFile(tempFile(QString::fromLatin1(name)), ""));
        makeWindow();
        window->delete_force_update_files();
        for (const char *name : {"qvx_force_update", "qvx_force_update_check"})
            EXPECT_EQ(QFile::exists(tempFile(QString::fromLatin1(name))), step == 1)
                << name << " step " << step;
    }
}

TEST_F(MainWindowTest, StepOneHandsOverToTheNewUpdater)
{
    config.versionString = QStringLiteral("3.2.1");
    startRun();
    placeNextProgram();
    factory.root->finish();
    QTRY_VERIFY_WITH_TIMEOUT(!window->isVisible(), 10000);
    EXPECT_TRUE(nextProgramRan());
    QFile args(tempFile(QStringLiteral("qvxclientupdateargs")));
    ASSERT_TRUE(args.open(QIODevice::ReadOnly | QIODevice::Text));
    const QStringList lines
        = QString::fromUtf8(args.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    EXPECT_EQ(lines,
              (QStringList {QStringLiteral("--clientupdate"), QStringLiteral("client_macosx"),
                            QStringLiteral("42"), QStringLiteral("3.2.1")}));
}

TEST_F(MainWindowTest, StepTwoFinishesTheBundleAndCloses)
{
    config.clientUpdate = 1;
    startRun();
    placeNextProgram();
    factory.root->finish();
    QTRY_VERIFY_WITH_TIMEOUT(!window->isVisible(), 10000);
    EXPECT_FALSE(QFile::exists(tempFile(QStringLiteral("qvxclientupdateargs"))));
    EXPECT_TRUE(nextProgramRan());
    EXPECT_FALSE(QFile::exists(helperMarker()));
}

// Nothing to start must not end as a quiet success: the window says so and ends with 2.
TEST_F(MainWindowTest, HandOverWithNothingToStartFailsVisibly)
{
    for (const int step : {0, 1}) {
        SCOPED_TRACE(step);
        window.reset();
        config.clientUpdate = step;
        startRun();
        // Only a helper, which is no stand-in for the client.
        ASSERT_TRUE(BundleFixture::writeProgram(
            env.bundle() + QStringLiteral("/Contents/MacOS/qvx-helper"), helperMarker()));
        const QString bundle = step == 0 ? ProcessTools::clientUpdaterBundle(config.tempDir)
                                         : ProcessTools::clientBundle(config.installPath);
        ModalBoxCloser closer;
        MessageCapture capture;
        QPointer<FakeTask> root = factory.root;
        EXPECT_EQ(exitCodeOf([root]() { root->finish(); }), 2);
        ASSERT_EQ(closer.boxes().size(), 1);
        EXPECT_EQ(closer.boxes()[0].title, QStringLiteral("Error"));
        EXPECT_EQ(closer.boxes()[0].text,
                  QStringLiteral("Could not start '%1'").arg(QDir::cleanPath(bundle)));
        EXPECT_TRUE(capture.contains(QStringLiteral("Hand-over failed")));
        QTest::qWait(200);
        EXPECT_FALSE(QFile::exists(helperMarker()));
    }
}

// Step one that cannot write its hand-over files (another user's file in a shared sticky
// temporary folder, a folder there) ends with the reason and starts nothing. It used to hand over
// all the same, and the new updater, without its arguments, ran as step one again.
TEST_F(MainWindowTest, HandOverFilesThatCannotBeWrittenEndTheRunWithTheReason)
{
#ifdef Q_OS_MACOS
    const int folderError = EPERM;
#else
    const int folderError = EISDIR;
#endif
    struct Case
    {
        const char *label;
        const char *planted;
        const char *other; // the other hand-over name: nothing may be left there
        bool folder; // a folder there, else a file of root's that an ordinary user runs into
        int error;
    } cases[] = {
        {"folder at the arguments name", "qvxclientupdateargs", "update.sh", true, folderError},
        {"folder at the script name", "update.sh", "qvxclientupdateargs", true, folderError},
        {"another user's file at the arguments name", "qvxclientupdateargs", "update.sh", false,
         EPERM},
    };
    ASSERT_EQ(::chmod(QFile::encodeName(env.root()).constData(), 0755), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(env.tempDir()).constData(), 01777), 0);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        window.reset();
        clearPendingQuit();
        const QString planted = tempFile(QString::fromLatin1(c.planted));
        const QString other = tempFile(QString::fromLatin1(c.other));
        for (const QString &name : {planted, other}) {
            QDir(name).removeRecursively();
            QFile::remove(name);
        }
        if (!c.folder && ::geteuid() != 0)
            GTEST_SKIP() << "only root can act as two users";
        if (c.folder) {
            ASSERT_TRUE(QDir().mkpath(planted));
        } else {
            ASSERT_TRUE(UpdaterTestEnv::writeFile(planted, "--nouser\n"));
        }
        startRun();
        placeNextProgram();
        const QString program
            = ProcessTools::clientUpdaterBundle(config.tempDir) + "/Contents/MacOS/update";
        ASSERT_TRUE(QFile::setPermissions(
            program, QFile::permissions(program) | QFileDevice::ReadOther | QFileDevice::ExeOther));
        ASSERT_EQ(::chmod(QFile::encodeName(config.tempDir).constData(), 0755), 0);

        ModalBoxCloser closer;
        MessageCapture capture;
        factory.root->finish();
        int code = -1;
        {
            std::unique_ptr<AsOrdinaryUser> user;
            if (!c.folder) {
                user = std::make_unique<AsOrdinaryUser>();
                if (!user->active())
                    GTEST_SKIP() << "cannot act as an ordinary user here";
            }
            code = exitCodeOf([]() {});
        }
        EXPECT_EQ(code, 2);
        const QString text
            = QStringLiteral("Could not start '%1': failed to write '%2' (%3)")
                  .arg(QDir::cleanPath(ProcessTools::clientUpdaterBundle(config.tempDir)), planted,
                       QString::fromLocal8Bit(std::strerror(c.error)));
        ASSERT_EQ(closer.boxes().size(), 1);
        EXPECT_EQ(closer.boxes()[0].title, QStringLiteral("Error"));
        EXPECT_EQ(closer.boxes()[0].text.toStdString(), text.toStdString());
        EXPECT_TRUE(capture.lines().contains(text));
        EXPECT_FALSE(capture.contains(QStringLiteral("starting \"")));
        EXPECT_FALSE(QFile::exists(other));
        EXPECT_FALSE(QFile::exists(nextMarker()));
    }
}

struct QuestionCase
{
    const char *name;
    int step;
    QMessageBox::StandardButton answer;
    bool answerAfterHandOver; // else right after the run ends, before the hand-over
};

void PrintTo(const QuestionCase &c, std::ostream *os)
{
    *os << c.name;
}

class MainWindowQuestionTest : public MainWindowTest,
                               public ::testing::WithParamInterface<QuestionCase>
{ };

// The hand-over's close() comes while the abort question's close is still being handled,
// which Qt refuses: whatever the user answers, the window must close and the loop end with 0.
TEST_P(MainWindowQuestionTest, RunEndingWhileTheAbortQuestionIsOpenStillClosesTheWindow)
{
    const QuestionCase &c = GetParam();
    config.clientUpdate = c.step;
    factory.abortOnCancel = false;
    startRun();
    placeNextProgram();
    QPointer<FakeTask> root = factory.root;
    int questions = 0;
    QTimer user;
    QObject::connect(&user, &QTimer::timeout, [&]() {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        if (root && root->state == TaskSpecification::Running) {
            ++questions;
            root->finish();
            return;
        }
        if (c.answerAfterHandOver && !QFile::exists(nextMarker()))
            return;
        user.stop();
        box->button(c.answer)->click();
    });
    user.start(10);
    MainWindow *w = window.get();
    EXPECT_EQ(exitCodeOf([w]() { w->close(); }, 10000), 0);
    EXPECT_EQ(questions, 1);
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(nextProgramRan());
    EXPECT_FALSE(QFile::exists(helperMarker()));
}

INSTANTIATE_TEST_SUITE_P(
    Answers, MainWindowQuestionTest,
    ::testing::Values(QuestionCase {"StepOneYes", 0, QMessageBox::Yes, true},
                      QuestionCase {"StepOneNo", 0, QMessageBox::No, true},
                      QuestionCase {"StepTwoYes", 1, QMessageBox::Yes, true},
                      QuestionCase {"StepTwoNo", 1, QMessageBox::No, true},
                      QuestionCase {"StepOneYesBeforeHandOver", 0, QMessageBox::Yes, false},
                      QuestionCase {"StepTwoNoBeforeHandOver", 1, QMessageBox::No, false}),
    [](const ::testing::TestParamInfo<QuestionCase> &info) {
        return std::string(info.param.name);
    });

// Between the end of a run and its hand-over a close would end the loop and drop the
// hand-over: the next program must still start.
TEST_F(MainWindowTest, CloseBeforeTheHandOverKeepsIt)
{
    startRun();
    placeNextProgram();
    factory.root->finish();
    MainWindow *w = window.get();
    EXPECT_FALSE(window->close());
    EXPECT_EQ(exitCodeOf([w]() { w->close(); }, 10000), 0);
    EXPECT_TRUE(nextProgramRan());
}

// The configuration's ready and the start-up timer both start the update; a failed
// initialize must report its cause once, not once for each.
TEST_F(MainWindowTest, FailedInitializeShowsItsBoxOnce)
{
    // A folder where update.ini should be: the session record cannot be written.
    ASSERT_TRUE(QDir().mkpath(UpdateIniData::iniPath()));
    makeWindow();
    ModalBoxCloser closer;
    emit config.ready();
    QMetaObject::invokeMethod(window.get(), "onStartUpdate");
    QTest::qWait(300);
    const QString text = QStringLiteral("Failed to write update.ini. The updater does not seem to "
                                        "have the required write permissions. (Is a directory)");
    ASSERT_EQ(closer.boxes().size(), 1);
    EXPECT_EQ(closer.boxes()[0].text, text);
    EXPECT_EQ(pane().count(text), 1);
    EXPECT_EQ(factory.created, 0);
    // The session folder made for the record is removed again, so no run leaves one behind.
    EXPECT_EQ(QDir(env.tempDir()).entryList({QStringLiteral("quorvelin_temp_*")}).size(), 0);
    EXPECT_TRUE(window->close());
}

// Texts of the run (file names, paths) are shown as they are, never as markup or links.
TEST_F(MainWindowTest, MessagesAndErrorsShowMarkupAsText)
{
    startRun();
    const QString hostile
        = QStringLiteral("<b>bold</b> & <a href=\"http://evil.example/\">link</a>");
    emit factory.root->message(hostile);
    emit factory.root->message(QStringLiteral("next"));
    EXPECT_EQ(pane(), hostile + QStringLiteral("\nnext"));

    Qt::TextFormat format = Qt::RichText;
    QString shown;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&]() {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        format = box->textFormat();
        shown = box->text();
        poll.stop();
        box->reject();
    });
    poll.start(10);
    emit factory.root->error(hostile);
    QTRY_VERIFY(!poll.isActive());
    EXPECT_EQ(shown, hostile);
    EXPECT_EQ(format, Qt::PlainText);
}

// Closing the window while the version server has not answered yet ends the program cleanly:
// the query's thread is stopped and its objects go with the configuration.
TEST_F(MainWindowTest, ClosingDuringTheVersionQueryEndsItsThread)
{
    TestHttpServer server;
    TestHttpServer::Reply silent;
    silent.behaviour = TestHttpServer::NeverAnswer;
    server.setReply(QStringLiteral("/qvx-client-2"), silent);
    const std::string savedUrl = g_updateServerUrl;
    g_updateServerUrl = server.url(QStringLiteral("/qvx-client-2")).toString().toStdString();

    auto configuration = std::make_unique<Configuration>();
    auto queryWindow = std::make_unique<MainWindow>(configuration.get());
    ASSERT_TRUE(configuration->parseCommandLineOptions(
        {QStringLiteral("update"), QStringLiteral("--nouser")}));
    EXPECT_FALSE(configuration->initialised);
    QTRY_COMPARE(server.requestCount(QStringLiteral("/qvx-client-2")), 1);
    QPointer<HTTPDownloader> downloader = configuration->findChild<HTTPDownloader *>();
    ASSERT_TRUE(downloader);
    QSignalSpy threadEnded(downloader.data(), &QThread::finished);
    queryWindow->show();

    MainWindow *w = queryWindow.get();
    Configuration *c = configuration.get();
    EXPECT_EQ(exitCodeOf(
                  [w, c]() {
                      w->close();
                      // An answer that arrives before the loop has ended starts no run.
                      c->initialised = true;
                      emit c->ready();
                  },
                  10000),
              0);
    // As main leaves: the window first, then the configuration.
    queryWindow.reset();
    configuration.reset();
    EXPECT_TRUE(downloader.isNull());
    EXPECT_EQ(threadEnded.count(), 1);
    QTest::qWait(200);
    EXPECT_EQ(factory.created, 0);
    g_updateServerUrl = savedUrl;
}

// A stop asked for once the run can no longer be undone lets the run end as finished; the user
// asked to stop, so the window then closes without starting the next program.
TEST_F(MainWindowTest, AbortThatComesTooLateFinishesTheRunAndStartsNothing)
{
    for (const int step : {0, 1}) {
        SCOPED_TRACE(step);
        window.reset();
        // The window's close and its quit both end the loop of the step before.
        clearPendingQuit();
        config.clientUpdate = step;
        // The root takes the cancel but goes on, as it does once the files are replaced.
        factory.abortOnCancel = false;
        startRun();
        placeNextProgram();
        {
            ModalBoxCloser closer(QMessageBox::Yes);
            EXPECT_FALSE(window->close());
            ASSERT_EQ(closer.boxes().size(), 1);
        }
        ASSERT_TRUE(factory.root->cancelRequested);
        QPointer<FakeTask> root = factory.root;
        ModalBoxCloser none;
        EXPECT_EQ(exitCodeOf([root]() { root->finish(); }), 0);
        EXPECT_FALSE(window->isVisible());
        EXPECT_TRUE(pane().contains(QStringLiteral("Update successfully finished")));
        EXPECT_TRUE(none.boxes().isEmpty());
        QTest::qWait(1500);
        EXPECT_FALSE(QFile::exists(nextMarker()));
        EXPECT_FALSE(QFile::exists(tempFile(QStringLiteral("qvxclientupdateargs"))));
    }
}

// While it lives, the process's Qt messages go to an update log in tempDir, as with the marker
// file in place.
class UpdateLogFile
{
public:
    explicit UpdateLogFile(const QString &tempDir)
    {
        UpdaterTestEnv::writeFile(tempDir + QStringLiteral("/qvx_update_log"), "x");
        m_log = std::make_unique<UpdateLog>(tempDir);
        m_log->openLogFile();
        m_previousLog = UpdateLog::setInstance(m_log.get());
        m_previousHandler = qInstallMessageHandler(updateMessageHandler);
    }
    ~UpdateLogFile()
    {
        qInstallMessageHandler(m_previousHandler);
        UpdateLog::setInstance(m_previousLog);
    }
    UpdateLogFile(const UpdateLogFile &) = delete;
    UpdateLogFile &operator=(const UpdateLogFile &) = delete;

    bool enabled() const { return m_log->enabled() && !m_log->fileName().isEmpty(); }
    // The lines of the file, in order.
    QStringList lines() const
    {
        QFile file(m_log->fileName());
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
            return {};
        QStringList lines = QString::fromLocal8Bit(file.readAll()).split('\n');
        if (lines.last().isEmpty())
            lines.removeLast(); // after the last line feed
        return lines;
    }
    // The texts of the Info lines, in order.
    QStringList infoTexts() const
    {
        const QString level = QStringLiteral("\t|\tInfo\t|\t");
        QStringList texts;
        for (const QString &line : lines()) {
            const int at = line.indexOf(level);
            if (at >= 0)
                texts.append(line.mid(at + level.size()));
        }
        return texts;
    }

private:
    std::unique_ptr<UpdateLog> m_log;
    UpdateLog *m_previousLog = nullptr;
    QtMessageHandler m_previousHandler = nullptr;
};

struct FailureLogCase
{
    const char *name;
    std::function<void(MainWindowTest &)> fail;
    const char *reason; // what the user was told
};

void PrintTo(const FailureLogCase &c, std::ostream *os)
{
    *os << c.name;
}

class MainWindowFailureLogTest : public MainWindowTest,
                                 public ::testing::WithParamInterface<FailureLogCase>
{
public:
    using MainWindowTest::config;
    using MainWindowTest::factory;
    using MainWindowTest::makeWindow;
    using MainWindowTest::startRun;
};

// Support reads why an update failed in the log, after the window is gone: everything the
// window showed is there as an Info line, word for word.
TEST_P(MainWindowFailureLogTest, LogHoldsWhatTheUserWasShown)
{
    const FailureLogCase &c = GetParam();
    UpdateLogFile log(env.tempDir());
    ASSERT_TRUE(log.enabled());
    ModalBoxCloser closer;
    c.fail(*this);
    const QString reason = QString::fromUtf8(c.reason);
    const QStringList shown = window->findChild<QTextEdit *>("outputTextEdit")
                                  ->toPlainText()
                                  .split('\n', Qt::SkipEmptyParts);
    QStringList boxes;
    for (const ModalBoxCloser::Box &box : closer.boxes())
        boxes.append(box.text);
    ASSERT_TRUE(shown.contains(reason) || boxes.contains(reason))
        << (shown + boxes).join(" | ").toStdString();

    const QStringList logged = log.infoTexts();
    for (const QString &text : shown + boxes)
        EXPECT_TRUE(logged.contains(text))
            << text.toStdString() << " not in " << logged.join(" | ").toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Failures, MainWindowFailureLogTest,
    ::testing::Values(FailureLogCase {"InvalidVersion",
                                      [](MainWindowTest &base) {
                                          auto &t = static_cast<MainWindowFailureLogTest &>(base);
                                          t.config.versionNr = 0;
                                          t.makeWindow();
                                          Configuration *config = &t.config;
                                          EXPECT_EQ(exitCodeOf([config]() {
                                                        config->parseCommandLineOptions(
                                                            {QStringLiteral("update"),
                                                             QStringLiteral("--clientupdate"),
                                                             QStringLiteral("client_macosx"),
                                                             QStringLiteral("abc")});
                                                    }),
                                                    1);
                                      },
                                      "Invalid version nr (abc)"},
                      FailureLogCase {"DownloadFailure",
                                      [](MainWindowTest &base) {
                                          auto &t = static_cast<MainWindowFailureLogTest &>(base);
                                          t.startRun();
                                          emit t.factory.root->message(QStringLiteral(
                                              "Unable to download mac/Resources/stale.dat"));
                                          t.factory.root->fail();
                                      },
                                      "Unable to download mac/Resources/stale.dat"},
                      FailureLogCase {"ErrorBoxThenFailure",
                                      [](MainWindowTest &base) {
                                          auto &t = static_cast<MainWindowFailureLogTest &>(base);
                                          t.startRun();
                                          QPointer<FakeTask> root = t.factory.root;
                                          emit root->error(
                                              QStringLiteral("Signature check failed for pre.sh"));
                                          // The error box opens from the event loop.
                                          QTest::qWait(200);
                                          root->fail();
                                      },
                                      "Signature check failed for pre.sh"}),
    [](const ::testing::TestParamInfo<FailureLogCase> &info) {
        return std::string(info.param.name);
    });

// The questions are rich text; the log holds what the user reads in the box: its plain text,
// one entry per paragraph, no tags or entities.
struct QuestionLogCase
{
    const char *name;
    std::function<void(MainWindowTest &)> ask;
    QStringList read; // the paragraphs, as the box shows them
};

void PrintTo(const QuestionLogCase &c, std::ostream *os)
{
    *os << c.name;
}

class MainWindowQuestionLogTest : public MainWindowTest,
                                  public ::testing::WithParamInterface<QuestionLogCase>
{
public:
    using MainWindowTest::startRun;
    using MainWindowTest::window;
};

TEST_P(MainWindowQuestionLogTest, QuestionIsLoggedAsThePlainTextShown)
{
    const QuestionLogCase &c = GetParam();
    UpdateLogFile log(env.tempDir());
    ASSERT_TRUE(log.enabled());
    ModalBoxCloser closer(QMessageBox::No);
    c.ask(*this);
    ASSERT_EQ(closer.boxes().size(), 1);

    const QStringList logged = log.infoTexts();
    for (const QString &paragraph : c.read)
        EXPECT_TRUE(logged.contains(paragraph))
            << paragraph.toStdString() << " not in " << logged.join(" | ").toStdString();
    for (const QString &text : logged) {
        EXPECT_FALSE(text.contains(QLatin1Char('<'))) << text.toStdString();
        EXPECT_FALSE(text.contains(QLatin1Char('&'))) << text.toStdString();
    }
    const QRegularExpression entry(QStringLiteral(
        "^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{3}\t\\|\t(Debug|Info|Warning)\t\\|\t"));
    for (const QString &line : log.lines())
        EXPECT_TRUE(entry.match(line).hasMatch()) << line.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Questions, MainWindowQuestionLogTest,
    ::testing::Values(QuestionLogCase {"Abort",
                                       [](MainWindowTest &base) {
                                           auto &t = static_cast<MainWindowQuestionLogTest &>(base);
                                           t.startRun();
                                           EXPECT_FALSE(t.window->close());
                                       },
                                       {QStringLiteral("Update in progress."),
                                        QStringLiteral("Are you sure you want to abort?")}},
                      QuestionLogCase {
                          "Restart",
                          [](MainWindowTest &base) {
                              auto &t = static_cast<MainWindowQuestionLogTest &>(base);
                              t.startRun();
                              MainWindow *w = t.window.get();
                              EXPECT_EQ(exitCodeOf([w]() {
                                            QMetaObject::invokeMethod(w, "onRebootWithConfirmation",
                                                                      Qt::QueuedConnection);
                                        }),
                                        0);
                          },
                          {QStringLiteral("A computer restart is required to proceed with the "
                                          "client update. If you do not reboot now, the Quorvelin "
                                          "update will be cancelled."),
                           QStringLiteral("Do you want to reboot now?")}}),
    [](const ::testing::TestParamInfo<QuestionLogCase> &info) {
        return std::string(info.param.name);
    });

class UrlRecorder : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> urls;

public slots:
    void open(const QUrl &url) { urls.append(url); }
};

TEST(UrlClickLabelTest, AnyButtonOpensTheAddress)
{
    UrlRecorder recorder;
    QDesktopServices::setUrlHandler(QStringLiteral("qvxtest"), &recorder, "open");
    UrlClickLabel label;
    label.setUrl(QStringLiteral("qvxtest://maker/page"));
    label.resize(50, 20);
    label.show();
    QTest::mouseClick(&label, Qt::LeftButton);
    QTest::mouseClick(&label, Qt::RightButton);
    QDesktopServices::unsetUrlHandler(QStringLiteral("qvxtest"));
    ASSERT_EQ(recorder.urls.size(), 2);
    EXPECT_EQ(recorder.urls[0], QUrl(QStringLiteral("qvxtest://maker/page")));
}

} // namespace

#include "test_mainwindow.moc"
