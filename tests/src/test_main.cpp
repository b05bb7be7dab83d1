// Runs the updater program itself from a client bundle laid out in a temporary folder.
#include "updateinidata.h"
#include "updatertestenv.h"

#include <gtest/gtest.h>

#include <functional>
#include <iostream>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSettings>
#include <QTest>

namespace {

int firstLineWith(const QStringList &lines, const QString &text)
{
    for (int i = 0; i < lines.size(); ++i)
        if (lines[i].contains(text))
            return i;
    return -1;
}

class UpdaterProgramRun : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const QString built = QCoreApplication::applicationDirPath() + "/../src/update";
        if (!QFileInfo(built).isExecutable())
            GTEST_SKIP() << "updater program not built";
        program = env.applicationDir() + "/update";
        ASSERT_TRUE(QFile::copy(built, program));
        ASSERT_TRUE(QFile::setPermissions(program, QFile::permissions(built)));
    }

    void TearDown() override
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }

    void makeFile(const QString &path)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        ASSERT_TRUE(UpdaterTestEnv::writeFile(path, ""));
    }

    // Waits until the program has recorded its session, which it does only after the start-up
    // and the configuration are through and the update has begun.
    bool waitForSession()
    {
        for (int i = 0; i < 300 && process.state() != QProcess::NotRunning; ++i) {
            QTest::qWait(100);
            if (UpdateIniData::get(nullptr, nullptr, nullptr, nullptr))
                return true;
        }
        return false;
    }

    QStringList logLines() const
    {
        const QDir logs(env.tempDir() + "/quorvelin_update_log");
        const QStringList files = logs.entryList(QDir::Files);
        if (files.isEmpty())
            return QStringList();
        QFile file(logs.absoluteFilePath(files.first()));
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
            return QStringList();
        return QString::fromUtf8(file.readAll()).split('\n');
    }

    // Pins the alpha channel, so that no version server is asked; its images lie on a port where
    // nothing listens.
    void pinAlphaChannel()
    {
        QSettings settings(env.configDir() + "/update.ini", QSettings::IniFormat);
        settings.setValue("Channel/alpha", "http://127.0.0.1:1/images/");
        settings.setValue("Channel/alphaRevno", 77);
    }

    UpdaterTestEnv env;
    QString program;
    QProcess process;
};

class UpdaterProgramTest : public UpdaterProgramRun, public ::testing::WithParamInterface<bool>
{ };

TEST_P(UpdaterProgramTest, StartUpClearsLeftoversThenStartsTheUpdate)
{
    const bool logging = GetParam();
    const QString base = env.sharedSupport();
    if (logging)
        makeFile(env.tempDir() + "/qvx_update_log");
    makeFile(base + "/_old_update");
    makeFile(base + "/old/_old_libQtCore.so.4");
    makeFile(base + "/imageformats/_old_libqgif.so");
    makeFile(env.tempDir() + "/qvx_force_update");
    pinAlphaChannel();

    process.start(program, QStringList());
    ASSERT_TRUE(process.waitForStarted(10000));
    ASSERT_TRUE(waitForSession()) << process.readAllStandardError().constData();

    EXPECT_FALSE(QFile::exists(base + "/_old_update"));
    EXPECT_FALSE(QFileInfo::exists(base + "/old"));
    EXPECT_FALSE(QFile::exists(base + "/imageformats/_old_libqgif.so"));
    EXPECT_FALSE(QFile::exists(env.tempDir() + "/qvx_force_update"));
    int version = 0;
    ASSERT_TRUE(UpdateIniData::get(&version, nullptr, nullptr, nullptr));
    EXPECT_EQ(version, 77);

    QStringList lines = logLines();
    // The record is written just before the engine says so in the log.
    for (int i = 0; logging && i < 50 && firstLineWith(lines, "Starting update") < 0; ++i) {
        QTest::qWait(100);
        lines = logLines();
    }
    if (!logging) {
        EXPECT_TRUE(lines.isEmpty());
        return;
    }
    const QStringList order {
        "Quorvelin updater started", "Removing old files done", "parseCommandLineOptions",
        "delete_force_update_files", "onStartUpdate",           "Update engine initialized"};
    int previous = -1;
    for (const QString &text : order) {
        const int at = firstLineWith(lines, text);
        EXPECT_GT(at, previous) << text.toStdString();
        previous = at;
    }
}

INSTANTIATE_TEST_SUITE_P(Log, UpdaterProgramTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return std::string(info.param ? "WithLog" : "WithoutLog");
                         });

struct LoggingRulesCase
{
    const char *name;
    // Sets the rules up for the program, in env and in the process's environment.
    std::function<void(UpdaterTestEnv &env, QProcessEnvironment &environment)> set;
};

void PrintTo(const LoggingRulesCase &c, std::ostream *os)
{
    *os << c.name;
}

class LoggingRulesTest : public UpdaterProgramRun,
                         public ::testing::WithParamInterface<LoggingRulesCase>
{ };

// Logging rules that every Qt program of the user reads hold no entry back from the updater's
// log, from the very first one on.
TEST_P(LoggingRulesTest, LogHasEveryEntry)
{
    makeFile(env.tempDir() + "/qvx_update_log");
    pinAlphaChannel();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("QT_LOGGING_RULES");
    environment.remove("QT_LOGGING_CONF");
    environment.insert("XDG_CONFIG_HOME", env.path("xdgconfig"));
    GetParam().set(env, environment);
    process.setProcessEnvironment(environment);

    process.start(program, QStringList());
    ASSERT_TRUE(process.waitForStarted(10000));
    ASSERT_TRUE(waitForSession()) << process.readAllStandardError().constData();
    // The download fails at once; the run's last entry says so.
    QStringList lines = logLines();
    for (int i = 0; i < 100 && firstLineWith(lines, "Update cancelled.") < 0; ++i) {
        QTest::qWait(100);
        lines = logLines();
    }
    const QString all = lines.join('\n');
    EXPECT_TRUE(all.contains("\t|\tDebug\t|\tQuorvelin updater started\n")) << all.toStdString();
    EXPECT_TRUE(all.contains("\t|\tInfo\t|\tUnable to download update_macosx.ini._lzma2_\n"));
    EXPECT_TRUE(all.contains("\t|\tInfo\t|\tUpdate cancelled. Push \"Details\" to check reasons."));
    // Qt's own: the window's platform warns when it is shown.
    EXPECT_TRUE(all.contains("\t|\tWarning\t|\t"));
}

INSTANTIATE_TEST_SUITE_P(
    Rules, LoggingRulesTest,
    ::testing::Values(LoggingRulesCase {"EnvironmentOffForAll",
                                        [](UpdaterTestEnv &, QProcessEnvironment &environment) {
                                            environment.insert("QT_LOGGING_RULES", "*=false");
                                        }},
                      LoggingRulesCase {"ConfigurationFileNamed",
                                        [](UpdaterTestEnv &env, QProcessEnvironment &environment) {
                                            const QString file = env.path("rules.ini");
                                            UpdaterTestEnv::writeFile(file, "[Rules]\n*=false\n");
                                            environment.insert("QT_LOGGING_CONF", file);
                                        }},
                      LoggingRulesCase {"UsersQtLoggingIni",
                                        [](UpdaterTestEnv &env, QProcessEnvironment &) {
                                            QDir().mkpath(env.path("xdgconfig/QtProject"));
                                            UpdaterTestEnv::writeFile(
                                                env.path("xdgconfig/QtProject/qtlogging.ini"),
                                                "[Rules]\n*.info=false\n*.warning=false\n");
                                        }}),
    [](const ::testing::TestParamInfo<LoggingRulesCase> &info) {
        return std::string(info.param.name);
    });

} // namespace
