// Whole update runs whose pre- or post-install program is one of the run's downloads: it is
// started only after its bytes passed their check, and a download that fails its check ends the
// run before any command starts.
#include "test_maintask_fixture.h"
#include "test_maintask_support.h"

#include <cctype>

#include <gtest/gtest.h>

using namespace qvxrun;

namespace {

enum class Check { Hash, Signature };
enum class Served { Right, Tampered };

struct ProgramCase
{
    const char *label;
    const char *section; // "preinstall" or "postinstall"
    Check check;
    Served served;
    // Left in the session folder by an earlier run; empty for none.
    const char *leftover;
};

void PrintTo(const ProgramCase &c, std::ostream *os)
{
    *os << c.label;
}

// Writes its name into the file named by its argument.
QByteArray program(const char *name)
{
    return QByteArray("#!/bin/sh\nprintf '%s' ") + name + " > \"${1#--}\"\n";
}

class DownloadedProgramTest : public MainTaskRunTest,
                              public ::testing::WithParamInterface<ProgramCase>
{
public:
    void SetUp() override
    {
        MainTaskRunTest::SetUp();
        if (!builtInKeyIsDevelopmentKey())
            GTEST_SKIP() << "the build embeds another signing key";
        config.clientUpdate = 1;
        ASSERT_TRUE(put(installed("Resources/data.txt"), oldData));
        before = snapshot(env.bundle(), WithModes);
    }

    // Downloads are written without execute bits; on a volume that shows every file as
    // executable (FAT, SMB) only the check stands between a download and its start.
    int runWithExecutableDownloads(const QString &name)
    {
        MainTaskSpecification task(&manager, &config, nullptr, 1.0);
        log.watch(&task, QStringLiteral("main"));
        QObject::connect(&task, &TaskSpecification::message, [&](const QString &text) {
            if (text.startsWith("Downloading ") && text.endsWith(" finished")
                && QFileInfo::exists(session(name)))
                QFile::setPermissions(session(name), QFileDevice::Permissions(0x7755));
        });
        task.execute();
        EXPECT_TRUE(waitUntil([&] { return taskEnded(task); }, 60000));
        return task.state;
    }

    const QByteArray oldData = lines("data v1");
    const QByteArray newData = lines("data v2");
    QMap<QString, QByteArray> before;
};

TEST_P(DownloadedProgramTest, StartsOnlyAProgramThatPassedItsCheck)
{
    const ProgramCase &c = GetParam();
    const QString name = QStringLiteral("tool.sh");
    const QString marker = env.path("marker");
    const QByteArray good = program("good");
    const QByteArray served = c.served == Served::Right ? good : program("evil");
    if (*c.leftover) {
        ASSERT_TRUE(put(session(name), program(c.leftover)));
        ASSERT_TRUE(QFile::setPermissions(session(name), QFileDevice::Permissions(0x7755)));
    }

    const QString size = QString::number(good.size());
    serveProductIni(
        "qvx_client_macosx.ini",
        {
            {"mac/Resources/data.txt", sha512(newData) + "::" + QString::number(newData.size())},
            {"mac/" + name, (c.check == Check::Hash ? sha512(good) : QString()) + "::" + size},
            {QString(c.section) + "/" + name, QStringList({"mac", marker})},
        });
    serve("mac/Resources/data.txt", newData);
    serve("mac/" + name, served);
    serve("mac/" + name + ".sig", signWithDevelopmentKey(good));

    const int state = runWithExecutableDownloads(name);
    const QStringList failures = log.filtered("main message Signature check failed");
    if (c.served == Served::Right) {
        ASSERT_EQ(state, TaskSpecification::Finished) << log.lines.join('\n').toStdString();
        EXPECT_EQ(get(marker), "good");
        EXPECT_EQ(get(installed("Resources/data.txt")), newData);
        EXPECT_TRUE(failures.isEmpty()) << failures.join('\n').toStdString();
    } else {
        ASSERT_EQ(state, TaskSpecification::Failed);
        EXPECT_FALSE(QFileInfo::exists(marker)) << "the program ran: " << get(marker).data();
        EXPECT_EQ(snapshot(env.bundle(), WithModes), before);
        EXPECT_EQ(failures,
                  QStringList("main message Signature check failed for " + session(name)));
        EXPECT_FALSE(QFileInfo::exists(session(name)));
        const QStringList messages = log.filtered("main message");
        EXPECT_FALSE(messages.contains("main message Starting install condition"))
            << messages.join('\n').toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DownloadedProgramTest,
    ::testing::Values(
        ProgramCase {"pre-install program with its hash", "preinstall", Check::Hash, Served::Right,
                     ""},
        ProgramCase {"pre-install program failing its hash", "preinstall", Check::Hash,
                     Served::Tampered, ""},
        ProgramCase {"pre-install program with its signature", "preinstall", Check::Signature,
                     Served::Right, ""},
        ProgramCase {"pre-install program failing its signature", "preinstall", Check::Signature,
                     Served::Tampered, ""},
        ProgramCase {"post-install program with its hash", "postinstall", Check::Hash,
                     Served::Right, ""},
        ProgramCase {"post-install program failing its hash", "postinstall", Check::Hash,
                     Served::Tampered, ""},
        // A continued session fetches the program again rather than start what it finds.
        ProgramCase {"other bytes left by an earlier run", "preinstall", Check::Hash, Served::Right,
                     "leftover"},
        ProgramCase {"other bytes left by an earlier run, unsigned", "preinstall", Check::Signature,
                     Served::Right, "leftover"},
        ProgramCase {"other bytes left by an earlier run and served again", "preinstall",
                     Check::Hash, Served::Tampered, "leftover"}),
    [](const ::testing::TestParamInfo<ProgramCase> &info) {
        std::string name = info.param.label;
        for (char &c : name)
            c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    });

} // namespace
