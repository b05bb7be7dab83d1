#include "configuration.h"
#include "faketasks.h"
#include "fileops_test_support.h"
#include "makedownloadreplacelistfunc.h"
#include "makedownloadreplacelisttaskspecification.h"
#include "productini.h"
#include "signing_test_support.h"
#include "tmpfs_test_support.h"
#include "updatertestenv.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QRegularExpression>
#include <QThread>
#include <QThreadPool>

#include <gtest/gtest.h>

#include <atomic>

namespace {

QString sha512(const QString &content)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(content.toUtf8(), QCryptographicHash::Sha512).toHex());
}

// "{word}" stands for the SHA-512 of the text "word", in ini texts and expected lists alike;
// "{^word}" for the same in capitals.
QString expandHashes(const QString &text)
{
    static const QRegularExpression placeholder(QStringLiteral("\\{(\\^?)([A-Za-z0-9]*)\\}"));
    QString result;
    int last = 0;
    auto it = placeholder.globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        const QString hash = sha512(match.captured(2));
        result += text.mid(last, match.capturedStart() - last)
            + (match.captured(1).isEmpty() ? hash : hash.toUpper());
        last = match.capturedEnd();
    }
    return result + text.mid(last);
}

QStringList expandHashes(const QStringList &lines)
{
    QStringList result;
    for (const QString &line : lines)
        result << expandHashes(line);
    return result;
}

// The five lists as short lines, so that a whole list compares at once.
struct ListLines
{
    QStringList downloads = {}; // section|name|hash|size
    QStringList replaces = {}; // section|key|installedHash|installedSize|installedName|patchKey
    QStringList deletes = {}; // path|recursive
    QStringList pre = {}; // name|argument count:arguments joined by ";"|required
    QStringList post = {};
};

QString commandLine(const PrePostInstallCmd &cmd)
{
    return QString("%1|%2:%3|%4")
        .arg(cmd.m_name)
        .arg(cmd.m_arguments.size())
        .arg(cmd.m_arguments.join(';'))
        .arg(cmd.m_required ? "required" : "optional");
}

ListLines linesOf(const ReplaceListData &lists)
{
    ListLines lines;
    for (const DownloadEntry &d : lists.m_downloadList)
        lines.downloads
            << QString("%1|%2|%3|%4").arg(d.m_section, d.m_name, d.m_hash).arg(d.m_size);
    for (const ReplaceEntry &r : lists.m_replaceList)
        lines.replaces << QString("%1|%2|%3|%4|%5|%6")
                              .arg(r.m_section, r.m_key, r.m_installedHash)
                              .arg(r.m_installedSize)
                              .arg(r.m_installedName, r.m_patchKey);
    for (const DeleteEntry &e : lists.m_deleteList)
        lines.deletes << QString("%1|%2").arg(e.m_path, e.m_recursive ? "recursive" : "plain");
    for (const PrePostInstallCmd &c : lists.m_preinstallList)
        lines.pre << commandLine(c);
    for (const PrePostInstallCmd &c : lists.m_postinstallList)
        lines.post << commandLine(c);
    return lines;
}

void expectLists(const ReplaceListData &lists, const ListLines &expected)
{
    const ListLines got = linesOf(lists);
    EXPECT_EQ(got.downloads, expandHashes(expected.downloads));
    EXPECT_EQ(got.replaces, expandHashes(expected.replaces));
    EXPECT_EQ(got.deletes, expected.deletes);
    EXPECT_EQ(got.pre, expected.pre);
    EXPECT_EQ(got.post, expected.post);
}

// A client bundle with installed files, a download folder and a product ini.
class ListBench
{
public:
    explicit ListBench(int step)
    {
        installDir = env.bundle() + "/Contents";
        downloadDir = env.tempDir() + "/session";
        QDir().mkpath(downloadDir);
        configuration.clientUpdate = step;
        configuration.tempDir = downloadDir;
        configuration.installPath = installDir + "/";
    }

    // "path=content" writes a file, "path/" makes a folder; paths below the Contents folder.
    void install(const QStringList &files) { lay(installDir, files); }
    void predownload(const QStringList &files) { lay(downloadDir, files); }

    void writeIni(const QString &text)
    {
        ASSERT_TRUE(
            writeTestFile(ProductIni::filePath(configuration), expandHashes(text).toUtf8()));
    }

    // Runs the worker on this thread and records what it sends.
    bool runWorker()
    {
        MakeDownloadReplaceListFunc func(&configuration, &lists);
        QObject::connect(&func, &ASyncFunc::message, [this](const QString &m) { messages << m; });
        QObject::connect(&func, &ASyncFunc::progress, [this](qreal p) { progress << p; });
        return func.run();
    }

    UpdaterTestEnv env;
    Configuration configuration;
    QString installDir;
    QString downloadDir;
    ReplaceListData lists;
    QStringList messages;
    QList<qreal> progress;

private:
    static void lay(const QString &root, const QStringList &files)
    {
        for (const QString &file : files) {
            const int eq = file.indexOf('=');
            if (eq < 0)
                ASSERT_TRUE(QDir().mkpath(root + "/" + file));
            else
                ASSERT_TRUE(writeTestFile(root + "/" + file.left(eq), file.mid(eq + 1).toUtf8()));
        }
    }
};

const QString clientStart = "Compiling download and replace list for client";
const QString invalidMacosx = "Warning: product ini contains invalid line in section macosx";

struct ListCase
{
    const char *name;
    QStringList installed;
    QStringList downloaded;
    const char *ini;
    ListLines expected;
    QStringList messages = {}; // after the start text
    bool ok = true;
};

// Step two; the installed folder is the bundle's Contents folder.
const ListCase listCases[] = {
    {"current plain file", {"MacOS/app=new"}, {}, "[macosx]\nMacOS/app={new}::3\n", {}},
    {"hash compared regardless of letter case", {"app=new"}, {}, "[macosx]\napp={^new}::3\n", {}},
    {"missing plain file",
     {},
     {},
     "[macosx]\nMacOS/app={new}::3\n",
     {{"macosx|MacOS/app|{new}|3"}, {"macosx|MacOS/app||0||"}}},
    {"out-of-date plain file",
     {"MacOS/app=old"},
     {},
     "[macosx]\nMacOS/app={new}::3\n",
     {{"macosx|MacOS/app|{new}|3"}, {"macosx|MacOS/app||0||"}}},
    {"hash and separator only: size 0",
     {},
     {},
     "[macosx]\napp={new}::\n",
     {{"macosx|app|{new}|0"}, {"macosx|app||0||"}}},
    {"empty hash field needs a signature beside the installed file",
     {"app=new"},
     {},
     "[macosx]\napp=::5\n",
     {{"macosx|app||5", "macosx|app.sig||0"}, {"macosx|app||0||"}}},
    {"packed file, installed file current",
     {"MacOS/app=new"},
     {},
     "[macosx]\napp._lzma2_={packed}::10::{new}::3::MacOS/app\n",
     {}},
    {"packed file, out of date, no patch",
     {"MacOS/app=old"},
     {},
     "[macosx]\napp._lzma2_={packed}::10::{new}::3::MacOS/app\n",
     {{"macosx|app._lzma2_|{packed}|10"}, {"macosx|app._lzma2_|{new}|3|MacOS/app|"}}},
    {"packed file with a matching patch",
     {"MacOS/app=old"},
     {},
     "[macosx]\napp._lzma2_={packed}::10::{new}::3::MacOS/app\n"
     "app_patch_={patch}::7::{old}::3::MacOS/app\n",
     {{"macosx|app_patch_|{patch}|7"}, {"macosx|app._lzma2_|{new}|3|MacOS/app|app_patch_"}}},
    {"patch whose base does not match",
     {"MacOS/app=older"},
     {},
     "[macosx]\napp._lzma2_={packed}::10::{new}::3::MacOS/app\n"
     "app_patch_={patch}::7::{old}::3::MacOS/app\n",
     {{"macosx|app._lzma2_|{packed}|10"}, {"macosx|app._lzma2_|{new}|3|MacOS/app|"}}},
    {"several patches: the one for the installed state",
     {"MacOS/app=v1"},
     {},
     "[macosx]\napp._lzma2_={packed}::10::{v3}::3::MacOS/app\n"
     "app1_patch_={p1}::5::{v1}::2::MacOS/app\n"
     "app2_patch_={p2}::6::{v2}::2::MacOS/app\n",
     {{"macosx|app1_patch_|{p1}|5"}, {"macosx|app._lzma2_|{v3}|3|MacOS/app|app1_patch_"}}},
    {"several patches with the same base: the one read last",
     {"MacOS/app=v1"},
     {},
     "[macosx]\napp._lzma2_={packed}::10::{v3}::3::MacOS/app\n"
     "app1_patch_={p1}::5::{v1}::2::MacOS/app\n"
     "app2_patch_={p2}::6::{v1}::2::MacOS/app\n",
     {{"macosx|app2_patch_|{p2}|6"}, {"macosx|app._lzma2_|{v3}|3|MacOS/app|app2_patch_"}}},
    {"patch never chosen for a missing file",
     {},
     {},
     "[macosx]\napp._lzma2_={packed}::10::{new}::3::MacOS/app\n"
     "app_patch_={patch}::7::{old}::3::MacOS/app\n",
     {{"macosx|app._lzma2_|{packed}|10"}, {"macosx|app._lzma2_|{new}|3|MacOS/app|"}}},
    {"patch not needed for a current file",
     {"MacOS/app=new"},
     {},
     "[macosx]\napp._lzma2_={packed}::10::{new}::3::MacOS/app\n"
     "app_patch_={patch}::7::{new}::3::MacOS/app\n",
     {{"macosx|app_patch_|{patch}|7"}, {"macosx|app._lzma2_|{new}|3|MacOS/app|app_patch_"}}},
    {"patch of another section never meets the file",
     {"MacOS/app=old"},
     {},
     "[macosx]\napp._lzma2_={packed}::10::{new}::3::MacOS/app\n"
     "[other]\napp_patch_={patch}::7::{old}::3::MacOS/app\n",
     {{"macosx|app._lzma2_|{packed}|10"}, {"macosx|app._lzma2_|{new}|3|MacOS/app|"}}},
    {"plain line never takes a patch",
     {"app=old"},
     {},
     "[macosx]\napp={new}::3\napp_patch_={patch}::7::{old}::3::app\n",
     {{"macosx|app|{new}|3"}, {"macosx|app||0||"}}},
    {"five fields with empty installed name act as a plain line",
     {"app=old", "cur=new"},
     {},
     "[macosx]\napp={new}::3::{other}::9::\ncur={new}::3::{other}::9::\n",
     {{"macosx|app|{new}|3"}, {"macosx|app|{other}|9||"}}},
    {"malformed file lines are skipped",
     {},
     {},
     "[macosx]\na={x}\nb={x}::1::2\nc={new}::3\nd=1::2::3::4::5::6\n",
     {{"macosx|c|{new}|3"}, {"macosx|c||0||"}},
     {invalidMacosx, invalidMacosx, invalidMacosx}},
    {"malformed patch line rejects the product ini",
     {},
     {},
     "[a_files]\nx={new}::3\n[macosx]\nc={new}::3\nc_patch_={p}::1::{old}::3\n",
     {{"a_files|x|{new}|3"}, {"a_files|x||0||"}},
     {invalidMacosx},
     false},
    {"patch key in the delete section is a patch line",
     {"gone_patch_=x"},
     {},
     "[delete]\ngone_patch_=2\n",
     {},
     {"Warning: product ini contains invalid line in section delete"},
     false},
    {"patch key in a command section is never run",
     {},
     {},
     "[preinstall]\ntool_patch_={p}::1::{b}::2::tool\n",
     {}},
    {"common_client files lie in SharedSupport",
     {"SharedSupport/lib.dylib=old", "SharedSupport/cur=new"},
     {},
     "[common_client]\ncur={new}::3\nlib.dylib={new}::3\n"
     "x._lzma2_={packed}::4::{new}::3::Frameworks/x\n",
     {{"common_client|lib.dylib|{new}|3", "common_client|x._lzma2_|{packed}|4"},
      {"common_client|lib.dylib||0||", "common_client|x._lzma2_|{new}|3|Frameworks/x|"}}},
    {"download already present",
     {"a=old", "b=old"},
     {"a=new", "b=partial"},
     "[macosx]\na={new}::3\nb={new}::3\n",
     {{"macosx|b|{new}|3"}, {"macosx|a||0||", "macosx|b||0||"}}},
    {"patch already downloaded",
     {"MacOS/app=old"},
     {"app_patch_=patch"},
     "[macosx]\napp._lzma2_={packed}::10::{new}::3::MacOS/app\n"
     "app_patch_={patch}::7::{old}::3::MacOS/app\n",
     {{}, {"macosx|app._lzma2_|{new}|3|MacOS/app|app_patch_"}}},
    {"same key in two sections: one transfer",
     {},
     {},
     "[first]\nlib={new}::3\n[second]\nlib={^new}::3\n",
     {{"first|lib|{new}|3"}, {"first|lib||0||", "second|lib||0||"}}},
    {"same download name for different files rejects the product ini",
     {},
     {},
     "[first]\nlib={new}::3\n[macosx]\nlib={other}::3\n",
     // Rejected before any line is decided.
     {{}, {}},
     {invalidMacosx},
     false},
    // One file on a file system that does not tell letter cases apart.
    {"download names that differ only in letter case reject the product ini",
     {},
     {},
     "[common_client]\nx._lzma2_={px}::4::{x}::1::Frameworks/x\n"
     "[macosx]\nX._lzma2_={pX}::4::{X}::1::MacOS/X\n",
     {{}, {}},
     {"Warning: product ini contains different lines for X._lzma2_ in sections common_client "
      "and macosx"},
     false},
    {"patch names that differ only in letter case reject the product ini",
     {"MacOS/app=old", "MacOS/other=old"},
     {},
     "[macosx]\napp._lzma2_={packed}::10::{new}::3::MacOS/app\n"
     "app_patch_={patch}::7::{old}::3::MacOS/app\n"
     "[other]\nother._lzma2_={packed2}::10::{new}::3::MacOS/other\n"
     "APP_patch_={patch2}::7::{old}::3::MacOS/other\n",
     {{}, {}},
     {"Warning: product ini contains different lines for APP_patch_ in sections macosx and "
      "other"},
     false},
    {"a signature name in another letter case rejects the product ini",
     {},
     {},
     "[macosx]\napp=::5\n[other]\nAPP.SIG={x}::3\n",
     {{}, {}},
     {"Warning: product ini contains different lines for APP.SIG in sections macosx and other"},
     false},
    {"delete modes",
     {"m0=x", "m1=x", "m2/sub/file=x", "m3=x", "m10=x", "m11=x", "m12=x", "mneg=x", "mtext=x",
      "mdir/"},
     {},
     "[delete]\nm0=0\nm1=1\nm2=2\nm3=3\nm10=10\nm11=11\nm12=12\nmdir=1\nmissing=0\nmneg=-4\n"
     "mtext=abc\n",
     {{},
      {},
      {"m0|plain", "m1|plain", "m11|plain", "m2|recursive", "m3|plain", "mdir|plain", "mneg|plain",
       "mtext|plain"}}},
    {"pre- and post-install commands",
     {},
     {},
     "[preinstall]\n"
     "a_none=win32::linux64, -x\n"
     "b_plain=mac\n"
     "c_empty_arg=mac, , optional\n"
     "d_twice=mac::MAC, __QVX_DIR__a::--dir=__QVX_DIR__b__QVX_DIR__, optional, more\n"
     "e_flag=mac, -x, Optional\n"
     "f_blank=\n"
     "[postinstall]\n"
     "restart=mac::win64, --restart\n",
     {{},
      {},
      {},
      {"b_plain|0:|required", "c_empty_arg|1:|optional",
       "d_twice|2:INSTALL/a;--dir=INSTALL/bINSTALL/|optional",
       "d_twice|2:INSTALL/a;--dir=INSTALL/bINSTALL/|optional", "e_flag|1:-x|required"},
      {"restart|1:--restart|required"}}},
    {"no keys inside sections",
     {},
     {},
     "top=1\nother={x}::3\n",
     {},
     {"No files in product ini"},
     false},
};

// Runs one case in step two and compares the messages and the lists.
void expectCase(const ListCase &c)
{
    SCOPED_TRACE(c.name);
    ListBench bench(1);
    bench.install(c.installed);
    bench.predownload(c.downloaded);
    bench.writeIni(c.ini);
    EXPECT_EQ(bench.runWorker(), c.ok);
    EXPECT_EQ(bench.messages, QStringList(clientStart) + c.messages);

    ListLines expected = c.expected;
    for (QStringList *commands : {&expected.pre, &expected.post})
        commands->replaceInStrings("INSTALL/", bench.configuration.installPath);
    expectLists(bench.lists, expected);
}

TEST(DownloadReplaceListBuilder, ProductInisAgainstAnInstalledBundle)
{
    for (const ListCase &c : listCases)
        expectCase(c);
}

TEST(DownloadReplaceListBuilder, EmptyHashAcceptsAFileWithAValidSignature)
{
    if (!builtInKeyIsDevelopmentKey())
        GTEST_SKIP() << "the build embeds another public key";
    initCryptLibrary();
    ListBench bench(1);
    ASSERT_TRUE(writeTestFile(bench.installDir + "/signed", "new"));
    ASSERT_TRUE(writeTestFile(bench.installDir + "/signed.sig", signWithDevelopmentKey("new")));
    ASSERT_TRUE(writeTestFile(bench.installDir + "/forged", "newer"));
    ASSERT_TRUE(writeTestFile(bench.installDir + "/forged.sig", signWithDevelopmentKey("new")));
    bench.writeIni("[macosx]\nforged=::5\nsigned=::3\n");
    ASSERT_TRUE(bench.runWorker());
    expectLists(bench.lists,
                {{"macosx|forged||5", "macosx|forged.sig||0"}, {"macosx|forged||0||"}});
}

TEST(DownloadReplaceListBuilder, MissingProductIniIsRejected)
{
    ListBench bench(0);
    bench.lists.m_deleteList << DeleteEntry("stale", false);
    EXPECT_FALSE(bench.runWorker());
    EXPECT_EQ(bench.messages,
              QStringList(
                  {"Compiling download and replace list for updater", "No files in product ini"}));
    expectLists(bench.lists, {});
}

TEST(DownloadReplaceListBuilder, ProgressCountsOnlyDeleteAndFileKeysAsDone)
{
    ListBench bench(1);
    bench.writeIni("[delete]\ngone=0\n[macosx]\napp={new}::3\napp_patch_={p}::1::{old}::3::x\n"
                   "bad=1\n[preinstall]\ntool=mac\n");
    ASSERT_TRUE(bench.runWorker());
    EXPECT_EQ(bench.progress, QList<qreal>({0.2, 0.4, 0.6}));
}

TEST(DownloadReplaceListBuilder, StepOneStagesCurrentFilesInTheDownloadFolder)
{
    ListBench bench(0);
    bench.install({"SharedSupport/update.app/Contents/MacOS/update=new",
                   "SharedSupport/update.app/Contents/Info.plist=plist",
                   "SharedSupport/libcur.dylib=lib", "MacOS/packed=unpacked", "MacOS/old=old"});
    // An interrupted earlier run left a partial file where a current one goes.
    bench.predownload({"SharedSupport/update.app/Contents/Info.plist=pl"});
    bench.writeIni("[common_client]\n"
                   "libcur.dylib={lib}::3\n"
                   "update.app/Contents/Info.plist={plist}::5\n"
                   "update.app/Contents/MacOS/update={new}::3\n"
                   "[macosx]\n"
                   "old={new}::3\n"
                   "packed._lzma2_={packedform}::7::{unpacked}::8::MacOS/packed\n");
    ASSERT_TRUE(bench.runWorker());
    EXPECT_EQ(bench.messages.value(0), QString("Compiling download and replace list for updater"));
    expectLists(bench.lists, {{"macosx|old|{new}|3"}, {"macosx|old||0||"}});

    const struct
    {
        const char *staged;
        const char *content;
    } staged[] = {
        {"SharedSupport/update.app/Contents/MacOS/update", "new"},
        {"SharedSupport/update.app/Contents/Info.plist", "plist"},
        {"SharedSupport/libcur.dylib", "lib"},
        {"MacOS/packed", "unpacked"},
    };
    for (const auto &s : staged)
        EXPECT_EQ(readTestFile(bench.downloadDir + "/" + s.staged), QByteArray(s.content))
            << s.staged;
    EXPECT_FALSE(QFile::exists(bench.downloadDir + "/old"));
    // The copy keeps the executable's permissions.
    EXPECT_EQ(QFileInfo(bench.downloadDir + "/SharedSupport/update.app/Contents/MacOS/update")
                  .permissions(),
              QFileInfo(bench.installDir + "/SharedSupport/update.app/Contents/MacOS/update")
                  .permissions());
}

TEST(DownloadReplaceListBuilder, StepTwoCopiesNothing)
{
    ListBench bench(1);
    bench.install({"MacOS/cur=new"});
    bench.writeIni("[macosx]\nMacOS/cur={new}::3\n");
    ASSERT_TRUE(bench.runWorker());
    EXPECT_FALSE(QFile::exists(bench.downloadDir + "/MacOS/cur"));
}

TEST(DownloadReplaceListBuilder, ReplaceEntriesCarryTheHashOfTheWholeDownload)
{
    ListBench bench(1);
    bench.install({"patched=old"});
    bench.writeIni("[macosx]\nplain={new}::3\npacked._lzma2_={packed}::6::{new}::3::packed\n"
                   "patched._lzma2_={packed}::6::{new}::3::patched\n"
                   "patched_1_patch_={patch}::5::{old}::3::patched\n");
    ASSERT_TRUE(bench.runWorker());
    ASSERT_EQ(bench.lists.m_replaceList.size(), 3);
    QStringList hashes;
    for (const ReplaceEntry &r : qAsConst(bench.lists.m_replaceList))
        hashes << r.m_key + "|" + r.m_downloadHash;
    hashes.sort();
    EXPECT_EQ(hashes,
              expandHashes(QStringList {"packed._lzma2_|{packed}", "patched._lzma2_|{patch}",
                                        "plain|{new}"}));
}

TEST(DownloadReplaceListBuilder, StepOneFailsWhenACurrentFileCannotBeStaged)
{
    ListBench bench(0);
    bench.install({"MacOS/cur=new"});
    // A folder where the staged file must go cannot be replaced by it.
    bench.predownload({"MacOS/cur/"});
    bench.writeIni("[macosx]\nMacOS/cur={new}::3\n");
    EXPECT_FALSE(bench.runWorker());
    EXPECT_EQ(bench.messages.value(1),
              QString("Could not copy '%1' to '%2': Is a directory")
                  .arg(bench.installDir + "//MacOS/cur", bench.downloadDir + "/MacOS/cur"));
}

TEST(DownloadReplaceListBuilder, StepOneSaysWhyACurrentFileCouldNotBeStaged)
{
    ListBench bench(0);
    PrivateTmpfs session(bench.downloadDir, "256k");
    if (!session.mounted())
        GTEST_SKIP() << "cannot mount a private tmpfs here";
    bench.install({"MacOS/cur=new"});
    bench.writeIni("[macosx]\nMacOS/cur={new}::3\n");
    ASSERT_TRUE(session.fillUp());
    EXPECT_FALSE(bench.runWorker());
    EXPECT_EQ(bench.messages.value(1),
              QString("Could not copy '%1' to '%2': No space left on device")
                  .arg(bench.installDir + "//MacOS/cur", bench.downloadDir + "/MacOS/cur"));
    // A staged file cut short would end up in the new updater.
    EXPECT_FALSE(QFileInfo::exists(bench.downloadDir + "/MacOS/cur"));
}

class DownloadReplaceListTask : public ::testing::Test
{
protected:
    void TearDown() override { QThreadPool::globalInstance()->waitForDone(-1); }

    ReplaceListData sharedWithOldRun()
    {
        ReplaceListData shared;
        shared.m_downloadList << DownloadEntry("s", "old", "h", 1);
        shared.m_replaceList << ReplaceEntry("s", "old", "", 0, "");
        shared.m_deleteList << DeleteEntry("old", true);
        shared.m_preinstallList << PrePostInstallCmd("old", {}, true);
        shared.m_postinstallList << PrePostInstallCmd("old", {}, false);
        return shared;
    }

    TaskEventLog log;
};

TEST_F(DownloadReplaceListTask, SuccessReplacesAllSharedLists)
{
    ListBench bench(1);
    bench.install({"gone=x"});
    bench.writeIni("[delete]\ngone=0\n[macosx]\napp={new}::3\n[postinstall]\nrun=mac\n");
    ReplaceListData shared = sharedWithOldRun();
    MakeDownloadReplaceListTaskSpecification task(&bench.configuration, &shared, nullptr, 0.05);
    log.watch(&task, "lists");
    task.execute();
    EXPECT_EQ(task.state, TaskSpecification::Running);
    ASSERT_TRUE(waitUntil([&] { return taskEnded(task); }));
    EXPECT_EQ(task.state, TaskSpecification::Finished);
    expectLists(
        shared,
        {{"macosx|app|{new}|3"}, {"macosx|app||0||"}, {"gone|plain"}, {}, {"run|0:|required"}});
    EXPECT_EQ(log.lines,
              QStringList({"lists message " + clientStart, "lists progress 0.0166667",
                           "lists progress 0.0333333", "lists progress 0.05", "lists finished"}));
}

TEST_F(DownloadReplaceListTask, FailureLeavesTheSharedListsAlone)
{
    ListBench bench(1);
    bench.writeIni("[a]\nx={new}::3\n[b]\nx_patch_=broken\n");
    ReplaceListData shared = sharedWithOldRun();
    const ListLines before = linesOf(shared);
    MakeDownloadReplaceListTaskSpecification task(&bench.configuration, &shared, nullptr, 0.05);
    log.watch(&task, "lists");
    task.execute();
    ASSERT_TRUE(waitUntil([&] { return taskEnded(task); }));
    EXPECT_EQ(task.state, TaskSpecification::Failed);
    expectLists(shared, before);
    EXPECT_EQ(
        log.filtered("lists message"),
        QStringList({"lists message " + clientStart,
                     "lists message Warning: product ini contains invalid line in section b"}));
    EXPECT_EQ(log.lines.last(), QString("lists canceled"));
}

// Notes the thread on which the worker reports its progress.
class ThreadProbeTask : public MakeDownloadReplaceListTaskSpecification
{
public:
    using MakeDownloadReplaceListTaskSpecification::MakeDownloadReplaceListTaskSpecification;

    ASyncFunc *createFunc() override
    {
        ASyncFunc *func = MakeDownloadReplaceListTaskSpecification::createFunc();
        QObject::connect(
            func, &ASyncFunc::progress, func, [this] { workerThread = QThread::currentThread(); },
            Qt::DirectConnection);
        return func;
    }

    std::atomic<QThread *> workerThread {nullptr};
};

TEST_F(DownloadReplaceListTask, HashingRunsOffTheGuiThread)
{
    ListBench bench(1);
    bench.install({"app=old"});
    bench.writeIni("[macosx]\napp={new}::3\n");
    ReplaceListData shared;
    ThreadProbeTask task(&bench.configuration, &shared, nullptr, 0.05);
    task.execute();
    ASSERT_TRUE(waitUntil([&] { return taskEnded(task); }));
    EXPECT_EQ(task.state, TaskSpecification::Finished);
    EXPECT_EQ(linesOf(shared).replaces, QStringList({"macosx|app||0||"}));
    ASSERT_NE(task.workerThread.load(), nullptr);
    EXPECT_NE(task.workerThread.load(), QCoreApplication::instance()->thread());
}

// Without a hash a download is installed only with a valid detached signature: the signature
// is fetched with it.
const ListCase unhashedDownloadCases[] = {
    {"packed file without a download hash",
     {"MacOS/app=old"},
     {},
     "[macosx]\napp._lzma2_=::10::{new}::3::MacOS/app\n",
     {{"macosx|app._lzma2_||10", "macosx|app._lzma2_.sig||0"},
      {"macosx|app._lzma2_|{new}|3|MacOS/app|"}}},
    {"patch without a patch hash",
     {"MacOS/app=old"},
     {},
     "[macosx]\napp._lzma2_={packed}::10::{new}::3::MacOS/app\n"
     "app_patch_=::7::{old}::3::MacOS/app\n",
     {{"macosx|app_patch_||7", "macosx|app_patch_.sig||0"},
      {"macosx|app._lzma2_|{new}|3|MacOS/app|app_patch_"}}},
    {"a download there already, but no signature beside it",
     {},
     {"app=new"},
     "[macosx]\napp=::3\n",
     {{"macosx|app||3", "macosx|app.sig||0"}, {"macosx|app||0||"}}},
    {"the same file in two sections is fetched once, with one signature",
     {},
     {},
     "[macosx]\napp=::3\n[macosx_arm]\napp=::3\n",
     {{"macosx|app||3", "macosx|app.sig||0"}, {"macosx|app||0||", "macosx_arm|app||0||"}}},
    {"a listed file in the place of a signature",
     {},
     {},
     "[macosx]\napp=::3\napp.sig={other}::128\n",
     {{"macosx|app||3", "macosx|app.sig||0"}, {"macosx|app||0||", "macosx|app.sig||0||"}},
     {invalidMacosx},
     false},
};

TEST(DownloadReplaceListBuilder, AnUnhashedDownloadIsFetchedWithItsSignature)
{
    for (const ListCase &c : unhashedDownloadCases)
        expectCase(c);
}

TEST(DownloadReplaceListBuilder, AnUnhashedDownloadWithAValidSignatureIsNotFetchedAgain)
{
    if (!builtInKeyIsDevelopmentKey())
        GTEST_SKIP() << "the build embeds another public key";
    initCryptLibrary();
    ListBench bench(1);
    ASSERT_TRUE(writeTestFile(bench.downloadDir + "/app", "new"));
    ASSERT_TRUE(writeTestFile(bench.downloadDir + "/app.sig", signWithDevelopmentKey("new")));
    ASSERT_TRUE(writeTestFile(bench.downloadDir + "/forged", "newer"));
    ASSERT_TRUE(writeTestFile(bench.downloadDir + "/forged.sig", signWithDevelopmentKey("new")));
    bench.writeIni("[macosx]\napp=::3\nforged=::5\n");
    ASSERT_TRUE(bench.runWorker());
    expectLists(
        bench.lists,
        {{"macosx|forged||5", "macosx|forged.sig||0"}, {"macosx|app||0||", "macosx|forged||0||"}});
}

} // namespace
