#include "filereplacelisttaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "dircreatetaskspecification.h"
#include "filecopytaskspecification.h"
#include "filemodes.h"
#include "filereplacetaskspecification.h"
#include "filetaskspecification_patch.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "fileunpacktaskspecification_zip.h"
#include "pathconfinement.h"
#include "scratchfile.h"
#include "sessionfolder.h"
#include "systemreason.h"
#include "updateinidata.h"

#include <QDebug>
#include <QFile>

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QStringList>

namespace {

// The first path of the entries that leads out of root, links followed: their installed paths
// or, for the download folder, their downloads as well.
QString firstPathOutside(const QList<ReplaceEntry> &entries, const QString &root,
                         bool withDownloads)
{
    for (const ReplaceEntry &entry : entries) {
        const QString relative = entry.localRelativePath(QString());
        QStringList paths({QDir(root).filePath(relative)});
        if (withDownloads)
            paths << QDir(root).filePath(entry.m_key) << QDir(root).filePath(entry.m_patchKey);
        if (!PathConfinement::isSafeRelativePath(relative)
            || (withDownloads && !PathConfinement::isSafeRelativePath(entry.m_key))
            || (withDownloads && entry.hasPatch()
                && !PathConfinement::isSafeRelativePath(entry.m_patchKey)))
            return paths.first();
        for (const QString &path : qAsConst(paths)) {
            if (!PathConfinement::staysInside(root, path, true))
                return path;
        }
    }
    return QString();
}

// The entries without repeats of one that installs the same file in the same way.
QList<ReplaceEntry> distinctEntries(const QList<ReplaceEntry> &list)
{
    QList<ReplaceEntry> entries;
    QSet<QString> seen;
    for (const ReplaceEntry &entry : list) {
        const QString identity = entry.installIdentity();
        if (seen.contains(identity))
            continue;
        seen.insert(identity);
        entries.append(entry);
    }
    return entries;
}

} // namespace

FileReplaceListTaskSpecification::FileReplaceListTaskSpecification(QList<ReplaceEntry> *replaceList,
                                                                   QList<DeleteEntry> *deleteList,
                                                                   Configuration *configuration,
                                                                   QObject *parent, double weight)
    : ComposedTaskSpecification(2, parent, weight)
    , replaceList(replaceList)
    , deleteList(deleteList)
    , configuration(configuration)
{ }

FileReplaceListTaskSpecification::~FileReplaceListTaskSpecification() = default;

void FileReplaceListTaskSpecification::execute()
{
    emit message(tr("Starting file updates"));
    makeSubtasksAndStart();
}

void FileReplaceListTaskSpecification::makeSubtasksAndStart()
{
    if (!targetsConfined()) {
        state = Running;
        fail();
        return;
    }
    const int count = collectTargetDirs();
    addReplaceTasks(count >= 1);
    state = Running;
    startSubtasks();
}

bool FileReplaceListTaskSpecification::targetsConfined()
{
    // Checked before any folder is made: a linked folder on the way would have them made, and
    // the files written, elsewhere.
    const QString outside = replaceList
        ? firstPathOutside(*replaceList, configuration->installPath, false)
        : QString();
    if (outside.isEmpty())
        return true;
    emit message(PathConfinement::outsideText(outside, configuration->installPath));
    return false;
}

int FileReplaceListTaskSpecification::collectTargetDirs()
{
    if (!replaceList)
        return 0;
    const QDir base(configuration->installPath);
    QSet<QString> seen;
    QStringList missing;
    for (const ReplaceEntry &entry : qAsConst(*replaceList)) {
        const QString dir = QFileInfo(base.filePath(entry.localRelativePath(QString()))).path();
        if (seen.contains(dir))
            continue;
        seen.insert(dir);
        // Something else in a folder's place is handed on too: its task reports it.
        if (!QFileInfo(dir).isDir())
            missing.append(dir);
    }
    missing.sort(Qt::CaseSensitive);
    for (const QString &dir : qAsConst(missing))
        addSubTask(new DirCreateTaskSpecification(dir, &rollbackList, this, 0.1 / missing.size()));
    return missing.size();
}

void FileReplaceListTaskSpecification::addReplaceTasks(bool directoriesCreated)
{
    if (!replaceList || replaceList->isEmpty())
        return;
    // A file listed alike in two sections is installed once: two tasks would write the same
    // target side by side, and the second would keep the first one's new file as the old one.
    const QList<ReplaceEntry> entries = distinctEntries(*replaceList);
    const double total = directoriesCreated ? 0.9 : 1.0;
    const double weight = total / entries.size();
    for (const ReplaceEntry &entry : qAsConst(entries))
        addSubTask(new FileReplaceTaskSpecification(entry, deleteList, &rollbackList, configuration,
                                                    this, weight));
}

void FileReplaceListTaskSpecification::subtasksDone()
{
    if (subtasksState() != Finished) {
        emit message(tr("rolling back file updates"));
        rollbackList.rollback(this);
    }
    ComposedTaskSpecification::subtasksDone();
}

void FileReplaceListTaskSpecification::reset()
{
    clearSubtasks();
    rollbackList.rollback(this);
    // With no children left this only clears the end flags of the last run and the base.
    ComposedTaskSpecification::reset();
}

namespace {

QString joined(const QString &folder, const QString &name)
{
    return folder + QLatin1Char('/') + name;
}

const QString stagedBundle = QStringLiteral("SharedSupport/update.app");

} // namespace

UpdateSelfUnzipTaskSpecification::UpdateSelfUnzipTaskSpecification(QList<ReplaceEntry> *replaceList,
                                                                   Configuration *configuration,
                                                                   QObject *parent, double weight)
    : ComposedTaskSpecification(2, parent, weight)
    , replaceList(replaceList)
    , configuration(configuration)
{ }

UpdateSelfUnzipTaskSpecification::~UpdateSelfUnzipTaskSpecification() = default;

void UpdateSelfUnzipTaskSpecification::execute()
{
    makeSubtasksAndStart();
}

// Three rounds of children, each started once the one before has finished: every download is
// checked before anything reads it, then the staged files are written, then each is checked
// against its hash (a check never reads a file that is still being written).
void UpdateSelfUnzipTaskSpecification::makeSubtasksAndStart()
{
    // The new updater is built inside the download folder and nowhere else.
    const QString outside
        = replaceList ? firstPathOutside(*replaceList, configuration->tempDir, true) : QString();
    if (!outside.isEmpty()) {
        emit message(PathConfinement::outsideText(outside, configuration->tempDir));
        state = Running;
        fail();
        return;
    }
    m_Phase = CheckingDownloads;
    addDownloadChecks();
    state = Running;
    startSubtasks();
}

bool UpdateSelfUnzipTaskSpecification::startNextPhase()
{
    while (m_Phase != CheckingStagedFiles && subtasksState() == Finished) {
        bool added = false;
        if (m_Phase == CheckingDownloads) {
            m_Phase = Staging;
            added = addStagingTasks();
        } else {
            m_Phase = CheckingStagedFiles;
            added = addStagedFileChecks();
        }
        if (added) {
            subtasksDoneCalled = false;
            startSubtasks();
            return true;
        }
    }
    return false;
}

QString UpdateSelfUnzipTaskSpecification::downloadOf(const ReplaceEntry &entry) const
{
    return joined(configuration->tempDir, entry.hasPatch() ? entry.m_patchKey : entry.m_key);
}

// Checked again, as a download may have changed since the download step checked it; an empty
// hash asks for the download's detached signature.
bool UpdateSelfUnzipTaskSpecification::addDownloadChecks()
{
    if (!replaceList)
        return false;
    QSet<QString> checked;
    for (const ReplaceEntry &entry : qAsConst(*replaceList)) {
        const QString download = downloadOf(entry);
        const QString identity = download + QChar(0) + entry.m_downloadHash;
        if (checked.contains(identity))
            continue;
        checked.insert(identity);
        addSubTask(
            new CheckSignatureTaskSpecification(download, entry.m_downloadHash, true, this, 0.0));
    }
    return !checked.isEmpty();
}

bool UpdateSelfUnzipTaskSpecification::addStagingTasks()
{
    if (!replaceList)
        return false;
    const QString &tempDir = configuration->tempDir;
    bool added = false;
    // Two children writing the same staged file side by side would spoil each other's work.
    const QList<ReplaceEntry> entries = distinctEntries(*replaceList);
    for (const ReplaceEntry &entry : entries) {
        const QString rel = entry.localRelativePath(QString());
        const QString staged = joined(tempDir, rel);
        const QString downloaded = joined(tempDir, entry.m_key);
        if (!entry.hasInstalledName()) {
            // A shared-support file is downloaded without its folder; it belongs in the bundle.
            if (QFileInfo(staged).absoluteFilePath() == QFileInfo(downloaded).absoluteFilePath())
                continue;
            qDebug() << "Copying updater file" << downloaded << staged;
            SessionFolder::makePath(QFileInfo(staged).absolutePath());
            addSubTask(new FileCopyTaskSpecification(nullptr, downloaded, staged, this, 1.0));
            added = true;
            continue;
        }
        qDebug() << "Extracting updater file" << entry.m_key << rel
                 << (entry.hasPatch() ? "true" : "false");
        const QString stagedDir = QFileInfo(staged).absolutePath();
        if (!QDir(stagedDir).exists())
            SessionFolder::makePath(stagedDir);
        if (!entry.hasPatch()) {
            // Case matters: only the container's own marker selects the lzma2 unpacker.
            if (QFileInfo(entry.m_key).suffix() == QLatin1String("_lzma2_"))
                addSubTask(
                    new FileUnpackTaskSpecification_lzma2(nullptr, downloaded, staged, this, 1.0));
            else
                addSubTask(
                    new FileUnpackTaskSpecification_zip(nullptr, downloaded, staged, this, 1.0));
        } else {
            const QString baseCopy = staged + QStringLiteral("_old");
            const QString installed = joined(configuration->installPath, rel);
            // The patch cannot apply without its base; it fails then, and names the copy's
            // reason.
            QString reason;
            const bool copied = copyToNewFile(installed, baseCopy, &reason);
            if (copied)
                qDebug() << "Copy" << installed << "->" << baseCopy << copied;
            else
                qDebug() << "Copy" << installed << "->" << baseCopy << copied << reason;
            emit message(tr("Patching %1").arg(rel));
            auto *patch = new FileTaskSpecification_patch(nullptr, baseCopy, downloadOf(entry),
                                                          staged, this, 1.0);
            if (!copied)
                patch->setBaseFailure(reason);
            addSubTask(patch);
        }
        added = true;
    }
    return added;
}

// The staged updater is started for step two: every staged file must match its hash first.
bool UpdateSelfUnzipTaskSpecification::addStagedFileChecks()
{
    if (!replaceList)
        return false;
    const QString &tempDir = configuration->tempDir;
    bool added = false;
    for (const ReplaceEntry &entry : qAsConst(*replaceList)) {
        const QString file = joined(tempDir, entry.localRelativePath(QString()));
        const QString hash
            = entry.hasInstalledName() ? entry.m_installedHash : entry.m_downloadHash;
        // Without a hash the download's signature, checked before, is all there is to go by.
        if (hash.isEmpty())
            continue;
        addSubTask(new CheckSignatureTaskSpecification(file, hash, true, this, 0.0));
        added = true;
    }
    return added;
}

void UpdateSelfUnzipTaskSpecification::subtasksDone()
{
    if (startNextPhase())
        return;
    const QString &tempDir = configuration->tempDir;
    if (replaceList) {
        for (const ReplaceEntry &entry : qAsConst(*replaceList)) {
            const QString rel = entry.localRelativePath(QString());
            const QString staged = joined(tempDir, rel);
            // A staged file stands in for the installed one and keeps its whole mode.
            if (QFileInfo(staged).isFile())
                FileModes::giveModeForReplacing(joined(configuration->installPath, rel), staged);
            if (rel.endsWith(QLatin1String("/MacOS/update"))
                || rel.endsWith(QLatin1String(".dylib"))) {
                QFile file(staged);
                qDebug() << "chmod +x" << file.fileName();
                FileModes::makeExecutable(file.fileName());
            }
            if (entry.hasInstalledName()
                && entry.m_key.startsWith(stagedBundle + QLatin1Char('/'))) {
                const QString downloaded = joined(tempDir, entry.m_key);
                // A download that already carries the installed name is the staged file itself.
                if (QFileInfo(downloaded).absoluteFilePath()
                    != QFileInfo(staged).absoluteFilePath())
                    QFile::remove(downloaded);
            }
        }
    }
    linkIntoStagedBundle(QStringLiteral("Frameworks"));
    linkIntoStagedBundle(QStringLiteral("Plugins"));

    QString reason;
    if (!UpdateIniData::modifyTempIni(joined(tempDir, QStringLiteral("SharedSupport")), &reason)) {
        qDebug() << "Failed to write temp update.ini" << reason;
        emit error(withSystemReason(tr("Failed to write temp update.ini. The updater does not "
                                       "seem to have the required write permissions."),
                                    reason));
        // The staged updater could not start step two without its session record.
        endUnfinished();
        return;
    }
    if (!copyTranslations()) {
        endUnfinished();
        return;
    }
    ComposedTaskSpecification::subtasksDone();
}

void UpdateSelfUnzipTaskSpecification::endUnfinished()
{
    // A cancel still ends the run as aborted.
    if (subtasksState() == Aborted)
        abort();
    else
        fail();
}

void UpdateSelfUnzipTaskSpecification::linkIntoStagedBundle(const QString &folder)
{
    const QString &tempDir = configuration->tempDir;
    const QString target = joined(tempDir, folder);
    const QString link = joined(tempDir, stagedBundle + QStringLiteral("/Contents/") + folder);
    const bool linked = QFile::link(target, link);
    qDebug() << "Create symlink" << target << link << (linked ? "true" : "false");
}

bool UpdateSelfUnzipTaskSpecification::copyTranslations()
{
    const QDir source(Configuration::getInstallPath() + QStringLiteral("/translations"));
    const QStringList names
        = source.entryList(QStringList(QStringLiteral("update_*.qm")), QDir::Files, QDir::Unsorted);
    const QString target
        = joined(configuration->tempDir, QStringLiteral("SharedSupport/translations"));
    if (!QDir(target).exists())
        SessionFolder::makeFolder(target);
    for (const QString &name : names) {
        const QString from = joined(source.path(), name);
        const QString to = joined(target, name);
        qDebug() << "Copying qm file" << from << to;
        if (QFile::exists(to))
            continue;
        // The staged updater would start with some of its texts untranslated.
        QString reason;
        if (!copyToNewFile(from, to, &reason) || !FileModes::giveWholeModeOf(from, to, &reason)) {
            QFile::remove(to);
            emit message(withSystemReason(tr("Could not copy '%1' to '%2'").arg(from, to), reason));
            return false;
        }
    }
    return true;
}

void UpdateSelfUnzipTaskSpecification::reset()
{
    clearSubtasks();
    m_Phase = CheckingDownloads;
    TaskSpecification::reset();
}
