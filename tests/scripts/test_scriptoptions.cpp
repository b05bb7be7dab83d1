// The scripts settle their options before they install or build anything, so these runs are quick.
#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/types.h>

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

// The tools' scripts run in a sandbox: their own build folder and temporary folder, and a cmake
// and a compiler of their own that note each call. Without QVX_FAKE_PROGRAM those fail; with it,
// what they "build" is that program, except that the compiler fails where its arguments hold
// QVX_FAKE_CXX_FAILS, and where they hold QVX_FAKE_CXX_STALLS it starts a linker that runs on,
// as a compiler driver does, and waits for it; both name their processes in the temporary folder.
class ToolScriptTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sandbox.isValid());
        ASSERT_TRUE(QDir().mkpath(tmpDir()));
        ASSERT_TRUE(QDir().mkpath(sandbox.filePath("bin")));
        writeProgram(sandbox.filePath("bin/cmake"),
                     "#!/bin/sh\n"
                     "echo \"cmake $*\" >>\"$QVX_FAKE_CALLS\"\n"
                     "[ -n \"${QVX_FAKE_PROGRAM:-}\" ] || exit 1\n"
                     "[ \"$1\" = --build ] || exit 0\n"
                     "[ \"$4\" = qvx_bench ] || exit 1\n"
                     "mkdir -p \"$2/bench\" && cp \"$QVX_FAKE_PROGRAM\" \"$2/bench/qvx_bench\"\n");
        writeProgram(sandbox.filePath("bin/fakecxx"),
                     "#!/bin/sh\n"
                     "echo \"cxx $*\" >>\"$QVX_FAKE_CALLS\"\n"
                     "[ -n \"${QVX_FAKE_PROGRAM:-}\" ] || exit 1\n"
                     "case \"$*\" in *\"${QVX_FAKE_CXX_FAILS:-no such source}\"*) exit 1 ;; esac\n"
                     "note() {\n"
                     "    dir=$(mktemp -d \"${TMPDIR:-/tmp}/runningXXXXXX\")\n"
                     "    echo $1 >\"$dir/pid.part\" && mv \"$dir/pid.part\" \"$dir/pid\"\n"
                     "}\n"
                     "case \"$*\" in *\"${QVX_FAKE_CXX_STALLS:-no such source}\"*)\n"
                     "    sleep 600 & note $!; note $$; wait; exit 1 ;;\n"
                     "esac\n"
                     "while [ $# -gt 0 ]; do [ \"$1\" != -o ] || out=$2; shift; done\n"
                     "cp \"$QVX_FAKE_PROGRAM\" \"$out\"\n");
        // A seed maker makes its folder and marks it complete (with QVX_FAKE_SEEDGEN_STALLS it
        // runs on before that); a fuzzer stops, as libFuzzer does, at a corpus folder that is
        // not there. A fuzzer notes its run, then, as a harness does, makes a folder in TMPDIR
        // or exits 3 (so does the target named by QVX_FAKE_CANNOT_START); the target named by
        // QVX_FAKE_FAULT writes an input that shows a fault, as libFuzzer does, and exits 1.
        // Then, unless QVX_FAKE_RUN_ONCE is set, a fuzzer or a benchmark runs on.
        // A program that runs on makes a folder where its temporary files belong and names its
        // process there, until it is stopped.
        writeProgram(
            sandbox.filePath("program"),
            "#!/bin/sh\n"
            "run_on() {\n"
            "    mkdir -p \"$1\" && dir=$(mktemp -d \"$1/runningXXXXXX\")\n"
            "    echo $$ >\"$dir/pid.part\" && mv \"$dir/pid.part\" \"$dir/pid\"\n"
            "    exec sleep 600\n"
            "}\n"
            "case $0 in */seedgen)\n"
            "    mkdir -p \"$2\"\n"
            "    [ -z \"${QVX_FAKE_SEEDGEN_STALLS:-}\" ] || run_on \"${TMPDIR:-/tmp}\"\n"
            "    : >\"$2/complete\"; exit 0 ;;\n"
            "esac\n"
            "case $0 in */fuzz_*) for a; do case $a in -*) ;; *)\n"
            "    [ -d \"$a\" ] || { echo \"no folder $a\" >&2; exit 1; } ;; esac; done ;; esac\n"
            "case $0 in */fuzz_*)\n"
            "    name=${0##*/fuzz_}\n"
            "    echo \"run $name\" >>\"$QVX_FAKE_CALLS\"\n"
            "    if [ \"$name\" = \"${QVX_FAKE_CANNOT_START:-}\" ] ||\n"
            "        ! dir=$(mktemp -d \"${TMPDIR:-/tmp}/harnessXXXXXX\"); then\n"
            "        echo \"fuzz_$name: cannot make a folder in '${TMPDIR:-/tmp}'\" >&2; exit 3\n"
            "    fi\n"
            "    rmdir \"$dir\"\n"
            "    if [ \"$name\" = \"${QVX_FAKE_FAULT:-}\" ]; then\n"
            "        for a; do case $a in -artifact_prefix=*) prefix=${a#*=} ;; esac; done\n"
            "        : >\"${prefix}crash-1\"; echo \"Test unit written to ${prefix}crash-1\"\n"
            "        exit 1\n"
            "    fi ;;\n"
            "esac\n"
            "[ -z \"${QVX_FAKE_RUN_ONCE:-}\" ] || exit 0\n"
            "work=${TMPDIR:-/tmp}\n"
            "while [ $# -gt 0 ]; do [ \"$1\" != --work ] || work=$2; shift; done\n"
            "run_on \"$work\"\n");
    }

    void TearDown() override { reset(); }

    // What a case left behind goes before the next one starts.
    void reset()
    {
        for (const qint64 pid : programs) {
            if (::kill(pid_t(pid), 0) == 0)
                ::kill(pid_t(pid), SIGKILL);
        }
        programs.clear();
        QDir(buildDir()).removeRecursively();
        QDir(tmpDir()).removeRecursively();
        QDir().mkpath(tmpDir());
        QFile::remove(callsFile());
    }

    QString tmpDir() const { return sandbox.filePath("tmp"); }
    QString buildDir() const { return sandbox.filePath("build"); }
    QString callsFile() const { return sandbox.filePath("calls"); }

    static void writeProgram(const QString &path, const QByteArray &text)
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
        ASSERT_EQ(file.write(text), text.size());
        file.close();
        ASSERT_TRUE(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                        | QFileDevice::ExeOwner));
    }

    void start(QProcess *process, const char *script, const QStringList &args, bool builds,
               const QStringList &extraEnvironment = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TMPDIR", tmpDir());
        env.insert("FUZZ_BUILD", buildDir());
        env.insert("QVX_BENCH_BUILD_DIR", buildDir());
        env.insert("CXX", sandbox.filePath("bin/fakecxx"));
        env.insert("PATH", sandbox.filePath("bin") + ':' + env.value("PATH"));
        env.insert("QVX_FAKE_CALLS", callsFile());
        env.remove("QVX_FAKE_PROGRAM");
        if (builds)
            env.insert("QVX_FAKE_PROGRAM", sandbox.filePath("program"));
        for (const QString &setting : extraEnvironment)
            env.insert(setting.section('=', 0, 0), setting.section('=', 1));
        process->setProcessEnvironment(env);
        process->setWorkingDirectory(sandbox.path());
        process->start(QStringLiteral(QVX_SOURCE_DIR "/") + script, args);
    }

    std::string leftInTmp() const
    {
        QStringList left;
        QDirIterator it(tmpDir(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            left << it.next();
        return left.join(' ').toStdString();
    }

    // The processes of the programs that run, once there are as many as expected.
    bool waitForPrograms(QProcess *process, int count)
    {
        for (;;) {
            programs.clear();
            QDirIterator it(tmpDir(), {"pid"}, QDir::Files, QDirIterator::Subdirectories);
            while (it.hasNext()) {
                QFile file(it.next());
                if (file.open(QIODevice::ReadOnly))
                    programs << file.readAll().trimmed().toLongLong();
            }
            if (programs.size() >= count)
                return true;
            if (process->waitForFinished(50) || process->state() == QProcess::NotRunning)
                return false;
        }
    }

    QTemporaryDir sandbox;
    QList<qint64> programs;
};

TEST_F(ToolScriptTest, HelpAndBadOptionsEndBeforeAnythingIsBuilt)
{
    const struct
    {
        const char *script;
        QStringList args;
        int exitCode;
        const char *error; // the first line on stderr; none: the usage goes to stdout
    } cases[] = {
        {"fuzz/run", {"--help"}, 0, nullptr},
        {"fuzz/run", {"-h"}, 0, nullptr},
        {"fuzz/run", {"30", "container", "--help"}, 0, nullptr},
        {"fuzz/run", {"--bogus"}, 2, "fuzz/run: unknown option '--bogus'"},
        {"fuzz/run", {"30", "-x"}, 2, "fuzz/run: unknown option '-x'"},
        {"fuzz/run", {"abc"}, 2, "fuzz/run: SECONDS must be a number above 0, not 'abc'"},
        {"fuzz/run", {"0"}, 2, "fuzz/run: SECONDS must be a number above 0, not '0'"},
        {"fuzz/run", {"-5"}, 2, "fuzz/run: unknown option '-5'"},
        {"fuzz/run", {"30", "nosuch"}, 2, "fuzz/run: unknown target 'nosuch'"},
        {"bench/run", {"--help"}, 0, nullptr},
        {"bench/run", {"-h"}, 0, nullptr},
        {"bench/run", {"--size", "8", "--help"}, 0, nullptr},
        {"bench/run", {"--bogus"}, 2, "bench/run: unknown option '--bogus'"},
        {"bench/run", {"8"}, 2, "bench/run: unknown option '8'"},
        {"bench/run", {"--size", "x"}, 2, "bench/run: --size must be a number above 0, not 'x'"},
        {"bench/run",
         {"--size", "1.5"},
         2,
         "bench/run: --size must be a number above 0, not '1.5'"},
        {"bench/run",
         {"--repeat", "0"},
         2,
         "bench/run: --repeat must be a number above 0, not '0'"},
        {"bench/run", {"--size"}, 2, "bench/run: --size needs a value"},
        {"bench/run", {"--keep", "--work"}, 2, "bench/run: --work needs a value"},
    };
    for (const auto &c : cases) {
        const std::string what = std::string(c.script) + " " + c.args.join(' ').toStdString();
        reset();
        QProcess process;
        start(&process, c.script, c.args, false);
        ASSERT_TRUE(process.waitForFinished(60000)) << what << ": ran on";
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit) << what;
        EXPECT_EQ(process.exitCode(), c.exitCode) << what;
        const QByteArray out = process.readAllStandardOutput();
        const QByteArray err = process.readAllStandardError();
        const QByteArray usage = "usage: " + QByteArray(c.script) + " [";
        if (c.error) {
            EXPECT_TRUE(err.startsWith(QByteArray(c.error) + "\n" + usage))
                << what << ": " << err.constData();
            EXPECT_TRUE(out.isEmpty()) << what << ": " << out.constData();
        } else {
            EXPECT_TRUE(out.startsWith(usage)) << what << ": " << out.constData();
            EXPECT_TRUE(out.contains("-h, --help")) << what;
            EXPECT_TRUE(err.isEmpty()) << what << ": " << err.constData();
        }
        EXPECT_FALSE(QFile::exists(callsFile())) << what << ": built";
        // The section whose cost does not follow --size is named with its cost.
        if (!c.error && QByteArray(c.script) == "bench/run") {
            EXPECT_TRUE(out.contains("about 3 minutes and 4 GB"))
                << what << ": " << out.constData();
        }
        EXPECT_FALSE(QFile::exists(buildDir())) << what << ": made its build folder";
        EXPECT_EQ(leftInTmp(), "") << what;
    }
}

// A run that is stopped stops what it started and leaves no temporary file behind.
TEST_F(ToolScriptTest, AnInterruptedRunLeavesNothingInTheTemporaryFolder)
{
    // While it builds, the linker that a compiler driver started runs too.
    const QString building = "QVX_FAKE_CXX_STALLS=fuzz_container.cpp";
    const struct
    {
        const char *script;
        QStringList args;
        QStringList environment;
        int programs;
        int signal;
    } cases[] = {
        {"fuzz/run", {"300", "container", "lzma2block"}, {}, 2, SIGTERM},
        {"fuzz/run", {"300", "container", "lzma2block"}, {}, 2, SIGINT},
        {"fuzz/run", {"300", "container", "lzma2block"}, {}, 2, SIGHUP},
        {"fuzz/run", {"300", "container"}, {building}, 2, SIGTERM},
        {"fuzz/run", {"300", "container"}, {building}, 2, SIGINT},
        {"fuzz/run", {"300", "container"}, {building}, 2, SIGHUP},
        {"bench/run", {"--size", "1"}, {}, 1, SIGTERM},
        {"bench/run", {"--size", "1"}, {}, 1, SIGINT},
    };
    for (const auto &c : cases) {
        const std::string what = std::string(c.script) + " " + c.environment.join(' ').toStdString()
            + " " + strsignal(c.signal);
        reset();
        QProcess process;
        start(&process, c.script, c.args, true, c.environment);
        ASSERT_TRUE(waitForPrograms(&process, c.programs))
            << what << ": " << process.readAllStandardError().constData();
        ::kill(pid_t(process.processId()), c.signal);
        ASSERT_TRUE(process.waitForFinished(60000)) << what << ": ran on";
        // Ended as the signal ends a program, so that a calling shell stops too.
        EXPECT_EQ(process.exitStatus(), QProcess::CrashExit) << what;
        EXPECT_EQ(process.exitCode(), c.signal) << what;
        for (const qint64 pid : programs)
            EXPECT_NE(::kill(pid_t(pid), 0), 0) << what << ": " << pid << " runs on";
        EXPECT_EQ(leftInTmp(), "") << what;
    }
}

// A build folder named relative to where the run starts serves as well as an absolute one.
TEST_F(ToolScriptTest, FuzzRunTakesARelativeBuildFolder)
{
    QProcess process;
    start(&process, "fuzz/run", {"5", "container"}, true,
          {"FUZZ_BUILD=build", "QVX_FAKE_RUN_ONCE=1"});
    ASSERT_TRUE(process.waitForFinished(60000)) << "ran on";
    const QByteArray err = process.readAllStandardError();
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 0) << err.constData();
    EXPECT_TRUE(err.isEmpty()) << err.constData();
    EXPECT_TRUE(QFileInfo(buildDir() + "/corpus/container").isDir());
    EXPECT_FALSE(QFile::exists(buildDir() + "/fuzz_container.failed"));
    EXPECT_EQ(leftInTmp(), "");
}

// Seeds cut short by an interrupted run are made anew by the next one.
TEST_F(ToolScriptTest, FuzzRunMakesAnewTheSeedsOfAnInterruptedRun)
{
    QProcess first;
    start(&first, "fuzz/run", {"5", "container"}, true, {"QVX_FAKE_SEEDGEN_STALLS=1"});
    ASSERT_TRUE(waitForPrograms(&first, 1)) << first.readAllStandardError().constData();
    first.terminate();
    ASSERT_TRUE(first.waitForFinished(60000)) << "ran on";

    QProcess second;
    start(&second, "fuzz/run", {"5", "container"}, true, {"QVX_FAKE_RUN_ONCE=1"});
    ASSERT_TRUE(second.waitForFinished(60000)) << "ran on";
    EXPECT_EQ(second.exitCode(), 0) << second.readAllStandardError().constData();
    EXPECT_TRUE(QFile::exists(buildDir() + "/seeds/complete"));
    EXPECT_EQ(leftInTmp(), "");
}

// A harness that does not build ends the run before any fuzzer starts, instead of being
// reported as a target that found a fault.
TEST_F(ToolScriptTest, FuzzRunStopsWhenAHarnessDoesNotBuild)
{
    QProcess process;
    start(&process, "fuzz/run", {"5", "container", "lzma2block"}, true,
          {"QVX_FAKE_CXX_FAILS=fuzz_container.cpp", "QVX_FAKE_RUN_ONCE=1"});
    ASSERT_TRUE(process.waitForFinished(60000)) << "ran on";
    const QByteArray err = process.readAllStandardError();
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_NE(process.exitCode(), 0);
    EXPECT_FALSE(err.contains("FAILED")) << err.constData();
    EXPECT_FALSE(QFile::exists(buildDir() + "/fuzz_lzma2block.log"));
    EXPECT_EQ(leftInTmp(), "");
}

// Each target ends as what it is: a harness that cannot start (also one whose temporary folder,
// named relative to where the run starts, is not found from the build folder) is no fault found.
TEST_F(ToolScriptTest, FuzzRunReportsHowEachTargetEnded)
{
    const struct
    {
        const char *what;
        QStringList environment;
        int exitCode;
        QString error; // how stderr starts
        bool failedFile;
    } cases[] = {
        {"a relative TMPDIR", {"TMPDIR=tmp"}, 0, "", false},
        {"a harness that cannot start",
         {"QVX_FAKE_CANNOT_START=container"},
         3,
         "fuzz/run: container could not start: fuzz_container: cannot make a folder in '",
         false},
        {"a fault found",
         {"QVX_FAKE_FAULT=container"},
         1,
         "FAILED container: " + buildDir() + "/artifacts/container/crash-1 (log: ",
         true},
    };
    for (const auto &c : cases) {
        reset();
        QProcess process;
        start(&process, "fuzz/run", {"5", "container", "lzma2block"}, true,
              c.environment + QStringList {"QVX_FAKE_RUN_ONCE=1"});
        ASSERT_TRUE(process.waitForFinished(60000)) << c.what << ": ran on";
        const QByteArray err = process.readAllStandardError();
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit) << c.what;
        EXPECT_EQ(process.exitCode(), c.exitCode) << c.what << ": " << err.constData();
        if (c.error.isEmpty()) {
            EXPECT_TRUE(err.isEmpty()) << c.what << ": " << err.constData();
        } else {
            EXPECT_TRUE(err.startsWith(c.error.toUtf8())) << c.what << ": " << err.constData();
        }
        EXPECT_EQ(err.count("\n"), c.error.isEmpty() ? 0 : 1) << c.what << ": " << err.constData();
        EXPECT_EQ(QFile::exists(buildDir() + "/fuzz_container.failed"), c.failedFile) << c.what;
        EXPECT_FALSE(QFile::exists(buildDir() + "/fuzz_lzma2block.failed")) << c.what;
        QFile calls(callsFile());
        ASSERT_TRUE(calls.open(QIODevice::ReadOnly)) << c.what;
        EXPECT_TRUE(calls.readAll().contains("run lzma2block\n")) << c.what;
        EXPECT_EQ(leftInTmp(), "") << c.what;
    }
}

// A target named twice is built and run once, in the place where it was first named.
TEST_F(ToolScriptTest, FuzzRunRunsEachTargetOnce)
{
    const struct
    {
        QStringList args;
        QStringList targets;
    } cases[] = {
        {{"5", "container", "container"}, {"container"}},
        {{"5", "container", "lzma2block", "container"}, {"container", "lzma2block"}},
        {{"5", "lzma2block", "container", "lzma2block", "lzma2block"}, {"lzma2block", "container"}},
    };
    for (const auto &c : cases) {
        const std::string what = c.args.join(' ').toStdString();
        reset();
        QProcess process;
        start(&process, "fuzz/run", c.args, true, {"QVX_FAKE_RUN_ONCE=1"});
        ASSERT_TRUE(process.waitForFinished(60000)) << what << ": ran on";
        EXPECT_EQ(process.exitCode(), 0)
            << what << ": " << process.readAllStandardError().constData();
        // One summary line per target, in order.
        QStringList reported;
        for (const QByteArray &line : process.readAllStandardOutput().split('\n')) {
            if (!line.isEmpty())
                reported << QString::fromUtf8(line.left(line.indexOf(':')));
        }
        EXPECT_EQ(reported.join(' ').toStdString(), c.targets.join(' ').toStdString()) << what;
        QFile calls(callsFile());
        ASSERT_TRUE(calls.open(QIODevice::ReadOnly)) << what;
        const QByteArray log = calls.readAll();
        for (const QString &target : c.targets) {
            const QByteArray name = target.toUtf8();
            EXPECT_EQ(log.count("fuzz/fuzz_" + name + ".cpp"), 1)
                << what << ": " << target.toStdString();
            EXPECT_EQ(log.count("run " + name + "\n"), 1) << what << ": " << target.toStdString();
        }
    }
}

#ifdef QVX_BENCH_PROGRAM
// The heading of the generated data names the block that is moved, which is smaller than 2 MiB
// for a small --size. Only the heading is read: the benchmark is stopped once it is printed.
TEST(BenchHeading, NamesTheLengthOfTheMovedBlock)
{
    const struct
    {
        const char *size;
        const char *moved;
    } cases[] = {
        {"1", "(moved 128 KiB block, "},
        {"9", "(moved 1152 KiB block, "},
        {"16", "(moved 2 MiB block, "},
        {"40", "(moved 2 MiB block, "},
    };
    for (const auto &c : cases) {
        QTemporaryDir work;
        ASSERT_TRUE(work.isValid());
        QProcess process;
        process.start(QStringLiteral(QVX_BENCH_PROGRAM),
                      {"--size", c.size, "--repeat", "1", "--work", work.filePath("bench")});
        QByteArray heading;
        while (heading.isEmpty() && process.waitForReadyRead(60000)) {
            while (process.canReadLine()) {
                const QByteArray line = process.readLine();
                if (line.startsWith("=== ")) {
                    heading = line;
                    break;
                }
            }
        }
        process.terminate();
        process.waitForFinished(60000);
        EXPECT_TRUE(heading.startsWith("=== " + QByteArray(c.size) + " MiB generated: "))
            << c.size << ": " << heading.constData();
        EXPECT_TRUE(heading.contains(c.moved)) << c.size << ": " << heading.constData();
    }
}
#endif

} // namespace
