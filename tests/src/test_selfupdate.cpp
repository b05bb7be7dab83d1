#include "configuration.h"
#include "faketasks.h"
#include "filemodes.h"
#include "fileops_test_support.h"
#include "filereplacelisttaskspecification.h"
#include "replacelistdata.h"
#include "signing_test_support.h"
#include "test_maintask_support.h"
#include "tmpfs_test_support.h"
#include "updateinidata.h"
#include "updatertestenv.h"

#include <QSettings>

#include <sys/stat.h>

#include <gtest/gtest.h>

using namespace qvxrun;

namespace {

const QString updaterExe = QStringLiteral("SharedSupport/update.app/Contents/MacOS/update");
const QString strings = QStringLiteral("SharedSupport/update.app/Contents/Resources/strings.txt");
const QString plainFile = QStringLiteral("SharedSupport/update.app/Contents/Resources/plain.txt");
const QString library = QStringLiteral("Frameworks/libqvx.1.dylib");

class SelfUpdateStagingTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        config.clientUpdate = 0;
        config.tempDir = env.path(QStringLiteral("session"));
        config.installPath = env.bundle() + QStringLiteral("/Contents/");
        ASSERT_TRUE(QDir().mkpath(config.tempDir));
        ASSERT_TRUE(UpdateIniData::modify(812, config.tempDir, config.installPath,
                                          QStringLiteral("update_macosx")));
        const QString translations = env.sharedSupport() + QStringLiteral("/translations/");
        ASSERT_TRUE(put(translations + "update_de.qm", "de"));
        ASSERT_TRUE(put(translations + "update_fr.qm", "fr"));
        ASSERT_TRUE(put(translations + "client_de.qm", "not the updater's"));
    }

    QString staged(const QString &rel) const { return config.tempDir + "/" + rel; }
    QString installed(const QString &rel) const { return config.installPath + "/" + rel; }

    // Runs a staging task over the list and returns its end state.
    int run(QList<ReplaceEntry> list, double weight = 0.4)
    {
        UpdateSelfUnzipTaskSpecification task(&list, &config, nullptr, weight);
        log.watch(&task, QStringLiteral("s"));
        task.execute();
        EXPECT_TRUE(waitUntil([&] { return taskEnded(task); }));
        return task.state;
    }

    UpdaterTestEnv env;
    Configuration config;
    TaskEventLog log;
};

bool isExecutable(const QString &path)
{
    return QFileInfo(path).permissions() == FileModes::executable;
}

// The entry as the list builder makes it: with the hash of what was downloaded for it.
ReplaceEntry downloadedAs(ReplaceEntry entry, const QByteArray &download)
{
    entry.m_downloadHash = sha512(download);
    return entry;
}

TEST_F(SelfUpdateStagingTest, StagesACompleteUpdaterInTheDownloadFolder)
{
    const QByteArray exe = lines("new updater");
    const QByteArray lib = lines("new library");
    const QByteArray oldStrings = lines("strings v1");
    const QByteArray newStrings = lines("strings v1") + lines("strings v2", 40);
    const QByteArray patch = makePatch(oldStrings, newStrings);
    ASSERT_FALSE(patch.isEmpty());
    ASSERT_TRUE(put(staged(updaterExe + "._lzma2_"), packLzma2(exe)));
    ASSERT_TRUE(put(staged(library + "_gz"), packGzip(lib)));
    ASSERT_TRUE(put(installed(strings), oldStrings));
    ASSERT_TRUE(put(staged(strings + "_1_patch_"), patch));
    ASSERT_TRUE(put(staged(plainFile), "downloaded as it is installed"));

    const QList<ReplaceEntry> list = {
        downloadedAs(ReplaceEntry("update", updaterExe + "._lzma2_", sha512(exe),
                                  quint64(exe.size()), updaterExe),
                     packLzma2(exe)),
        downloadedAs(
            ReplaceEntry("update", library + "_gz", sha512(lib), quint64(lib.size()), library),
            packGzip(lib)),
        // The download name is the installed name: only the patch is downloaded.
        downloadedAs(ReplaceEntry("update", strings, sha512(newStrings), quint64(newStrings.size()),
                                  strings, strings + "_1_patch_"),
                     patch),
        downloadedAs(ReplaceEntry("update", plainFile, "hash", 29, QString()),
                     "downloaded as it is installed"),
    };
    ASSERT_EQ(run(list), TaskSpecification::Finished);

    const QString root = config.tempDir;
    const QString bundle = QStringLiteral("SharedSupport/update.app");
    const QMap<QString, QByteArray> expected = {
        {"Frameworks", "<dir>"},
        {library, lib},
        // Outside the updater bundle the archive stays.
        {library + "_gz", packGzip(lib)},
        {"SharedSupport", "<dir>"},
        {bundle, "<dir>"},
        {bundle + "/Contents", "<dir>"},
        {bundle + "/Contents/Frameworks", "<link> " + QFile::encodeName(root + "/Frameworks")},
        {bundle + "/Contents/Plugins", "<link> " + QFile::encodeName(root + "/Plugins")},
        {bundle + "/Contents/MacOS", "<dir>"},
        {updaterExe, exe},
        {bundle + "/Contents/Resources", "<dir>"},
        {strings, newStrings},
        {strings + "_old", oldStrings},
        {strings + "_1_patch_", patch},
        {plainFile, "downloaded as it is installed"},
        {"SharedSupport/update.ini", get(staged("SharedSupport/update.ini"))},
        {"SharedSupport/translations", "<dir>"},
        {"SharedSupport/translations/update_de.qm", "de"},
        {"SharedSupport/translations/update_fr.qm", "fr"},
    };
    EXPECT_EQ(snapshot(root), expected);
    EXPECT_TRUE(isExecutable(staged(updaterExe)));
    EXPECT_TRUE(isExecutable(staged(library)));
    EXPECT_FALSE(isExecutable(staged(strings)));
    EXPECT_EQ(get(installed(strings)), oldStrings) << "the installed client is never changed";

    QSettings record(staged("SharedSupport/update.ini"), QSettings::IniFormat);
    EXPECT_EQ(record.value("current/type").toString(), "client_macosx");
    EXPECT_EQ(record.value("current/version").toInt(), 812);
    EXPECT_EQ(record.value("current/dir").toString(), config.tempDir);
    EXPECT_EQ(log.filtered("s message"), QStringList({"s message Patching " + strings}));
    EXPECT_TRUE(log.filtered("s error").isEmpty());
}

TEST_F(SelfUpdateStagingTest, ARepeatedRunKeepsWhatIsThereAndFinishes)
{
    // Nothing packed: the completion steps run at once, twice in the same folder.
    ASSERT_TRUE(put(staged("SharedSupport/translations/update_de.qm"), "kept"));
    ASSERT_TRUE(put(staged(plainFile), "copied by the list builder"));
    const QList<ReplaceEntry> list = {downloadedAs(
        ReplaceEntry("update", plainFile, "hash", 1, QString()), "copied by the list builder")};
    LogCapture capture;
    ASSERT_EQ(run(list), TaskSpecification::Finished);
    ASSERT_EQ(run(list), TaskSpecification::Finished);

    const QString link = staged("SharedSupport/update.app/Contents/Frameworks");
    EXPECT_EQ(QFileInfo(link).symLinkTarget(), staged("Frameworks"));
    EXPECT_TRUE(capture.contains(
        QString("Create symlink \"%1\" \"%2\" true").arg(staged("Frameworks"), link)));
    EXPECT_TRUE(capture.contains(
        QString("Create symlink \"%1\" \"%2\" false").arg(staged("Frameworks"), link)));
    EXPECT_EQ(get(staged("SharedSupport/translations/update_de.qm")), "kept");
    EXPECT_EQ(get(staged("SharedSupport/translations/update_fr.qm")), "fr");
    EXPECT_EQ(log.filtered("s progress").last(), "s progress 0.4");
}

TEST_F(SelfUpdateStagingTest, EveryChildWeighsOneSoProgressPassesTheWeight)
{
    QList<ReplaceEntry> list;
    for (int i = 0; i < 3; ++i) {
        const QByteArray data = lines("file", 10 + i);
        const QString name = QString("Plugins/p%1.txt").arg(i);
        ASSERT_TRUE(put(staged(name + "._lzma2_"), packLzma2(data)));
        list.append(downloadedAs(ReplaceEntry("update", name + "._lzma2_", sha512(data), 1, name),
                                 packLzma2(data)));
    }
    ASSERT_EQ(run(list, 0.4), TaskSpecification::Finished);
    double highest = 0.0;
    for (const QString &line : log.filtered("s progress"))
        highest = qMax(highest, line.section(' ', 2).toDouble());
    EXPECT_DOUBLE_EQ(highest, 1.2);
    EXPECT_EQ(log.filtered("s progress").last(), "s progress 0.4");
}

TEST_F(SelfUpdateStagingTest, AFailedChildFailsTheTaskAfterTheCompletionSteps)
{
    const QByteArray exe = lines("new updater");
    ASSERT_TRUE(put(staged(updaterExe + "._lzma2_"), packLzma2(exe)));
    // The first download matches its hash but is no container.
    ASSERT_TRUE(put(staged("Frameworks/broken._lzma2_"), "not a container"));
    const QList<ReplaceEntry> list = {
        downloadedAs(
            ReplaceEntry("update", "Frameworks/broken._lzma2_", "h", 1, "Frameworks/broken"),
            "not a container"),
        downloadedAs(ReplaceEntry("update", updaterExe + "._lzma2_", sha512(exe), 1, updaterExe),
                     packLzma2(exe)),
    };
    ASSERT_EQ(run(list), TaskSpecification::Failed);
    EXPECT_FALSE(log.filtered("s message").isEmpty());
    EXPECT_FALSE(QFileInfo::exists(staged("Frameworks/broken")));
    EXPECT_TRUE(QFileInfo(staged("SharedSupport/update.app/Contents/Plugins")).isSymLink());
    EXPECT_TRUE(QFileInfo::exists(staged("SharedSupport/update.ini")));
}

TEST_F(SelfUpdateStagingTest, AStagedFileThatDoesNotMatchItsHashFailsTheTask)
{
    const QByteArray exe = lines("new updater");
    ReplaceEntry plain("update", plainFile, QString(), 1, QString());
    plain.m_downloadHash = sha512("as published");
    struct Case
    {
        const char *label;
        ReplaceEntry entry;
        QString file;
        QByteArray content;
        QString checked;
    } cases[] = {
        {"unpacked file",
         downloadedAs(
             ReplaceEntry("update", updaterExe + "._lzma2_", sha512("other"), 1, updaterExe),
             packLzma2(exe)),
         staged(updaterExe + "._lzma2_"), packLzma2(exe), staged(updaterExe)},
        {"plain download", plain, staged(plainFile), "tampered", staged(plainFile)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        log.lines.clear();
        ASSERT_TRUE(put(c.file, c.content));
        ASSERT_EQ(run({c.entry}), TaskSpecification::Failed);
        EXPECT_TRUE(log.filtered("s message")
                        .contains("s message Signature check failed for " + c.checked));
    }

    // The same files with matching hashes pass.
    log.lines.clear();
    ASSERT_TRUE(put(staged(updaterExe + "._lzma2_"), packLzma2(exe)));
    ASSERT_TRUE(put(staged(plainFile), "as published"));
    ASSERT_EQ(run({downloadedAs(
                       ReplaceEntry("update", updaterExe + "._lzma2_", sha512(exe), 1, updaterExe),
                       packLzma2(exe)),
                   plain}),
              TaskSpecification::Finished);
}

TEST_F(SelfUpdateStagingTest, AFileListedInTwoSectionsIsStagedOnce)
{
    const QByteArray exe = lines("new updater", 20000);
    ASSERT_TRUE(put(staged(updaterExe + "._lzma2_"), packLzma2(exe)));
    const QList<ReplaceEntry> list = {
        downloadedAs(ReplaceEntry("update", updaterExe + "._lzma2_", sha512(exe), 1, updaterExe),
                     packLzma2(exe)),
        downloadedAs(
            ReplaceEntry("update_arm", updaterExe + "._lzma2_", sha512(exe), 1, updaterExe),
            packLzma2(exe)),
    };
    ASSERT_EQ(run(list), TaskSpecification::Finished);
    EXPECT_EQ(get(staged(updaterExe)), exe);
}

TEST_F(SelfUpdateStagingTest, AnUnwritableSessionRecordEndsTheTaskFailed)
{
    // No session record to copy from.
    ASSERT_TRUE(QFile::remove(env.sharedSupport() + "/update.ini"));
    ASSERT_EQ(run({}), TaskSpecification::Failed);
    EXPECT_EQ(log.filtered("s error"),
              QStringList({"s error Failed to write temp update.ini. The updater does not seem to "
                           "have the required write permissions. (there is no session record: '"
                           + env.sharedSupport() + "/update.ini' does not exist)"}));
    EXPECT_FALSE(QFileInfo::exists(staged("SharedSupport/translations")));
    EXPECT_EQ(log.filtered("s canceled").size(), 1);
}

TEST_F(SelfUpdateStagingTest, AFullDownloadFolderIsNamedInTheError)
{
    PrivateTmpfs fs(staged("SharedSupport"), "64k");
    if (!fs.mounted())
        GTEST_SKIP() << "cannot mount a private tmpfs here";
    ASSERT_TRUE(fs.fillLeaving(QStringLiteral("filler"), 0));
    ASSERT_EQ(run({}), TaskSpecification::Failed);
    EXPECT_EQ(log.filtered("s error"),
              QStringList({"s error Failed to write temp update.ini. The updater does not seem to "
                           "have the required write permissions. (No space left on device)"}));
    EXPECT_FALSE(QFileInfo::exists(staged("SharedSupport/update.ini")));
}

// What step one copies into a full download folder fails the staging with the system's reason:
// the base of a patch (the patcher would only say that it found none) and a translation.
TEST_F(SelfUpdateStagingTest, ACopyIntoAFullDownloadFolderFailsWithItsReason)
{
    const QByteArray oldStrings = lines("strings v1", 6000);
    const QByteArray newStrings = oldStrings + lines("strings v2", 40);
    const QByteArray patch = makePatch(oldStrings, newStrings);
    const QString translation = env.sharedSupport() + QStringLiteral("/translations/update_de.qm");
    const QString stagedTranslation = staged("SharedSupport/translations/update_de.qm");
    // As the running updater names its own translations folder.
    const QString shownTranslation
        = QDir(Configuration::getInstallPath() + "/translations").path() + "/update_de.qm";
    const ReplaceEntry patched = downloadedAs(
        ReplaceEntry("update", strings, sha512(newStrings), 1, strings, strings + "_1_patch_"),
        patch);
    const struct
    {
        const char *label;
        QString volume; // the folder that is full
        QList<ReplaceEntry> list;
        QString failure;
        QString leftOut; // where no file may remain
    } cases[] = {
        {"patch base",
         QFileInfo(staged(strings)).path(),
         {patched},
         QString("Could not patch '%1' to '%2'").arg(staged(strings + "_old"), staged(strings)),
         staged(strings + "_old")},
        {"translation",
         staged("SharedSupport/translations"),
         {},
         QString("Could not copy '%1' to '%2'").arg(shownTranslation, stagedTranslation),
         stagedTranslation},
    };
    ASSERT_TRUE(put(installed(strings), oldStrings));
    ASSERT_TRUE(put(translation, lines("translation", 6000)));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        log.lines.clear();
        PrivateTmpfs fs(c.volume, "1m");
        if (!fs.mounted())
            GTEST_SKIP() << "cannot mount a private tmpfs here";
        ASSERT_TRUE(put(staged(strings + "_1_patch_"), patch));
        ASSERT_TRUE(fs.fillLeaving(QStringLiteral("filler"), 8192));

        ASSERT_EQ(run(c.list), TaskSpecification::Failed);
        EXPECT_TRUE(log.filtered("s message")
                        .contains("s message " + c.failure + ": No space left on device"))
            << qPrintable(log.filtered("s message").join(" | "));
        EXPECT_FALSE(QFileInfo::exists(c.leftOut));
    }
}

// A copy of data with one bit flipped in the middle.
QByteArray flipped(QByteArray data)
{
    data[data.size() / 2] = char(data[data.size() / 2] ^ 0x04);
    return data;
}

TEST_F(SelfUpdateStagingTest, ADownloadThatDoesNotMatchItsHashIsNeverUnpackedOrPatched)
{
    const QByteArray exe = lines("new updater");
    const QByteArray oldStrings = lines("strings v1");
    const QByteArray newStrings = oldStrings + lines("strings v2", 40);
    const QByteArray container = packLzma2(exe);
    const QByteArray patch = makePatch(oldStrings, newStrings);
    const ReplaceEntry unpacked = downloadedAs(
        ReplaceEntry("update", updaterExe + "._lzma2_", sha512(exe), 1, updaterExe), container);
    const ReplaceEntry patched = downloadedAs(
        ReplaceEntry("update", strings, sha512(newStrings), 1, strings, strings + "_1_patch_"),
        patch);
    const struct
    {
        const char *label;
        QString download;
        QByteArray bytes;
    } cases[] = {
        {"container", staged(updaterExe + "._lzma2_"), flipped(container)},
        {"patch", staged(strings + "_1_patch_"), flipped(patch)},
    };
    ASSERT_TRUE(put(installed(strings), oldStrings));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        log.lines.clear();
        ASSERT_TRUE(put(staged(updaterExe + "._lzma2_"), container));
        ASSERT_TRUE(put(staged(strings + "_1_patch_"), patch));
        ASSERT_TRUE(put(c.download, c.bytes));
        QFile::remove(staged(updaterExe));
        QFile::remove(staged(strings));
        const auto bundleBefore = snapshot(env.bundle(), WithModes);

        LogCapture capture;
        ASSERT_EQ(run({unpacked, patched}), TaskSpecification::Failed);
        EXPECT_TRUE(log.filtered("s message")
                        .contains("s message Signature check failed for " + c.download));
        // Nothing was staged, not even from the download that is sound.
        EXPECT_FALSE(QFileInfo::exists(staged(updaterExe)));
        EXPECT_FALSE(QFileInfo::exists(staged(strings)));
        EXPECT_FALSE(capture.contains("unpackFile"));
        EXPECT_FALSE(capture.contains("ApplyEnsemblePatch status"));
        EXPECT_EQ(snapshot(env.bundle(), WithModes), bundleBefore);
    }
}

TEST_F(SelfUpdateStagingTest, AnEmptyHashStagesOnlyWithAValidSignatureOfTheDownload)
{
    if (!builtInKeyIsDevelopmentKey())
        GTEST_SKIP() << "the build embeds another public key";
    initCryptLibrary();
    const QByteArray exe = lines("new updater");
    const QByteArray container = packLzma2(exe);
    const QString download = staged(updaterExe + "._lzma2_");
    const struct
    {
        const char *label;
        QByteArray signature; // empty: none
        bool ok;
    } cases[] = {
        {"signed", signWithDevelopmentKey(container), true},
        {"signature of other content", signWithDevelopmentKey("other"), false},
        {"no signature", QByteArray(), false},
    };
    // An empty download hash, as a product ini line "::size::hash::size::name" gives it.
    const ReplaceEntry entry("update", updaterExe + "._lzma2_", sha512(exe), 1, updaterExe);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        log.lines.clear();
        QFile::remove(staged(updaterExe));
        QFile::remove(download + ".sig");
        ASSERT_TRUE(put(download, container));
        if (!c.signature.isEmpty()) {
            ASSERT_TRUE(put(download + ".sig", c.signature));
        }
        ASSERT_EQ(run({entry}), c.ok ? TaskSpecification::Finished : TaskSpecification::Failed);
        if (c.ok) {
            EXPECT_EQ(get(staged(updaterExe)), exe);
            EXPECT_TRUE(isExecutable(staged(updaterExe)));
        } else {
            EXPECT_FALSE(QFileInfo::exists(staged(updaterExe)));
            EXPECT_TRUE(log.filtered("s message")
                            .contains("s message Signature check failed for " + download));
        }
    }
}

TEST_F(SelfUpdateStagingTest, ASharedSupportFileDownloadedAsItIsReachesTheStagedBundle)
{
    // A two-field line of the shared-support section: downloaded without "SharedSupport/".
    const QString key = QStringLiteral("update.app/Contents/Resources/extra.txt");
    const QByteArray data = lines("extra resource");
    const ReplaceEntry entry
        = downloadedAs(ReplaceEntry("common_client", key, QString(), 1, QString()), data);
    ASSERT_EQ(entry.localRelativePath(QString()), "SharedSupport/" + key);

    for (const bool tampered : {true, false}) {
        SCOPED_TRACE(tampered ? "tampered download" : "download as published");
        log.lines.clear();
        ASSERT_TRUE(put(staged(key), tampered ? flipped(data) : data));
        ASSERT_EQ(run({entry}), tampered ? TaskSpecification::Failed : TaskSpecification::Finished);
        if (tampered) {
            EXPECT_FALSE(QFileInfo::exists(staged("SharedSupport/" + key)));
            EXPECT_TRUE(log.filtered("s message")
                            .contains("s message Signature check failed for " + staged(key)));
        } else {
            EXPECT_EQ(get(staged("SharedSupport/" + key)), data);
            EXPECT_EQ(QFileInfo(staged("SharedSupport/" + key)).permissions(), FileModes::newFile);
        }
    }
}

TEST_F(SelfUpdateStagingTest,
       StagedFilesTakeTheInstalledModeOrTheDefaultAndProgramsAreNotWorldWritable)
{
    const QString helper = QStringLiteral("SharedSupport/update.app/Contents/MacOS/helper");
    const QString newData = QStringLiteral("SharedSupport/update.app/Contents/Resources/new.dat");
    const QByteArray oldHelper = lines("helper v1");
    const QByteArray newHelper = oldHelper + lines("helper v2", 30);
    const QByteArray exe = lines("new updater");
    const QByteArray lib = lines("new library");
    const QByteArray fresh = lines("new data");
    const QByteArray patch = makePatch(oldHelper, newHelper);
    ASSERT_TRUE(put(installed(helper), oldHelper));
    ASSERT_TRUE(QFile::setPermissions(installed(helper), QFileDevice::Permissions(0x7750)));
    ASSERT_TRUE(put(installed(updaterExe), "old updater"));
    ASSERT_TRUE(QFile::setPermissions(installed(updaterExe), QFileDevice::Permissions(0x7777)));
    ASSERT_TRUE(put(staged(helper + "_patch_"), patch));
    ASSERT_TRUE(put(staged(updaterExe + "._lzma2_"), packLzma2(exe)));
    ASSERT_TRUE(put(staged(library + "_gz"), packGzip(lib)));
    ASSERT_TRUE(put(staged(newData + "._lzma2_"), packLzma2(fresh)));

    // Neither the umask nor the downloads' modes may decide a mode.
    const mode_t previousMask = ::umask(0);
    const int state = run({
        downloadedAs(
            ReplaceEntry("update", helper, sha512(newHelper), 1, helper, helper + "_patch_"),
            patch),
        downloadedAs(ReplaceEntry("update", updaterExe + "._lzma2_", sha512(exe), 1, updaterExe),
                     packLzma2(exe)),
        downloadedAs(ReplaceEntry("update", library + "_gz", sha512(lib), 1, library),
                     packGzip(lib)),
        downloadedAs(ReplaceEntry("update", newData + "._lzma2_", sha512(fresh), 1, newData),
                     packLzma2(fresh)),
    });
    ::umask(previousMask);
    ASSERT_EQ(state, TaskSpecification::Finished);

    const QMap<QString, QFileDevice::Permissions> expected = {
        {helper, QFileDevice::Permissions(0x7750)},
        {updaterExe, FileModes::executable},
        {library, FileModes::executable},
        {newData, FileModes::newFile},
    };
    for (auto it = expected.constBegin(); it != expected.constEnd(); ++it) {
        SCOPED_TRACE(qPrintable(it.key()));
        EXPECT_EQ(QFileInfo(staged(it.key())).permissions(), it.value());
    }
    EXPECT_EQ(get(staged(helper)), newHelper);
    EXPECT_EQ(get(staged(newData)), fresh);
}

} // namespace
