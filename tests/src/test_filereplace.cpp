#include "configuration.h"
#include "dircreatetaskspecification.h"
#include "faketasks.h"
#include "filemodes.h"
#include "fileops_test_support.h"
#include "filereplacelisttaskspecification.h"
#include "filereplacetaskspecification.h"
#include "replacelistdata.h"
#include "rollback.h"
#include "scratchfile.h"
#include "signing_test_support.h"
#include "tmpfs_test_support.h"
#include "tree_modes_test_support.h"

#include "ensemblepatchwriter.h"
#include "lzma2container.h"
#include "mappedfile.h"
#include "streams.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QTemporaryDir>

#include <functional>
#include <memory>

#include <sys/stat.h>

#include <gtest/gtest.h>
#include <zlib.h>

namespace {

QString sha512(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha512).toHex());
}

QByteArray content(const char *seed, int lines = 2000)
{
    QByteArray data;
    for (int i = 0; i < lines; ++i)
        data += QByteArray(seed) + ' ' + QByteArray::number(i * 7919 % 10007) + '\n';
    return data;
}

// Every folder and file below root, with each file's bytes and mode: two equal snapshots mean
// an identical tree.
QMap<QString, QByteArray> snapshot(const QString &root)
{
    QMap<QString, QByteArray> tree;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        const QFileInfo info(file);
        const QString key = QDir(root).relativeFilePath(file);
        if (info.isDir())
            tree[key] = "<dir>";
        else
            tree[key] = readTestFile(file) + " mode " + QByteArray::number(int(info.permissions()));
    }
    return tree;
}

class FileReplaceTest : public ::testing::Test
{
public:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(QDir().mkpath(install()));
        ASSERT_TRUE(QDir().mkpath(download()));
        config.installPath = install() + "/";
        config.tempDir = download();
    }

    QString install() const { return dir.filePath("Contents"); }
    QString download() const { return dir.filePath("download"); }
    QString installed(const QString &rel) const { return install() + "/" + rel; }
    QString downloaded(const QString &key) const { return download() + "/" + key; }

    void writeLzma2(const QString &key, const QByteArray &data)
    {
        const QString plain = dir.filePath("plain.tmp");
        ASSERT_TRUE(writeTestFile(plain, data));
        quorpatch::SinkStream out;
        {
            quorpatch::MappedFile input;
            if (!data.isEmpty()) {
                ASSERT_TRUE(input.Open(QFile::encodeName(plain).constData()));
            }
            quorpatch::CompressPlain(
                input, &out,
                quorpatch::CalculateCrc(reinterpret_cast<const quorpatch::u8 *>(data.constData()),
                                        std::size_t(data.size())));
        }
        QFile::remove(plain);
        ASSERT_TRUE(writeTestFile(
            downloaded(key),
            QByteArray(reinterpret_cast<const char *>(out.Buffer()), int(out.Length()))));
    }

    void writeGzip(const QString &key, const QByteArray &data)
    {
        QDir().mkpath(QFileInfo(downloaded(key)).path());
        gzFile out = gzopen(QFile::encodeName(downloaded(key)).constData(), "wb");
        ASSERT_TRUE(out);
        gzwrite(out, data.constData(), unsigned(data.size()));
        gzclose(out);
    }

    void writePatch(const QString &key, const QByteArray &oldData, const QByteArray &newData)
    {
        const qvxtest::Bytes patch
            = qvxtest::MakeEnsemblePatch(qvxtest::Bytes(oldData.begin(), oldData.end()),
                                         qvxtest::Bytes(newData.begin(), newData.end()));
        ASSERT_FALSE(patch.empty());
        ASSERT_TRUE(writeTestFile(
            downloaded(key),
            QByteArray(reinterpret_cast<const char *>(patch.data()), int(patch.size()))));
    }

    QTemporaryDir dir;
    Configuration config;
};

ReplaceEntry withDownloadHash(ReplaceEntry entry, const QString &hash)
{
    entry.m_downloadHash = hash;
    return entry;
}

// Stands for the hash of the file the case has put in the download folder.
const QString publishedHash = QStringLiteral("{download}");

ReplaceEntry published(const ReplaceEntry &entry)
{
    return withDownloadHash(entry, publishedHash);
}

// The entry with the hash of its download as it lies in the download folder.
ReplaceEntry resolved(ReplaceEntry entry, const QString &downloadFolder)
{
    if (entry.m_downloadHash == publishedHash)
        entry.m_downloadHash = sha512(readTestFile(
            downloadFolder + "/" + (entry.hasPatch() ? entry.m_patchKey : entry.m_key)));
    return entry;
}

// One replace entry, how its download is prepared and what must be installed afterwards.
struct ReplaceCase
{
    const char *label;
    ReplaceEntry entry;
    std::function<void(FileReplaceTest &)> prepare;
    bool ok;
    QStringList messages; // besides "add/replace <key>"
};

TEST_F(FileReplaceTest, EachKindOfEntryIsInstalledOrFailsWithoutATrace)
{
    const QByteArray oldData = content("old");
    const QByteArray newData = content("new");
    const QString hash = sha512(newData);
    const ReplaceCase cases[] = {
        {"plain copy with an empty hash and no signature",
         ReplaceEntry("mac", "MacOS/plain", QString(), 0, QString()),
         [&](FileReplaceTest &t) { writeTestFile(t.downloaded("MacOS/plain"), newData); },
         false,
         {"Could not open file %source.sig for reading", "Signature check failed for %source"}},
        {"plain copy whose download matches its hash",
         withDownloadHash(ReplaceEntry("mac", "MacOS/plain", QString(), 0, QString()), hash),
         [&](FileReplaceTest &t) { writeTestFile(t.downloaded("MacOS/plain"), newData); },
         true,
         {}},
        {"plain copy whose download does not match its hash",
         withDownloadHash(ReplaceEntry("mac", "MacOS/plain", QString(), 0, QString()), hash),
         [&](FileReplaceTest &t) { writeTestFile(t.downloaded("MacOS/plain"), "tampered"); },
         false,
         {"Signature check failed for %source"}},
        // A download that does not match its hash never reaches the unpacker or the patcher.
        {"packed download that does not match its hash",
         withDownloadHash(ReplaceEntry("mac", "MacOS/app._lzma2_", hash, 0, "MacOS/app"),
                          sha512("as published")),
         [&](FileReplaceTest &t) { t.writeLzma2("MacOS/app._lzma2_", newData); },
         false,
         {"Signature check failed for %source"}},
        {"patch that does not match its hash",
         withDownloadHash(
             ReplaceEntry("mac", "MacOS/app", hash, 0, "MacOS/app", "MacOS/app_patch_"),
             sha512("as published")),
         [&](FileReplaceTest &t) { t.writePatch("MacOS/app_patch_", oldData, newData); },
         false,
         {"Patching MacOS/app", "Signature check failed for %patch"}},
        {"lzma2",
         published(ReplaceEntry("mac", "MacOS/app._lzma2_", hash, 0, "MacOS/app")),
         [&](FileReplaceTest &t) { t.writeLzma2("MacOS/app._lzma2_", newData); },
         true,
         {}},
        {"gzip",
         published(ReplaceEntry("mac", "MacOS/app.gz", hash, 0, "MacOS/app")),
         [&](FileReplaceTest &t) { t.writeGzip("MacOS/app.gz", newData); },
         true,
         {}},
        {"suffix in capitals is gunzipped",
         published(ReplaceEntry("mac", "MacOS/app._LZMA2_", hash, 0, "MacOS/app")),
         [&](FileReplaceTest &t) { t.writeGzip("MacOS/app._LZMA2_", newData); },
         true,
         {}},
        {"common files go below SharedSupport",
         published(ReplaceEntry("common_client", "data_lzma2", hash, 0, "data")),
         [&](FileReplaceTest &t) { t.writeGzip("data_lzma2", newData); },
         true,
         {}},
        {"patch",
         published(ReplaceEntry("mac", "MacOS/app", hash, 0, "MacOS/app", "MacOS/app_patch_")),
         [&](FileReplaceTest &t) { t.writePatch("MacOS/app_patch_", oldData, newData); },
         true,
         {"Patching MacOS/app"}},
        {"hash mismatch after unpack",
         published(ReplaceEntry("mac", "MacOS/app._lzma2_", sha512("other"), 0, "MacOS/app")),
         [&](FileReplaceTest &t) { t.writeLzma2("MacOS/app._lzma2_", newData); },
         false,
         {"Signature check failed for %target"}},
        {"corrupt download",
         published(ReplaceEntry("mac", "MacOS/app._lzma2_", hash, 0, "MacOS/app")),
         [&](FileReplaceTest &t) { writeTestFile(t.downloaded("MacOS/app._lzma2_"), "junk"); },
         false,
         {"Could not unpack '%source' to '%target': the packed file is damaged or incomplete"}},
        {"patch for another base",
         published(ReplaceEntry("mac", "MacOS/app", hash, 0, "MacOS/app", "MacOS/app_patch_")),
         [&](FileReplaceTest &t) { t.writePatch("MacOS/app_patch_", content("older"), newData); },
         false,
         {"Patching MacOS/app",
          "Could not patch '%base' to '%target': the patch does not fit this file (checksum "
          "mismatch)"}},
        {"missing download",
         published(ReplaceEntry("mac", "MacOS/plain", QString(), 0, QString())),
         [](FileReplaceTest &) {},
         false,
         {"Could not open file %source for reading", "Signature check failed for %source"}},
    };

    for (const ReplaceCase &c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_TRUE(QDir(install()).removeRecursively());
        ASSERT_TRUE(QDir(download()).removeRecursively());
        const QString rel = c.entry.localRelativePath(QString());
        const QString target = installed(rel);
        ASSERT_TRUE(writeTestFile(target, oldData));
        ASSERT_TRUE(writeTestFile(installed("MacOS/other"), "untouched"));
        ASSERT_TRUE(QDir().mkpath(download()));
        c.prepare(*this);
        const auto before = snapshot(install());

        RollbackDataList shared;
        shared.append(RollbackData(RollbackData::FILE_CREATE, installed("earlier")));
        FileReplaceTaskSpecification task(resolved(c.entry, download()), nullptr, &shared, &config,
                                          nullptr, 0.5);
        TaskEventLog log;
        log.watch(&task, "t");
        task.execute();
        ASSERT_TRUE(waitUntil([&task] { return taskEnded(task); }));

        QStringList expected {"t message add/replace " + c.entry.m_key};
        for (QString text : c.messages) {
            text.replace("%target", target)
                .replace("%source", downloaded(c.entry.m_key))
                .replace("%base", downloaded(rel + "_old"))
                .replace("%patch", downloaded(c.entry.m_patchKey));
            expected << "t message " + text;
        }
        EXPECT_EQ(log.filtered("t message"), expected);
        if (c.ok) {
            EXPECT_EQ(task.state, int(TaskSpecification::Finished));
            EXPECT_EQ(readTestFile(target), newData);
            // Undoing what the task handed on brings the old file back.
            ASSERT_EQ(shared.size(), 3);
            EXPECT_EQ(shared.last().op, int(RollbackData::FILE_CREATE));
            EXPECT_EQ(shared.last().path, target);
            shared.removeFirst();
            EXPECT_TRUE(shared.rollback(nullptr));
            EXPECT_EQ(readTestFile(target), oldData);
        } else {
            EXPECT_EQ(task.state, int(TaskSpecification::Failed));
            EXPECT_EQ(shared.size(), 1);
            EXPECT_EQ(snapshot(install()), before);
        }
    }
}

TEST_F(FileReplaceTest, NewFileWithoutAnEarlierVersionIsRemovedOnFailure)
{
    writeGzip("MacOS/new.gz", "new");
    const ReplaceEntry entry = resolved(
        published(ReplaceEntry("mac", "MacOS/new.gz", sha512("something else"), 0, "MacOS/new")),
        download());
    ASSERT_TRUE(QDir().mkpath(installed("MacOS")));
    RollbackDataList shared;
    FileReplaceTaskSpecification task(entry, nullptr, &shared, &config, nullptr, 0.5);
    task.execute();
    ASSERT_TRUE(waitUntil([&task] { return taskEnded(task); }));
    EXPECT_EQ(task.state, int(TaskSpecification::Failed));
    EXPECT_FALSE(QFileInfo::exists(installed("MacOS/new")));
    EXPECT_TRUE(shared.isEmpty());
}

TEST_F(FileReplaceTest, AnInstalledLinkStaysALinkAndItsFileComesBackOnRollback)
{
    const QByteArray oldData = content("old");
    const QByteArray newData = content("new");
    for (const bool matches : {true, false}) {
        SCOPED_TRACE(matches ? "installed, then undone by the list" : "check fails");
        ASSERT_TRUE(QDir(install()).removeRecursively());
        ASSERT_TRUE(QDir().mkpath(installed("Frameworks")));
        ASSERT_TRUE(writeTestFile(installed("Frameworks/libqvx.1.dylib"), oldData));
        ASSERT_TRUE(QFile::link("libqvx.1.dylib", installed("Frameworks/libqvx.dylib")));
        writeGzip("Frameworks/libqvx.dylib.gz", newData);
        const ReplaceEntry entry
            = resolved(published(ReplaceEntry("mac", "Frameworks/libqvx.dylib.gz",
                                              sha512(matches ? newData : QByteArray("other")), 0,
                                              "Frameworks/libqvx.dylib")),
                       download());
        RollbackDataList shared;
        FileReplaceTaskSpecification task(entry, nullptr, &shared, &config, nullptr, 0.5);
        task.execute();
        ASSERT_TRUE(waitUntil([&task] { return taskEnded(task); }));
        EXPECT_EQ(task.state,
                  int(matches ? TaskSpecification::Finished : TaskSpecification::Failed));
        EXPECT_TRUE(QFileInfo(installed("Frameworks/libqvx.dylib")).isSymLink());
        if (matches) {
            EXPECT_EQ(readTestFile(installed("Frameworks/libqvx.dylib")), newData);
            EXPECT_TRUE(shared.rollback(nullptr));
            EXPECT_TRUE(QFileInfo(installed("Frameworks/libqvx.dylib")).isSymLink());
        }
        EXPECT_EQ(readTestFile(installed("Frameworks/libqvx.1.dylib")), oldData);
    }
}

TEST_F(FileReplaceTest, PatchWithoutTheInstalledFileFails)
{
    writePatch("MacOS/app_patch_", "old", "x");
    const ReplaceEntry entry = resolved(published(ReplaceEntry("mac", "MacOS/app", sha512("x"), 0,
                                                               "MacOS/app", "MacOS/app_patch_")),
                                        download());
    ASSERT_TRUE(QDir().mkpath(installed("MacOS")));
    LogCapture capture;
    FileReplaceTaskSpecification task(entry, nullptr, nullptr, &config, nullptr, 0.5);
    TaskEventLog log;
    log.watch(&task, "t");
    task.execute();
    ASSERT_TRUE(waitUntil([&task] { return taskEnded(task); }));
    EXPECT_EQ(task.state, int(TaskSpecification::Failed));
    EXPECT_TRUE(log.lines.contains(QString("t message Could not patch '%1' to '%2': No such file "
                                           "or directory")
                                       .arg(downloaded("MacOS/app_old"), installed("MacOS/app"))));
    EXPECT_TRUE(capture.contains("ApplyEnsemblePatch status = 4"));
    EXPECT_FALSE(QFileInfo::exists(installed("MacOS/app")));
}

TEST_F(FileReplaceTest, ExecutableRuleMatchesListedNamesAndTheDylibSuffixOnly)
{
    const struct
    {
        const char *name;
        bool executable;
    } cases[] = {
        {"update", true},        {"qvxclient_mac", true},       {"libQt5Core", true},
        {"libfoo.dylib", true},  {"libQt5Core.5.dylib", false}, {"Update", false},
        {"libfoo.DYLIB", false}, {"readme.txt", false},
    };
    const auto plain = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser
        | QFileDevice::WriteUser;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QString file = installed(c.name);
        ASSERT_TRUE(writeTestFile(file, "x"));
        ASSERT_TRUE(QFile::setPermissions(file, plain));
        FileReplaceTaskSpecification::makeSingleFileExecutable(file);
        EXPECT_EQ(QFile::permissions(file), c.executable ? FileModes::executable : plain);
    }
}

enum Treatment { Copy, Lzma2, Gzip, Patch };

// Puts the download for rel written the given way in the download folder; returns its entry.
ReplaceEntry prepareTreatment(FileReplaceTest &t, Treatment treatment, const QString &rel,
                              const QByteArray &oldData, const QByteArray &newData)
{
    ReplaceEntry entry;
    switch (treatment) {
    case Copy:
        writeTestFile(t.downloaded(rel), newData);
        entry = ReplaceEntry("mac", rel, QString(), 0, QString());
        break;
    case Lzma2:
        t.writeLzma2(rel + "._lzma2_", newData);
        entry = ReplaceEntry("mac", rel + "._lzma2_", sha512(newData), 0, rel);
        break;
    case Gzip:
        t.writeGzip(rel + ".gz", newData);
        entry = ReplaceEntry("mac", rel + ".gz", sha512(newData), 0, rel);
        break;
    case Patch:
        t.writePatch(rel + "_patch_", oldData, newData);
        entry = ReplaceEntry("mac", rel, sha512(newData), 0, rel, rel + "_patch_");
        break;
    }
    return resolved(published(entry), t.download());
}

QString downloadOf(const ReplaceEntry &entry)
{
    return entry.hasPatch() ? entry.m_patchKey : entry.m_key;
}

// Sets the process umask for the life of the object.
class UmaskGuard
{
public:
    explicit UmaskGuard(mode_t mask)
        : m_previous(::umask(mask))
    { }
    ~UmaskGuard() { ::umask(m_previous); }

private:
    mode_t m_previous;
};

TEST_F(FileReplaceTest, EveryWayOfWritingKeepsTheInstalledModeAndGivesNewFilesTheDefault)
{
    const QFileDevice::Permissions none;
    const QFileDevice::Permissions rwxr_x___(0x7750), rw_______(0x6600), rwx______(0x7700),
        rwxrwxrwx(0x7777);
    const struct
    {
        const char *label;
        Treatment treatment;
        const char *rel;
        QFileDevice::Permissions installedMode; // none: nothing installed yet
        QFileDevice::Permissions expected;
    } cases[] = {
        {"copy over a program", Copy, "MacOS/tool", rwxr_x___, rwxr_x___},
        {"lzma2 over a program", Lzma2, "MacOS/tool", rwxr_x___, rwxr_x___},
        {"gzip over a private file", Gzip, "Resources/key", rw_______, rw_______},
        {"patch of a program", Patch, "MacOS/tool", rwxr_x___, rwxr_x___},
        {"new file by copy", Copy, "Resources/new", none, FileModes::newFile},
        {"new file by lzma2", Lzma2, "Resources/new", none, FileModes::newFile},
        {"new file by gzip", Gzip, "Resources/new", none, FileModes::newFile},
        {"listed program, world-writable before", Copy, "MacOS/update", rwxrwxrwx,
         FileModes::executable},
        {"listed program by patch", Patch, "MacOS/qvxclient_mac", rwx______, FileModes::executable},
        {"new library", Lzma2, "Frameworks/libqvx.dylib", none, FileModes::executable},
    };
    // Neither the umask nor the download's own mode may decide a mode.
    UmaskGuard umask(0);
    const QByteArray oldData = content("old");
    const QByteArray newData = content("new");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_TRUE(QDir(install()).removeRecursively());
        ASSERT_TRUE(QDir(download()).removeRecursively());
        ASSERT_TRUE(QDir().mkpath(download()));
        const QString target = installed(c.rel);
        ASSERT_TRUE(QDir().mkpath(QFileInfo(target).path()));
        if (c.installedMode != none) {
            ASSERT_TRUE(writeTestFile(target, oldData));
            ASSERT_TRUE(QFile::setPermissions(target, c.installedMode));
        }
        const ReplaceEntry entry = prepareTreatment(*this, c.treatment, c.rel, oldData, newData);
        ASSERT_TRUE(QFile::setPermissions(downloaded(downloadOf(entry)), rwxrwxrwx));

        RollbackDataList shared;
        FileReplaceTaskSpecification task(entry, nullptr, &shared, &config, nullptr, 0.5);
        task.execute();
        ASSERT_TRUE(waitUntil([&task] { return taskEnded(task); }));
        ASSERT_EQ(task.state, int(TaskSpecification::Finished));
        EXPECT_EQ(readTestFile(target), newData);
        EXPECT_EQ(QFileInfo(target).permissions(), c.expected);
    }
}

TEST_F(FileReplaceTest, AnEmptyHashInstallsOnlyWithAValidSignatureOfTheDownload)
{
    if (!builtInKeyIsDevelopmentKey())
        GTEST_SKIP() << "the build embeds another public key";
    initCryptLibrary();
    const QByteArray oldData = content("old");
    const QByteArray newData = content("new");
    enum Signature { Valid, OfOtherContent, OfTheUnflippedDownload, Missing };
    const struct
    {
        const char *label;
        Treatment treatment;
        Signature signature;
        bool ok;
    } cases[] = {
        {"copy, signed", Copy, Valid, true},
        {"copy, signature of other content", Copy, OfOtherContent, false},
        {"copy, no signature", Copy, Missing, false},
        {"lzma2, signed", Lzma2, Valid, true},
        {"lzma2, one bit flipped after signing", Lzma2, OfTheUnflippedDownload, false},
        {"patch, signed", Patch, Valid, true},
        {"patch, one bit flipped after signing", Patch, OfTheUnflippedDownload, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_TRUE(QDir(install()).removeRecursively());
        ASSERT_TRUE(QDir(download()).removeRecursively());
        ASSERT_TRUE(QDir().mkpath(download()));
        const QString target = installed("MacOS/app");
        ASSERT_TRUE(writeTestFile(target, oldData));
        ReplaceEntry entry = prepareTreatment(*this, c.treatment, "MacOS/app", oldData, newData);
        entry.m_downloadHash.clear();
        const QString file = downloaded(downloadOf(entry));
        QByteArray bytes = readTestFile(file);
        if (c.signature == Valid || c.signature == OfTheUnflippedDownload) {
            ASSERT_TRUE(writeTestFile(file + ".sig", signWithDevelopmentKey(bytes)));
        }
        if (c.signature == OfOtherContent) {
            ASSERT_TRUE(writeTestFile(file + ".sig", signWithDevelopmentKey("other")));
        }
        if (c.signature == OfTheUnflippedDownload) {
            bytes[bytes.size() / 2] = char(bytes[bytes.size() / 2] ^ 0x10);
            ASSERT_TRUE(writeTestFile(file, bytes));
        }
        const auto before = snapshot(install());

        LogCapture capture;
        RollbackDataList shared;
        FileReplaceTaskSpecification task(entry, nullptr, &shared, &config, nullptr, 0.5);
        TaskEventLog log;
        log.watch(&task, "t");
        task.execute();
        ASSERT_TRUE(waitUntil([&task] { return taskEnded(task); }));
        if (c.ok) {
            EXPECT_EQ(task.state, int(TaskSpecification::Finished));
            EXPECT_EQ(readTestFile(target), newData);
        } else {
            EXPECT_EQ(task.state, int(TaskSpecification::Failed));
            EXPECT_TRUE(
                log.filtered("t message").contains("t message Signature check failed for " + file));
            EXPECT_EQ(snapshot(install()), before);
            // Nothing read the download before it was found wanting.
            EXPECT_FALSE(capture.contains("unpackFile"));
            EXPECT_FALSE(capture.contains("ApplyEnsemblePatch status"));
        }
    }
}

class FileReplaceListTest : public FileReplaceTest
{
protected:
    // Entries for files in folders that exist and in folders that do not, all gzip downloads.
    void addEntries(int n, const QString &folder)
    {
        for (int i = 0; i < n; ++i) {
            const QString rel = QString("%1/f%2").arg(folder).arg(i);
            const QByteArray data = content(qPrintable(rel), 50);
            writeGzip(rel + ".gz", data);
            entries.append(resolved(
                published(ReplaceEntry("mac", rel + ".gz", sha512(data), 0, rel)), download()));
        }
    }

    static double weightSum(const QList<TaskSpecification *> &tasks, int from, int to)
    {
        double sum = 0.0;
        for (int i = from; i < to; ++i)
            sum += tasks[i]->weight;
        return sum;
    }

    QList<ReplaceEntry> entries;
    QList<DeleteEntry> deletes;
};

TEST_F(FileReplaceListTest, EmptyListFinishesAtOnce)
{
    FileReplaceListTaskSpecification list(&entries, &deletes, &config, nullptr, 0.4);
    TaskEventLog log;
    log.watch(&list, "l");
    list.execute();
    EXPECT_EQ(list.state, int(TaskSpecification::Finished));
    EXPECT_TRUE(list.allTasks.isEmpty());
    EXPECT_EQ(log.filtered("l message"), QStringList({"l message Starting file updates"}));
}

TEST_F(FileReplaceListTest, FolderTasksComeFirstAndWeighATenthTogether)
{
    ASSERT_TRUE(QDir().mkpath(installed("MacOS")));
    addEntries(3, "MacOS");
    addEntries(4, "Frameworks/b");
    addEntries(2, "Frameworks/a");
    FileReplaceListTaskSpecification list(&entries, &deletes, &config, nullptr, 0.4);
    list.execute();
    ASSERT_EQ(list.allTasks.size(), 11);
    const auto *first = qobject_cast<DirCreateTaskSpecification *>(list.allTasks[0]);
    const auto *second = qobject_cast<DirCreateTaskSpecification *>(list.allTasks[1]);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->path, installed("Frameworks/a"));
    EXPECT_EQ(second->path, installed("Frameworks/b"));
    EXPECT_NEAR(first->weight, 0.05, 1e-12);
    for (int i = 2; i < 11; ++i)
        EXPECT_NEAR(list.allTasks[i]->weight, 0.1, 1e-12);
    ASSERT_TRUE(waitUntil([&list] { return taskEnded(list); }));
    EXPECT_EQ(list.state, int(TaskSpecification::Finished));
    for (const ReplaceEntry &entry : qAsConst(entries))
        EXPECT_TRUE(QFileInfo(installed(entry.m_installedName)).isFile());

    // Every folder there: no folder tasks, the files share the whole weight.
    FileReplaceListTaskSpecification again(&entries, &deletes, &config, nullptr, 0.4);
    again.execute();
    ASSERT_EQ(again.allTasks.size(), 9);
    EXPECT_NEAR(weightSum(again.allTasks, 0, 9), 1.0, 1e-12);
    EXPECT_NEAR(again.allTasks[0]->weight, 1.0 / 9, 1e-12);
    ASSERT_TRUE(waitUntil([&again] { return taskEnded(again); }));
    EXPECT_EQ(again.state, int(TaskSpecification::Finished));
}

TEST_F(FileReplaceListTest, HashesThatDifferOnlyInLetterCaseListTheSameFile)
{
    ASSERT_TRUE(QDir().mkpath(installed("MacOS")));
    ASSERT_TRUE(writeTestFile(installed("MacOS/lib"), "old"));
    ASSERT_TRUE(writeTestFile(downloaded("MacOS/lib"), "new"));
    ReplaceEntry lower("first", "MacOS/lib", QString(), 0, QString());
    lower.m_downloadHash = sha512("new");
    ReplaceEntry upper("second", "MacOS/lib", QString(), 0, QString());
    upper.m_downloadHash = sha512("new").toUpper();
    entries << lower << upper;
    FileReplaceListTaskSpecification list(&entries, &deletes, &config, nullptr, 0.4);
    list.execute();
    ASSERT_TRUE(waitUntil([&list] { return taskEnded(list); }));
    EXPECT_EQ(list.state, int(TaskSpecification::Finished));
    EXPECT_EQ(readTestFile(installed("MacOS/lib")), "new");
    // One task, one kept old file: the rollback brings it back.
    EXPECT_TRUE(list.rollbackList.rollback(nullptr));
    EXPECT_EQ(readTestFile(installed("MacOS/lib")), "old");
}

TEST_F(FileReplaceListTest, AFileListedInTwoSectionsIsInstalledOnceAndComesBackOnRollback)
{
    ASSERT_TRUE(QDir().mkpath(installed("MacOS")));
    ASSERT_TRUE(writeTestFile(installed("MacOS/lib"), "old"));
    ASSERT_TRUE(writeTestFile(downloaded("MacOS/lib"), "new"));
    entries << resolved(published(ReplaceEntry("first", "MacOS/lib", QString(), 0, QString())),
                        download())
            << resolved(published(ReplaceEntry("second", "MacOS/lib", QString(), 0, QString())),
                        download());
    for (const bool fails : {false, true}) {
        SCOPED_TRACE(fails ? "a later file fails" : "all files install");
        ASSERT_TRUE(writeTestFile(installed("MacOS/lib"), "old"));
        if (fails)
            entries << withDownloadHash(
                ReplaceEntry("mac", "MacOS/missing", QString(), 0, QString()), sha512("missing"));
        FileReplaceListTaskSpecification list(&entries, &deletes, &config, nullptr, 0.4);
        list.execute();
        ASSERT_TRUE(waitUntil([&list] { return taskEnded(list); }));
        EXPECT_EQ(list.state, int(fails ? TaskSpecification::Failed : TaskSpecification::Finished));
        EXPECT_EQ(readTestFile(installed("MacOS/lib")), fails ? "old" : "new");
        if (!fails) {
            EXPECT_TRUE(list.rollbackList.rollback(nullptr));
            EXPECT_EQ(readTestFile(installed("MacOS/lib")), "old");
        }
    }
}

TEST_F(FileReplaceListTest, FailureInTheMiddleLeavesTheBundleExactlyAsBefore)
{
    ASSERT_TRUE(QDir().mkpath(installed("MacOS")));
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(writeTestFile(installed(QString("MacOS/f%1").arg(i)), "old"));
    ASSERT_TRUE(QFile::setPermissions(installed("MacOS/f1"), QFileDevice::Permissions(0x7755)));
    addEntries(4, "MacOS");
    addEntries(3, "Resources/new");
    addEntries(2, "MacOS/more");
    // The sixth file does not match its hash.
    entries[5].m_installedHash = sha512("not this");
    const auto before = snapshot(install());

    FileReplaceListTaskSpecification list(&entries, &deletes, &config, nullptr, 0.4);
    TaskEventLog log;
    log.watch(&list, "l");
    list.execute();
    ASSERT_TRUE(waitUntil([&list] { return taskEnded(list); }));
    EXPECT_EQ(list.state, int(TaskSpecification::Failed));
    const QStringList messages = log.filtered("l message");
    EXPECT_TRUE(messages.contains("l message Signature check failed for "
                                  + installed(entries[5].m_installedName)));
    EXPECT_EQ(messages.last(), "l message rolling back file updates");
    EXPECT_EQ(snapshot(install()), before);
    EXPECT_TRUE(list.rollbackList.isEmpty());
}

// A new file whose name another file takes while it is unpacked beside it fails the update with
// the reason; the rollback of a later failure leaves that other file as it is.
TEST_F(FileReplaceListTest, ANameTakenWhileANewFileIsWrittenKeepsItsFile)
{
    ASSERT_TRUE(QDir().mkpath(installed("Resources")));
    ASSERT_TRUE(QDir().mkpath(installed("MacOS")));
    ASSERT_TRUE(writeTestFile(installed("MacOS/f0"), "old"));
    const QByteArray data = content("a_new");
    writeLzma2("Resources/a_new._lzma2_", data);
    entries << resolved(published(ReplaceEntry("mac", "Resources/a_new._lzma2_", sha512(data), 0,
                                               "Resources/a_new")),
                        download());
    // Fails later on: its result does not match.
    addEntries(1, "MacOS");
    entries.last().m_installedHash = sha512("not this");
    const QString taken = installed("Resources/a_new");
    const QByteArray theirs("theirs, since the unpacking began\n");
    setScratchMoveHook([&](const QString &destination) {
        if (QFileInfo(destination).fileName() == "a_new")
            writeTestFile(taken, theirs);
    });

    FileReplaceListTaskSpecification list(&entries, &deletes, &config, nullptr, 0.4);
    TaskEventLog log;
    log.watch(&list, "l");
    list.execute();
    const bool ended = waitUntil([&list] { return taskEnded(list); });
    setScratchMoveHook({});
    ASSERT_TRUE(ended);
    EXPECT_EQ(list.state, int(TaskSpecification::Failed));
    EXPECT_TRUE(log.filtered("l message")
                    .contains(QString("l message Could not unpack '%1' to '%2': File exists")
                                  .arg(downloaded("Resources/a_new._lzma2_"), taken)));
    EXPECT_EQ(readTestFile(taken), theirs);
    EXPECT_EQ(readTestFile(installed("MacOS/f0")), QByteArray("old"));
    EXPECT_FALSE(QFileInfo::exists(taken + "_part_"));
}

TEST_F(FileReplaceListTest, CancelWhileFilesWaitRollsBackAndAborts)
{
    ASSERT_TRUE(QDir().mkpath(installed("MacOS")));
    ASSERT_TRUE(writeTestFile(installed("MacOS/f0"), "old"));
    addEntries(8, "MacOS");
    const auto before = snapshot(install());

    FileReplaceListTaskSpecification list(&entries, &deletes, &config, nullptr, 0.4);
    TaskEventLog log;
    log.watch(&list, "l");
    list.execute();
    ASSERT_EQ(list.allTasks.size(), 8);
    // Cancelled the moment the first file is in place, with most still waiting.
    QObject::connect(list.allTasks[0], &TaskSpecification::finished, &list,
                     [&list] { list.cancel(); });
    ASSERT_TRUE(waitUntil([&list] { return taskEnded(list); }));
    EXPECT_EQ(list.state, int(TaskSpecification::Aborted));
    EXPECT_EQ(log.filtered("l message").last(), "l message rolling back file updates");
    EXPECT_EQ(snapshot(install()), before);
    EXPECT_EQ(list.allTasks[7]->state, int(TaskSpecification::Idle));
}

TEST_F(FileReplaceListTest, FolderThatCannotBeMadeFailsTheList)
{
    ASSERT_TRUE(writeTestFile(installed("Blocked"), "a file where a folder should be"));
    addEntries(1, "MacOS");
    writeGzip("Blocked/f.gz", "x");
    entries.append(resolved(
        published(ReplaceEntry("mac", "Blocked/f.gz", sha512("x"), 0, "Blocked/f")), download()));
    const auto before = snapshot(install());

    FileReplaceListTaskSpecification list(&entries, &deletes, &config, nullptr, 0.4);
    TaskEventLog log;
    log.watch(&list, "l");
    list.execute();
    ASSERT_TRUE(waitUntil([&list] { return taskEnded(list); }));
    EXPECT_EQ(list.state, int(TaskSpecification::Failed));
    EXPECT_TRUE(log.lines.contains("l message Could not create dir '" + installed("Blocked")
                                   + "' because it already exists and is not a dir"));
    EXPECT_EQ(snapshot(install()), before);
}

TEST_F(FileReplaceListTest, RollbackAcrossFileSystemsRestoresEveryFilesBytesAndMode)
{
    // The bundle on its own file system: the old files come back from the download folder by
    // copying, not by renaming.
    PrivateTmpfs bundle(install());
    if (!bundle.mounted())
        GTEST_SKIP() << "cannot mount a private tmpfs here";
    const QByteArray oldData = content("old");
    const QByteArray newData = content("new");
    const struct
    {
        Treatment treatment;
        const char *rel;
        QFileDevice::Permissions mode;
    } files[] = {
        {Copy, "MacOS/tool", QFileDevice::Permissions(0x7755)},
        {Lzma2, "MacOS/qvxclient_mac", QFileDevice::Permissions(0x7755)},
        {Gzip, "Frameworks/libqvx.1.dylib", QFileDevice::Permissions(0x7750)},
        {Patch, "Resources/data", QFileDevice::Permissions(0x6640)},
    };
    for (const auto &f : files) {
        ASSERT_TRUE(writeTestFile(installed(f.rel), oldData + f.rel));
        ASSERT_TRUE(QFile::setPermissions(installed(f.rel), f.mode));
        entries << prepareTreatment(*this, f.treatment, f.rel, oldData + f.rel, newData + f.rel);
    }
    // The last file does not match its hash, after the others are in place.
    ASSERT_TRUE(writeTestFile(installed("MacOS/last"), "old"));
    entries << prepareTreatment(*this, Gzip, "MacOS/last", "old", "new");
    entries.last().m_installedHash = sha512("not this");
    const auto before = snapshot(install());

    FileReplaceListTaskSpecification list(&entries, &deletes, &config, nullptr, 0.4);
    list.execute();
    ASSERT_TRUE(waitUntil([&list] { return taskEnded(list); }));
    EXPECT_EQ(list.state, int(TaskSpecification::Failed));
    EXPECT_EQ(snapshot(install()), before);
    for (const auto &f : files)
        EXPECT_EQ(QFileInfo(installed(f.rel)).permissions(), f.mode) << f.rel;
}

TEST_F(FileReplaceListTest, AFullBundleVolumeIsNamedInTheFailureAndEveryOldFileStays)
{
    PrivateTmpfs bundle(install(), "512k");
    if (!bundle.mounted())
        GTEST_SKIP() << "cannot mount a private tmpfs here";
    const QByteArray oldData = content("old");
    const QByteArray newData = content("new");
    const struct
    {
        Treatment treatment;
        const char *failure;
    } cases[] = {
        {Copy, "Could not copy '%source' to '%target'"},
        {Lzma2, "Could not unpack '%source' to '%target'"},
        {Gzip, "Could not unzip '%source' to '%target'"},
        {Patch, "Could not patch '%base' to '%target'"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.failure);
        // The mount point itself stays.
        for (const QFileInfo &info : QDir(install()).entryInfoList(
                 QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)) {
            ASSERT_TRUE(info.isDir() ? QDir(info.filePath()).removeRecursively()
                                     : QFile::remove(info.filePath()));
        }
        ASSERT_TRUE(QDir(download()).removeRecursively());
        ASSERT_TRUE(QDir().mkpath(download()));
        entries.clear();
        const QString target = installed("MacOS/app");
        ASSERT_TRUE(writeTestFile(target, oldData));
        entries << prepareTreatment(*this, c.treatment, "MacOS/app", oldData, newData);
        ASSERT_TRUE(bundle.fillUp());
        const auto before = snapshot(install());

        FileReplaceListTaskSpecification list(&entries, &deletes, &config, nullptr, 0.4);
        TaskEventLog log;
        log.watch(&list, "l");
        list.execute();
        ASSERT_TRUE(waitUntil([&list] { return taskEnded(list); }));
        EXPECT_EQ(list.state, int(TaskSpecification::Failed));
        const QString failure = QString(c.failure)
                                    .replace("%source", downloaded(entries[0].m_key))
                                    .replace("%base", downloaded("MacOS/app_old"))
                                    .replace("%target", target);
        const QStringList messages = log.filtered("l message");
        EXPECT_TRUE(messages.contains("l message " + failure + ": No space left on device"))
            << messages.join('\n').toStdString();
        EXPECT_EQ(messages.last(), "l message rolling back file updates");
        EXPECT_EQ(snapshot(install()), before);
        EXPECT_EQ(readTestFile(target), oldData);
    }
}

TEST_F(FileReplaceListTest, RollbackBringsBackReadOnlyAndOddModesExactly)
{
    // Run as root, a plain copy gives the owner root's access: 0444 would come back 0644.
    const QByteArray oldData = content("old");
    const QByteArray newData = content("new");
    const struct
    {
        Treatment treatment;
        const char *rel;
        int mode;
    } files[] = {
        {Copy, "Resources/readonly", 0444}, {Lzma2, "MacOS/tool", 0555},
        {Gzip, "Resources/private", 0400},  {Patch, "Resources/data", 0444},
        {Patch, "MacOS/helper", 0751},
    };
    for (const bool acrossFileSystems : {false, true}) {
        SCOPED_TRACE(acrossFileSystems ? "bundle on its own file system" : "one file system");
        entries.clear();
        ASSERT_TRUE(QDir(install()).removeRecursively());
        ASSERT_TRUE(QDir(download()).removeRecursively());
        ASSERT_TRUE(QDir().mkpath(install()));
        ASSERT_TRUE(QDir().mkpath(download()));
        std::unique_ptr<PrivateTmpfs> bundle;
        if (acrossFileSystems) {
            bundle.reset(new PrivateTmpfs(install()));
            if (!bundle->mounted())
                continue;
        }
        for (const auto &f : files) {
            ASSERT_TRUE(writeTestFile(installed(f.rel), oldData + f.rel));
            ASSERT_EQ(::chmod(QFile::encodeName(installed(f.rel)).constData(), mode_t(f.mode)), 0);
            entries << prepareTreatment(*this, f.treatment, f.rel, oldData + f.rel,
                                        newData + f.rel);
        }
        // The last file fails its check once the others are in place.
        ASSERT_TRUE(writeTestFile(installed("MacOS/last"), "old"));
        entries << prepareTreatment(*this, Gzip, "MacOS/last", "old", "new");
        entries.last().m_installedHash = sha512("not this");
        const auto before = treeWithModes(install());

        FileReplaceListTaskSpecification list(&entries, &deletes, &config, nullptr, 0.4);
        list.execute();
        ASSERT_TRUE(waitUntil([&list] { return taskEnded(list); }));
        EXPECT_EQ(list.state, int(TaskSpecification::Failed));
        for (const auto &f : files) {
            EXPECT_EQ(readTestFile(installed(f.rel)), oldData + f.rel) << f.rel;
            EXPECT_EQ(QString::number(exactModeOf(installed(f.rel)), 8), QString::number(f.mode, 8))
                << f.rel;
        }
        EXPECT_EQ(treeWithModes(install()), before);
    }
}

} // namespace
