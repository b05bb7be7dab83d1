#include "asuser_test_support.h"
#include "configuration.h"
#include "tmpfs_test_support.h"
#include "updateinidata.h"
#include "updateinifile.h"
#include "updatertestenv.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QSettings>

#include <gtest/gtest.h>

#include <cctype>
#include <memory>
#include <ostream>

#include <sys/stat.h>
#ifdef __linux__
#include <sys/sysmacros.h>
#endif
#include <unistd.h>

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

namespace {

enum class Op { Write, Drop, Stage };
// What lies at the path written (the staged copy for Stage): the linked files are inside the
// bundle but for the one outside.
enum class Kind {
    File,
    None,
    Fifo,
    Folder,
    Device,
    LinkInside,
    LinkOutside,
    LinkToDevice,
    LinkToFifo,
    LinkDangling
};
// Who runs the change, and whose file it is: root's own, or an ordinary user with a file of
// their own or of root's, in a folder of the user's.
enum class Runner { Root, User, UserWithRootsFile, RootWithUsersFile };

struct FileCase
{
    const char *label;
    Op op;
    Kind kind;
    QByteArray before; // the file's content; for Stage the source's
    const char *after; // expected content; null: no file
    const char *reason = nullptr; // a refusal: nothing may change
    mode_t mode = 0644;
    Runner runner = Runner::Root;
    mode_t umask = 022;
};

#define REC_LAST "dir=@DIR@\nqvxdir=/c/\ntype=update_macosx\nversion=905"
#define REC REC_LAST "\n"
#define STAGED "dir=@DIR@\nqvxdir=/c/\ntype=client_macosx\nversion=905\n"
#define BOM "\xef\xbb\xbf"

const FileCase fileCases[] = {
    {"new file", Op::Write, Kind::None, "", "[current]\n" REC},
    {"new file under umask 077", Op::Write, Kind::None, "", "[current]\n" REC, nullptr, 0600,
     Runner::Root, 077},
    {"new file under umask 002", Op::Write, Kind::None, "", "[current]\n" REC, nullptr, 0664,
     Runner::Root, 002},
    {"comments, blank lines, repeated keys, ';', '#' and raw UTF-8 stay", Op::Write, Kind::File,
     "; mine\n\n[Channel]\nbeta=true\ndup=first\ndup=second\nsemi=a;b\n#x=1\nname=Zo\xc3\xab\n",
     "; mine\n\n[Channel]\nbeta=true\ndup=first\ndup=second\nsemi=a;b\n#x=1\nname=Zo\xc3\xab\n"
     "[current]\n" REC},
    {"an old record is replaced where it stands", Op::Write, Kind::File,
     "[Channel]\nbeta=true\n\n[current]\nversion=1\ndir=/old\n; note\nqvxdir=/o/\ntype=x\n\n"
     "[update]\nproxy=p:1\n",
     "[Channel]\nbeta=true\n\n[current]\n" REC "; note\n\n[update]\nproxy=p:1\n"},
    {"CRLF", Op::Write, Kind::File, "[update]\r\nproxy=p:1\r\n",
     "[update]\r\nproxy=p:1\r\n[current]\r\ndir=@DIR@\r\nqvxdir=/c/\r\ntype=update_macosx\r\n"
     "version=905\r\n"},
    {"CR only", Op::Write, Kind::File, "[update]\rproxy=p:1\r",
     "[update]\rproxy=p:1\r[current]\rdir=@DIR@\rqvxdir=/c/\rtype=update_macosx\rversion=905\r"},
    // The file still ends without a line end, so that the drop leaves it as it was.
    {"last line without a line end", Op::Write, Kind::File, "[update]\nproxy=p:1",
     "[update]\nproxy=p:1\n[current]\n" REC_LAST},
    {"BOM and non-ASCII values", Op::Write, Kind::File, BOM "[Channel]\nname=Zo\xc3\xab\n",
     BOM "[Channel]\nname=Zo\xc3\xab\n[current]\n" REC},
    {"keys QSettings would write otherwise", Op::Write, Kind::File,
     "a//b=1\n/x=2\n=3\n[update/]\ns=1\n[]\nt=2\ngarbage\n",
     "a//b=1\n/x=2\n=3\n[update/]\ns=1\n[]\nt=2\ngarbage\n[current]\n" REC},
    {"an open quote takes the rest of the file", Op::Write, Kind::File,
     "[Channel]\ntitle=6\" screen\n[update]\nproxy=p:1\n",
     "[current]\n" REC "[General]\n[Channel]\ntitle=6\" screen\n[update]\nproxy=p:1\n"},
    {"several groups that QSettings reads as the record's", Op::Write, Kind::File,
     "[current]\nversion=1\n[update]\nproxy=p\n[ current ]\ntype=y\n[%63urrent]\ndir=/z\n"
     "[Current]\nversion=4\n",
     "[current]\n" REC "[update]\nproxy=p\n[Current]\nversion=4\n"},
    {"record keys at the top level", Op::Write, Kind::File,
     "current\\version=3\n[update]\nproxy=p\n", "[update]\nproxy=p\n[current]\n" REC},
    {"record header without a line end", Op::Write, Kind::File, "[update]\nproxy=p\n[current]",
     "[update]\nproxy=p\n[current]\n[current]\n" REC_LAST},
    {"record only: the file goes", Op::Drop, Kind::File, "[current]\n" REC, nullptr},
    {"record and blank lines: the file goes", Op::Drop, Kind::File, "\n[current]\n" REC " \n\n",
     nullptr},
    {"BOM and record: the file goes", Op::Drop, Kind::File, BOM "[current]\n" REC, nullptr},
    {"a comment stays", Op::Drop, Kind::File, ";proxy=10.1.2.3:3128\n[current]\n" REC,
     ";proxy=10.1.2.3:3128\n"},
    {"the other groups stay", Op::Drop, Kind::File,
     "[Channel]\nbeta=true\n[current]\n" REC "; after\n[update]\nproxy=p\n",
     "[Channel]\nbeta=true\n; after\n[update]\nproxy=p\n"},
    {"no record: untouched", Op::Drop, Kind::File, "[update]\nproxy=p\n", "[update]\nproxy=p\n"},
    {"no file", Op::Drop, Kind::None, "", nullptr},
    {"staged: the settings groups as they stand", Op::Stage, Kind::None,
     BOM "; top\nupdate\\streams=2\n[Channel]\nalpha=http://a/\nname=Zo\xc3\xab\n\n[notes]\n"
         "seen=yes\n[update]\nproxy=\"a,b\"\n[update/sub]\nx=1\n[current]\n" REC,
     BOM "\nupdate\\streams=2\n[Channel]\nalpha=http://a/\nname=Zo\xc3\xab\n\n[update]\n"
         "proxy=\"a,b\"\n[update/sub]\nx=1\n[current]\n" STAGED},
    {"staged over a FIFO", Op::Stage, Kind::Fifo, "[current]\n" REC, nullptr,
     "it is a FIFO, not a regular file"},
    {"FIFO", Op::Write, Kind::Fifo, "", nullptr, "it is a FIFO, not a regular file"},
    {"FIFO, dropped", Op::Drop, Kind::Fifo, "", nullptr, "it is a FIFO, not a regular file"},
    {"folder", Op::Write, Kind::Folder, "", nullptr, "Is a directory"},
    {"device", Op::Write, Kind::Device, "", nullptr, "it is a device, not a regular file"},
    {"link to a file in the bundle", Op::Write, Kind::LinkInside, "[update]\nproxy=p\n",
     "[update]\nproxy=p\n[current]\n" REC},
    {"link to a file in the bundle, record dropped: the link keeps a file", Op::Drop,
     Kind::LinkInside, "[current]\n" REC, ""},
    {"link to a file outside the bundle", Op::Write, Kind::LinkOutside, "[update]\nproxy=p\n",
     nullptr, "it is a symbolic link to '@LINKED@', outside '@BUNDLE@'"},
    {"link to a device", Op::Write, Kind::LinkToDevice, "", nullptr,
     "it is a symbolic link to '/dev/null', outside '@BUNDLE@'"},
    {"link to a FIFO in the bundle", Op::Write, Kind::LinkToFifo, "", nullptr,
     "it is a symbolic link to '@LINKED@': it is a FIFO, not a regular file"},
    {"link to nothing", Op::Write, Kind::LinkDangling, "", nullptr,
     "it is a symbolic link to '@LINKED@': No such file or directory"},
    {"larger than any settings file", Op::Write, Kind::File, QByteArray(1 << 20, ';') + "\n",
     nullptr, "the file is larger than 1048576 bytes"},
    {"user's own file", Op::Write, Kind::File, "[update]\nproxy=p\n",
     "[update]\nproxy=p\n[current]\n" REC, nullptr, 0644, Runner::User},
    {"user's new file under umask 077", Op::Write, Kind::None, "", "[current]\n" REC, nullptr, 0600,
     Runner::User, 077},
    {"user's read-only file", Op::Write, Kind::File, "[update]\nproxy=p\n", nullptr,
     "Permission denied", 0444, Runner::User},
    {"user's read-only file, dropped", Op::Drop, Kind::File, "[current]\n" REC, nullptr,
     "Permission denied", 0444, Runner::User},
    {"root's file in the user's folder", Op::Write, Kind::File, "[update]\nproxy=p\n", nullptr,
     "Permission denied", 0644, Runner::UserWithRootsFile},
    {"root's file in the user's folder, dropped", Op::Drop, Kind::File, "[current]\n" REC, nullptr,
     "Permission denied", 0644, Runner::UserWithRootsFile},
    {"root changes the user's file", Op::Write, Kind::File, "[update]\nproxy=p\n",
     "[update]\nproxy=p\n[current]\n" REC, nullptr, 0640, Runner::RootWithUsersFile},
};

#undef REC
#undef REC_LAST
#undef STAGED
#undef BOM

void PrintTo(const FileCase &c, std::ostream *os)
{
    *os << c.label;
}

struct Status
{
    bool exists = false;
    struct stat info;
    QByteArray bytes;

    static Status of(const QString &path)
    {
        Status status;
        status.exists = ::lstat(QFile::encodeName(path).constData(), &status.info) == 0;
        if (status.exists && S_ISREG(status.info.st_mode)) {
            QFile file(path);
            if (file.open(QIODevice::ReadOnly))
                status.bytes = file.readAll();
        }
        return status;
    }

    bool operator==(const Status &other) const
    {
        if (exists != other.exists)
            return false;
        return !exists
            || (info.st_ino == other.info.st_ino && info.st_mode == other.info.st_mode
                && info.st_uid == other.info.st_uid && info.st_gid == other.info.st_gid
                && info.st_mtime == other.info.st_mtime && bytes == other.bytes);
    }
};

// Names that a change may have left anywhere in root.
QStringList leftovers(const QString &root)
{
    QStringList found;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path.contains(QLatin1String("_part_")) || path.contains(QLatin1String("qvx_ini_")))
            found << path;
    }
    return found;
}

class UpdateIniFileCaseTest : public ::testing::TestWithParam<FileCase>
{ };

TEST_P(UpdateIniFileCaseTest, ChangesTheRecordAloneOrRefusesBeforeWriting)
{
    const FileCase &c = GetParam();
    UpdaterTestEnv env;
    const QString session = env.path(QStringLiteral("session"));
    ASSERT_TRUE(QDir().mkpath(session));
    const auto expand = [&](QByteArray text) { return text.replace("@DIR@", session.toUtf8()); };
    ASSERT_EQ(UpdateIniFile::escapedValue(session), session.toUtf8());

    const QString source = env.sharedSupport() + QStringLiteral("/update.ini");
    const QString folder = c.op == Op::Stage ? env.path(QStringLiteral("staged/SharedSupport"))
                                             : env.sharedSupport();
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString file = folder + QStringLiteral("/update.ini");
    const QString bundle = QDir(folder + QStringLiteral("/..")).canonicalPath();
    if (c.op == Op::Stage) {
        ASSERT_TRUE(UpdaterTestEnv::writeFile(source, expand(c.before)));
    }

    QString linked;
    const QByteArray fileName = QFile::encodeName(file);
    switch (c.kind) {
    case Kind::File:
        ASSERT_TRUE(UpdaterTestEnv::writeFile(file, expand(c.before)));
        ASSERT_EQ(::chmod(fileName.constData(), c.mode), 0);
        break;
    case Kind::None:
        break;
    case Kind::Fifo:
        ASSERT_EQ(::mkfifo(fileName.constData(), 0644), 0);
        break;
    case Kind::Folder:
        ASSERT_TRUE(QDir().mkdir(file));
        break;
    case Kind::Device:
        if (::mknod(fileName.constData(), S_IFCHR | 0644, makedev(1, 3)) != 0)
            GTEST_SKIP() << "cannot make a device here";
        break;
    case Kind::LinkInside:
    case Kind::LinkToFifo:
    case Kind::LinkDangling:
        ASSERT_TRUE(QDir().mkpath(bundle + QStringLiteral("/Resources")));
        linked = bundle + QStringLiteral("/Resources/settings.ini");
        if (c.kind == Kind::LinkInside) {
            ASSERT_TRUE(UpdaterTestEnv::writeFile(linked, expand(c.before)));
        } else if (c.kind == Kind::LinkToFifo) {
            ASSERT_EQ(::mkfifo(QFile::encodeName(linked).constData(), 0644), 0);
        }
        ASSERT_TRUE(QFile::link(linked, file));
        break;
    case Kind::LinkOutside:
        ASSERT_TRUE(QDir().mkpath(env.path(QStringLiteral("outside"))));
        linked = QDir(env.path(QStringLiteral("outside"))).canonicalPath()
            + QStringLiteral("/settings.ini");
        ASSERT_TRUE(UpdaterTestEnv::writeFile(linked, expand(c.before)));
        ASSERT_TRUE(QFile::link(linked, file));
        break;
    case Kind::LinkToDevice:
        linked = QStringLiteral("/dev/null");
        ASSERT_TRUE(QFile::link(linked, file));
        break;
    }

    const bool asUser = c.runner == Runner::User || c.runner == Runner::UserWithRootsFile;
    if (c.runner != Runner::Root) {
        ASSERT_EQ(::chmod(QFile::encodeName(env.root()).constData(), 0755), 0);
        ASSERT_EQ(::chown(QFile::encodeName(folder).constData(), AsOrdinaryUser::uid,
                          AsOrdinaryUser::gid),
                  0);
        if (c.kind == Kind::File && c.runner != Runner::UserWithRootsFile) {
            ASSERT_EQ(::chown(fileName.constData(), AsOrdinaryUser::uid, AsOrdinaryUser::gid), 0);
        }
    }
    const Status fileBefore = Status::of(file);
    const Status linkedBefore = Status::of(linked);
    const Status sourceBefore = Status::of(source);

    bool done = false;
    QString reason;
    {
        const mode_t umaskBefore = ::umask(c.umask);
        std::unique_ptr<AsOrdinaryUser> user;
        if (asUser) {
            user = std::make_unique<AsOrdinaryUser>();
            if (!user->active()) {
                ::umask(umaskBefore);
                GTEST_SKIP() << "cannot act as an ordinary user here";
            }
        }
        switch (c.op) {
        case Op::Write:
            done = UpdateIniData::modify(905, session, QStringLiteral("/c/"),
                                         QStringLiteral("update_macosx"), &reason);
            break;
        case Op::Drop:
            done = UpdateIniData::remove(&reason);
            break;
        case Op::Stage:
            done = UpdateIniData::modifyTempIni(folder, &reason);
            break;
        }
        user.reset();
        ::umask(umaskBefore);
    }

    EXPECT_TRUE(leftovers(env.root()).isEmpty()) << leftovers(env.root()).join(' ').toStdString();
    EXPECT_TRUE(
        QDir(env.tempDir())
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)
            .isEmpty());
    EXPECT_TRUE(Status::of(source) == sourceBefore || c.op != Op::Stage);
    EXPECT_TRUE(Status::of(linked) == linkedBefore || c.kind == Kind::LinkInside);
    if (c.reason) {
        EXPECT_FALSE(done);
        EXPECT_EQ(reason,
                  QString::fromUtf8(c.reason)
                      .replace(QStringLiteral("@LINKED@"), linked)
                      .replace(QStringLiteral("@BUNDLE@"), bundle));
        EXPECT_TRUE(Status::of(file) == fileBefore);
        return;
    }
    EXPECT_TRUE(done) << reason.toStdString();
    const Status after = Status::of(c.kind == Kind::LinkInside ? linked : file);
    if (!c.after) {
        EXPECT_FALSE(after.exists);
        return;
    }
    ASSERT_TRUE(after.exists);
    EXPECT_EQ(after.bytes, expand(c.after));
    EXPECT_EQ(after.info.st_mode & 07777, c.mode);
    if (c.kind == Kind::LinkInside) {
        EXPECT_TRUE(QFileInfo(file).isSymLink());
    }
    if (c.kind == Kind::File) {
        EXPECT_EQ(after.info.st_uid, fileBefore.info.st_uid);
        EXPECT_EQ(after.info.st_gid, fileBefore.info.st_gid);
        // Unchanged bytes are not written at all.
        EXPECT_EQ(after.info.st_ino == fileBefore.info.st_ino, after.bytes == fileBefore.bytes);
    } else if (c.kind == Kind::None) {
        EXPECT_EQ(after.info.st_uid, asUser ? AsOrdinaryUser::uid : 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, UpdateIniFileCaseTest, ::testing::ValuesIn(fileCases),
                         [](const ::testing::TestParamInfo<FileCase> &info) {
                             std::string name;
                             for (const char *s = info.param.label; *s; ++s)
                                 name += std::isalnum(static_cast<unsigned char>(*s)) ? *s : '_';
                             return name;
                         });

} // namespace

// A FIFO would keep QSettings waiting in open() for a writer; it is no record.
TEST_F(UpdateIniDataTest, AFifoIsNoRecordAndIsNotOpened)
{
    ASSERT_EQ(::mkfifo(QFile::encodeName(recordFile()).constData(), 0644), 0);
    Outputs out;
    EXPECT_FALSE(UpdateIniData::get(&out.version, &out.type, &out.dir, &out.qvxdir));
    EXPECT_EQ(out.version, Outputs().version);
}

// A write killed half-way leaves its scratch file; the next start removes it, beside the file
// or beside the file it links to in the bundle, and nothing else.
TEST_F(UpdateIniDataTest, AScratchFileLeftByAKilledWriteIsRemoved)
{
    for (const bool linked : {false, true}) {
        SCOPED_TRACE(linked ? "linked update.ini" : "plain update.ini");
        freshEnv();
        QString file = recordFile();
        if (linked) {
            file = env().bundle() + QStringLiteral("/Contents/Resources/settings.ini");
            ASSERT_TRUE(QDir().mkpath(QFileInfo(file).absolutePath()));
            ASSERT_TRUE(QFile::link(file, recordFile()));
        }
        ASSERT_TRUE(UpdaterTestEnv::writeFile(file, "[update]\nstreams=2\n"));
        ASSERT_TRUE(UpdaterTestEnv::writeFile(file + QStringLiteral("_part_"), "[upd"));
        const QString other = env().sharedSupport() + QStringLiteral("/other.ini_part_");
        ASSERT_TRUE(UpdaterTestEnv::writeFile(other, "x"));

        UpdateIniData::removeLeftoverScratch();
        EXPECT_FALSE(QFileInfo::exists(file + QStringLiteral("_part_")));
        EXPECT_TRUE(QFileInfo::exists(other));
        EXPECT_TRUE(QFileInfo(file).isFile());
    }
}
