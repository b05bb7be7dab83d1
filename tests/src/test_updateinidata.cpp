#include "configuration.h"
#include "tmpfs_test_support.h"
#include "updateinidata.h"
#include "updatertestenv.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

#include <gtest/gtest.h>

#include <memory>

namespace {

class UpdateIniDataTest : public ::testing::Test
{
protected:
    QString recordFile() const { return env().sharedSupport() + QStringLiteral("/update.ini"); }
    QString sessionDir() const { return env().path(QStringLiteral("session")); }

    void SetUp() override { onFreshEnv(); }

    UpdaterTestEnv &env() const { return *m_env; }
    // A new tree for each table row, so no settings file is ever rewritten in place.
    void freshEnv()
    {
        m_env.reset();
        m_env = std::make_unique<UpdaterTestEnv>();
        onFreshEnv();
    }
    void onFreshEnv() { ASSERT_TRUE(QDir().mkpath(sessionDir())); }

    std::unique_ptr<UpdaterTestEnv> m_env = std::make_unique<UpdaterTestEnv>();
};

struct Outputs
{
    int version = -7;
    QString type = QStringLiteral("old type");
    QString dir = QStringLiteral("old dir");
    QString qvxdir = QStringLiteral("old qvxdir");
};

} // namespace

TEST_F(UpdateIniDataTest, RecordFileIsInTheSharedSupportFolder)
{
    EXPECT_EQ(QFileInfo(UpdateIniData::iniPath()).absoluteFilePath(),
              QFileInfo(Configuration::getInstallPath() + QStringLiteral("update.ini"))
                  .absoluteFilePath());
    EXPECT_TRUE(QFileInfo(UpdateIniData::iniPath()).isAbsolute());
    EXPECT_EQ(QDir(QFileInfo(UpdateIniData::iniPath()).absolutePath()).canonicalPath(),
              QDir(env().sharedSupport()).canonicalPath());
}

TEST_F(UpdateIniDataTest, OnlyUsableRecordsAreRead)
{
    struct Case
    {
        const char *label;
        QByteArray content; // empty: no file
        bool usable;
        const char *qvxdir;
    } cases[] = {
        {"no file", "", false, ""},
        {"complete", "[current]\nversion=812\ndir=@DIR@\nqvxdir=/client/\ntype=update_macosx\n",
         true, "/client/"},
        {"empty qvxdir", "[current]\nversion=812\ndir=@DIR@\nqvxdir=\ntype=client_macosx\n", true,
         ""},
        {"dir gone", "[current]\nversion=812\ndir=@DIR@-gone\nqvxdir=/c/\ntype=t\n", false, ""},
        {"version not a number", "[current]\nversion=abc\ndir=@DIR@\ntype=t\n", false, ""},
        {"version absent", "[current]\ndir=@DIR@\ntype=t\n", false, ""},
        {"type empty", "[current]\nversion=812\ndir=@DIR@\ntype=\n", false, ""},
        {"dir empty", "[current]\nversion=812\ndir=\ntype=t\n", false, ""},
        {"other group only", "[update]\nversion=812\ndir=@DIR@\ntype=t\n", false, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        freshEnv();
        const QByteArray dir = sessionDir().toUtf8();
        const QByteArray content = QByteArray(c.content).replace("@DIR@", dir);
        if (!c.content.isEmpty()) {
            ASSERT_TRUE(UpdaterTestEnv::writeFile(recordFile(), content));
        }
        Outputs out;
        const Outputs before;
        EXPECT_EQ(UpdateIniData::get(&out.version, &out.type, &out.dir, &out.qvxdir), c.usable);
        EXPECT_EQ(UpdateIniData::get(nullptr, nullptr, nullptr, nullptr), c.usable);
        if (c.usable) {
            EXPECT_EQ(out.version, 812);
            EXPECT_EQ(out.dir, sessionDir());
            EXPECT_EQ(out.qvxdir, QString::fromUtf8(c.qvxdir));
            EXPECT_FALSE(out.type.isEmpty());
        } else {
            EXPECT_EQ(out.version, before.version);
            EXPECT_EQ(out.type, before.type);
            EXPECT_EQ(out.dir, before.dir);
            EXPECT_EQ(out.qvxdir, before.qvxdir);
        }
    }
}

TEST_F(UpdateIniDataTest, ModifyWritesTheRecordAndKeepsOtherGroups)
{
    ASSERT_TRUE(
        UpdaterTestEnv::writeFile(recordFile(),
                                  "[Channel]\nbeta=true\n\n[update]\nstreams=3\nproxy=p:1\n\n"
                                  "[current]\nversion=1\ndir=/old\nqvxdir=/oldc/\ntype=x\n"));
    ASSERT_TRUE(UpdateIniData::modify(905, sessionDir(), QStringLiteral("/client dir/"),
                                      QStringLiteral("update_macosx")));
    int version = 0;
    QString type, dir, qvxdir;
    ASSERT_TRUE(UpdateIniData::get(&version, &type, &dir, &qvxdir));
    EXPECT_EQ(version, 905);
    EXPECT_EQ(type, QStringLiteral("update_macosx"));
    EXPECT_EQ(dir, sessionDir());
    EXPECT_EQ(qvxdir, QStringLiteral("/client dir/"));

    QSettings settings(recordFile(), QSettings::IniFormat);
    EXPECT_TRUE(settings.value(QStringLiteral("Channel/beta")).toBool());
    EXPECT_EQ(settings.value(QStringLiteral("update/streams")).toInt(), 3);
    EXPECT_EQ(settings.value(QStringLiteral("update/proxy")).toString(), QStringLiteral("p:1"));

    // The other groups keep working for the configuration.
    Configuration config;
    config.readUpdateIniSettings();
    EXPECT_EQ(config.streams, 3);
}

TEST_F(UpdateIniDataTest, ModifyReportsAFailedWrite)
{
    // The shared-support folder lies below a plain file, so nothing can be written there.
    ASSERT_TRUE(UpdaterTestEnv::writeFile(env().path(QStringLiteral("blocker")), "x"));
    Configuration::setApplicationDirOverride(env().path(QStringLiteral("blocker/a/b/c")));
    EXPECT_FALSE(UpdateIniData::modify(1, sessionDir(), QString(), QStringLiteral("t")));
    EXPECT_FALSE(UpdateIniData::get(nullptr, nullptr, nullptr, nullptr));
}

TEST_F(UpdateIniDataTest, TempIniCopyIsTypedForStepTwo)
{
    const QString target = env().path(QStringLiteral("staged/SharedSupport"));
    ASSERT_TRUE(QDir().mkpath(target));
    const QString copy = target + QStringLiteral("/update.ini");

    EXPECT_FALSE(UpdateIniData::modifyTempIni(target));
    EXPECT_FALSE(QFileInfo::exists(copy));

    ASSERT_TRUE(UpdateIniData::modify(812, sessionDir(), QStringLiteral("/client/"),
                                      QStringLiteral("update_macosx")));
    ASSERT_TRUE(UpdateIniData::modifyTempIni(target));
    QSettings settings(copy, QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("current"));
    EXPECT_EQ(settings.value(QStringLiteral("version")).toInt(), 812);
    EXPECT_EQ(settings.value(QStringLiteral("dir")).toString(), sessionDir());
    EXPECT_EQ(settings.value(QStringLiteral("qvxdir")).toString(), QStringLiteral("/client/"));
    EXPECT_EQ(settings.value(QStringLiteral("type")).toString(), QStringLiteral("client_macosx"));
    settings.endGroup();

    // The running updater's own record is left as it was.
    QString type;
    ASSERT_TRUE(UpdateIniData::get(nullptr, &type, nullptr, nullptr));
    EXPECT_EQ(type, QStringLiteral("update_macosx"));

    // Step two, started from the staged copy, finds the same session.
    Configuration::setApplicationDirOverride(target + QStringLiteral("/update.app/Contents/MacOS"));
    ASSERT_TRUE(QDir().mkpath(target + QStringLiteral("/update.app/Contents/MacOS")));
    int version = 0;
    QString dir;
    ASSERT_TRUE(UpdateIniData::get(&version, &type, &dir, nullptr));
    EXPECT_EQ(version, 812);
    EXPECT_EQ(type, QStringLiteral("client_macosx"));
    EXPECT_EQ(dir, sessionDir());
}

TEST_F(UpdateIniDataTest, TempIniCopyCarriesTheSettingsGroupsAndNoOthers)
{
    ASSERT_TRUE(
        UpdaterTestEnv::writeFile(recordFile(),
                                  "[Channel]\nalpha=http://images.example/alpha/\nalphaRevno=0\n\n"
                                  "[update]\nproxy=http://proxy.example:8080\nstreams=2\n\n"
                                  "[notes]\nseen=yes\n"));
    ASSERT_TRUE(UpdateIniData::modify(812, sessionDir(), QStringLiteral("/client/"),
                                      QStringLiteral("update_macosx")));
    const QString target = env().path(QStringLiteral("staged/SharedSupport"));
    // Left by an earlier staging: settings that are gone now must not come back.
    ASSERT_TRUE(QDir().mkpath(target));
    ASSERT_TRUE(UpdaterTestEnv::writeFile(target + QStringLiteral("/update.ini"),
                                          "[update]\nstreams=9\nold=1\n"));
    ASSERT_TRUE(UpdateIniData::modifyTempIni(target));

    QSettings copy(target + QStringLiteral("/update.ini"), QSettings::IniFormat);
    EXPECT_EQ(copy.childGroups(), QStringList({"Channel", "current", "update"}));
    copy.beginGroup(QStringLiteral("update"));
    EXPECT_EQ(copy.childKeys(), QStringList({"proxy", "streams"}));
    copy.endGroup();
    EXPECT_EQ(copy.value(QStringLiteral("current/type")).toString(), "client_macosx");

    // Step two, run from the staged copy with no per-user update.ini, has step one's settings.
    Configuration::setApplicationDirOverride(target + QStringLiteral("/update.app/Contents/MacOS"));
    ASSERT_TRUE(QDir().mkpath(target + QStringLiteral("/update.app/Contents/MacOS")));
    Configuration stepTwo;
    stepTwo.readUpdateIniSettings();
    stepTwo.getUpdateChannel();
    EXPECT_EQ(stepTwo.proxy, QStringLiteral("http://proxy.example:8080"));
    EXPECT_EQ(stepTwo.streams, 2);
    EXPECT_EQ(stepTwo.channel, 2);
    EXPECT_EQ(Configuration::getImageServerUrl(), QStringLiteral("http://images.example/alpha/"));
}

// With the disk full a write fails with the system's reason and the file keeps what it had;
// with one page left it is written whole.
TEST_F(UpdateIniDataTest, ARecordWrittenOnAFullDiskIsWholeOrReportedWithTheReason)
{
    const QByteArray settings = "[Channel]\nbeta=true\n\n[update]\nproxy=http://p.example:1\n";
    const struct
    {
        const char *label;
        bool tempCopy;
        qint64 free;
    } cases[] = {
        {"record, disk full", false, 0},
        {"record, one page free", false, 4096},
        {"copy for step two, disk full", true, 0},
        {"copy for step two, one page free", true, 4096},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        freshEnv();
        // The folder written to lies on the small file system, the record read from does not.
        const QString folder = c.tempCopy ? env().path(QStringLiteral("staged/SharedSupport"))
                                          : env().sharedSupport();
        PrivateTmpfs fs(folder, "64k");
        if (!fs.mounted())
            GTEST_SKIP() << "cannot mount a private tmpfs here";
        ASSERT_TRUE(QDir().mkpath(env().applicationDir()));
        const QString file = folder + QStringLiteral("/update.ini");
        if (c.tempCopy) {
            ASSERT_TRUE(UpdateIniData::modify(812, sessionDir(), QStringLiteral("/client/"),
                                              QStringLiteral("update_macosx")));
        }
        ASSERT_TRUE(UpdaterTestEnv::writeFile(file, settings));
        ASSERT_TRUE(fs.fillLeaving(QStringLiteral("filler"), c.free));

        QString reason;
        const bool written = c.tempCopy
            ? UpdateIniData::modifyTempIni(folder, &reason)
            : UpdateIniData::modify(905, sessionDir(), QStringLiteral("/client/"),
                                    QStringLiteral("update_macosx"), &reason);
        QSettings after(file, QSettings::IniFormat);
        EXPECT_TRUE(after.value(QStringLiteral("Channel/beta")).toBool() || c.tempCopy);
        if (c.free == 0) {
            EXPECT_FALSE(written);
            EXPECT_EQ(reason, QStringLiteral("No space left on device"));
            QFile raw(file);
            ASSERT_TRUE(raw.open(QIODevice::ReadOnly));
            EXPECT_EQ(raw.readAll(), settings);
        } else {
            EXPECT_TRUE(written) << reason.toStdString();
            EXPECT_EQ(after.value(QStringLiteral("current/type")).toString(),
                      c.tempCopy ? "client_macosx" : "update_macosx");
            EXPECT_EQ(after.value(QStringLiteral("current/dir")).toString(), sessionDir());
            if (!c.tempCopy) {
                EXPECT_EQ(after.value(QStringLiteral("update/proxy")).toString(),
                          "http://p.example:1");
            }
        }
        EXPECT_EQ(QDir(folder).entryList(QDir::Files | QDir::Hidden),
                  QStringList({"filler", "update.ini"}));
    }
}
