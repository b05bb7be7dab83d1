// Runs the updater program itself from a client bundle laid out in a temporary folder.
#include "updateinidata.h"
#include "updatertestenv.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
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

class UpdaterProgramTest : public ::testing::TestWithParam<bool>
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

    UpdaterTestEnv env;
    QString program;
    QProcess process;
};

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
    // The alpha channel pins the version, so no version server is asked; its images lie on a
    // port where nothing listens.
    {
        QSettings settings(env.configDir() + "/update.ini", QSettings::IniFormat);
        settings.setValue("Channel/alpha", "http://127.0.0.1:1/images/");
        settings.setValue("Channel/alphaRevno", 77);
    }

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

} // namespace
