// The scripts settle their options before they install or build anything, so these runs are quick.
#include <gtest/gtest.h>

#include <QProcess>

namespace {

TEST(ScriptTestOptions, HelpAndUnknownOptionsEndBeforeTheSuiteRuns)
{
    const struct
    {
        const char *option;
        int exitCode;
        bool usageOnStdout;
    } cases[] = {
        {"--help", 0, true},
        {"-h", 0, true},
        {"--bogus", 2, false},
        {"quick", 2, false},
    };
    for (const auto &c : cases) {
        QProcess process;
        process.setWorkingDirectory(QStringLiteral(QVX_SOURCE_DIR));
        process.start(QStringLiteral(QVX_SOURCE_DIR "/scripts/test"), {QLatin1String(c.option)});
        ASSERT_TRUE(process.waitForFinished(60000)) << c.option << ": ran on";
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit) << c.option;
        EXPECT_EQ(process.exitCode(), c.exitCode) << c.option;
        const QByteArray out = process.readAllStandardOutput();
        const QByteArray err = process.readAllStandardError();
        const QByteArray &usage = c.usageOnStdout ? out : err;
        const QByteArray &other = c.usageOnStdout ? err : out;
        EXPECT_TRUE(usage.contains("usage: scripts/test [--quick]")) << c.option;
        if (!c.usageOnStdout) {
            EXPECT_TRUE(err.startsWith("test: unknown option '" + QByteArray(c.option) + "'\n"))
                << c.option << err.constData();
        }
        EXPECT_TRUE(other.isEmpty()) << c.option << other.constData();
    }
}

} // namespace
