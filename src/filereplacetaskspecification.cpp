#include "filereplacetaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "filecopytaskspecification.h"
#include "filemodes.h"
#include "filetaskspecification_patch.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "fileunpacktaskspecification_zip.h"
#include "pathconfinement.h"
#include "scratchfile.h"
#include "sessionfolder.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileDevice>
#include <QFileInfo>

const QStringList FileReplaceTaskSpecification::executableNames = {
    QStringLiteral("qvxclient_mac"),
    QStringLiteral("update"),
    QStringLiteral("error_report"),
    QStringLiteral("package_inst"),
    QStringLiteral("QtWebEngineProcess"),
    QStringLiteral("libQt5Core"),
    QStringLiteral("libQt5Gui"),
    QStringLiteral("libQt5Network"),
    QStringLiteral("libQt5PrintSupport"),
    QStringLiteral("libQt5Sql"),
    QStringLiteral("libQt5Svg"),
    QStringLiteral("libQt5Widgets"),
    QStringLiteral("libQt5Qml"),
    QStringLiteral("libQt5Quick"),
    QStringLiteral("libQt5QuickWidgets"),
    QStringLiteral("libQt5Positioning"),
    QStringLiteral("libQt5WebChannel"),
    QStringLiteral("libQt5WebEngineCore"),
    QStringLiteral("libQt5WebEngineWidgets"),
    QStringLiteral("libQt5DBus"),
    QStringLiteral("libQt5SerialPort"),
};

const QStringList FileReplaceTaskSpecification::executableSuffixes = {QStringLiteral("dylib")};

FileReplaceTaskSpecification::FileReplaceTaskSpecification(const ReplaceEntry &entry,
                                                           QList<DeleteEntry> *deleteList,
                                                           RollbackDataList *sharedRollbackList,
                                                           Configuration *configuration,
                                                           QObject *parent, double weight)
    : ComposedTaskSpecification(1, parent, weight)
    , entry(entry)
    , deleteList(deleteList)
    , sharedRollbackList(sharedRollbackList)
    , configuration(configuration)
{ }

FileReplaceTaskSpecification::~FileReplaceTaskSpecification() = default;

void FileReplaceTaskSpecification::execute()
{
    emit message(tr("add/replace %1").arg(entry.m_key));
    makeSubtasksAndStart();
}

void FileReplaceTaskSpecification::makeSubtasksAndStart()
{
    const QString tempDir = configuration ? configuration->tempDir : QString();
    const QString installPath = configuration ? configuration->installPath : QString();
    const QString relativePath = entry.localRelativePath(QString());
    const QString source = QDir(tempDir).filePath(entry.m_key);
    m_InstalledPath = QDir(installPath).filePath(relativePath);
    m_Target = m_InstalledPath;
    // The writers write a linked file where the link points. The undo records, the kept old
    // file and the check must name that file too: undoing under the link's name would leave
    // the new content in place and put a plain file where the link was.
    const QFileInfo targetInfo(m_Target);
    if (targetInfo.isSymLink() && targetInfo.exists())
        m_Target = targetInfo.canonicalFilePath();
    const QString baseCopy = tempDir + QLatin1Char('/') + relativePath + QStringLiteral("_old");
    const QString patchFile = tempDir + QLatin1Char('/') + entry.m_patchKey;
    m_Backup.clear();

    // The list builder refuses such paths already; links on disk can change while it runs.
    const QList<QPair<QString, QString>> confined = {{installPath, m_InstalledPath},
                                                     {tempDir, source},
                                                     {tempDir, baseCopy},
                                                     {tempDir, patchFile}};
    for (const auto &rule : confined) {
        if (!PathConfinement::staysInside(rule.first, rule.second, true)) {
            emit message(PathConfinement::outsideText(rule.second, rule.first));
            state = Running;
            fail();
            return;
        }
    }

    qDebug() << "FileReplaceTaskSpecification: spec:" << entry.m_key << " src:" << source
             << " dstFile:" << m_Target << " hasPatch:" << (entry.hasPatch() ? "true" : "false")
             << " patchFile:" << entry.m_patchKey;

    if (!entry.hasInstalledName()) {
        // Nothing after the copy looks at the file again.
        addDownloadCheck(source);
        addBackupTask(baseCopy);
        addSubTask(new FileCopyTaskSpecification(&localRollbackList, source, m_Target, this, 1.0));
    } else {
        if (entry.hasPatch()) {
            qDebug() << "HAS PATCH" << entry.m_patchKey;
            const bool removed = QFile::remove(baseCopy);
            qDebug() << "Remove" << baseCopy << (removed ? "true" : "false");
            const QString baseDir = QFileInfo(baseCopy).absolutePath();
            const bool baseDirExists = QFileInfo::exists(baseDir);
            qDebug() << "tempOldAbsPath" << baseDir << baseDirExists;
            if (!baseDirExists) {
                const bool created = SessionFolder::makePath(baseDir);
                qDebug() << "Created" << baseDir << created;
            }
            // The patch only reads the base copy, so it doubles as the kept old file: it is
            // checked to the last byte and gets the installed file's whole mode.
            QString reason;
            bool copied = copyToNewFile(m_Target, baseCopy, &reason);
            if (copied && !FileModes::giveWholeModeOf(m_Target, baseCopy, &reason)) {
                QFile::remove(baseCopy);
                copied = false;
            }
            if (copied)
                qDebug() << "Copy" << m_Target << "->" << baseCopy << copied;
            else
                qDebug() << "Copy" << m_Target << "->" << baseCopy << copied << reason;
            if (copied)
                m_Backup = baseCopy;
            emit message(tr("Patching %1").arg(relativePath));
            addDownloadCheck(patchFile);
            auto *patch = new FileTaskSpecification_patch(&localRollbackList, baseCopy, patchFile,
                                                          m_Target, this, 0.8);
            if (!copied)
                patch->setBaseFailure(reason);
            addSubTask(patch);
        } else {
            addDownloadCheck(source);
            addBackupTask(baseCopy);
            if (QFileInfo(source).suffix() == QLatin1String("_lzma2_"))
                addSubTask(new FileUnpackTaskSpecification_lzma2(&localRollbackList, source,
                                                                 m_Target, this, 0.8));
            else
                addSubTask(new FileUnpackTaskSpecification_zip(&localRollbackList, source, m_Target,
                                                               this, 0.8));
        }
        addSubTask(
            new CheckSignatureTaskSpecification(m_Target, entry.m_installedHash, true, this, 0.2));
    }

    state = Running;
    startSubtasks();
}

void FileReplaceTaskSpecification::addDownloadCheck(const QString &download)
{
    // Checked again, as the file may have changed since it was downloaded: what does not match
    // its hash is neither installed nor handed to the unpacker or the patcher. An empty hash
    // asks for the download's detached signature.
    addSubTask(
        new CheckSignatureTaskSpecification(download, entry.m_downloadHash, true, this, 0.0));
}

void FileReplaceTaskSpecification::addBackupTask(const QString &backup)
{
    // Only a file can be kept; anything else in the target's place fails the write anyway.
    if (!QFileInfo(m_Target).isFile())
        return;
    m_Backup = backup;
    SessionFolder::makePath(QFileInfo(m_Backup).absolutePath());
    // Weightless: keeping the old file adds nothing the progress has to show.
    addSubTask(new FileCopyTaskSpecification(nullptr, m_Target, m_Backup, this, 0.0, true));
}

void FileReplaceTaskSpecification::addRestoreRecord()
{
    // Stands before the record of the written file, so an undo first removes the new file and
    // then moves the old one back.
    localRollbackList.prepend(RollbackData(RollbackData::FILE_RENAME, m_Target, m_Backup));
    m_Backup.clear();
}

void FileReplaceTaskSpecification::subtasksDone()
{
    if (subtasksState() == Finished) {
        if (!m_Backup.isEmpty())
            addRestoreRecord();
        if (sharedRollbackList)
            sharedRollbackList->append(localRollbackList);
        // The rule goes by the installed name, not by the name of a file it links to.
        makeSingleFileExecutable(m_InstalledPath);
    } else {
        if (!m_Backup.isEmpty()) {
            // The old file must come back when the new one was written or the old one is gone;
            // a write that failed left it untouched.
            bool written = false;
            for (const RollbackData &record : qAsConst(localRollbackList))
                written = written
                    || (record.op == RollbackData::FILE_CREATE && record.path == m_Target);
            if (written || !QFileInfo::exists(m_Target))
                addRestoreRecord();
        }
        localRollbackList.rollback(this);
    }
    ComposedTaskSpecification::subtasksDone();
}

void FileReplaceTaskSpecification::reset()
{
    clearSubtasks();
    localRollbackList.rollback(this);
    m_Backup.clear();
    // With no children left this only clears the end flags of the last run and the base.
    ComposedTaskSpecification::reset();
}

void FileReplaceTaskSpecification::makeSingleFileExecutable(const QString &path)
{
    const QFileInfo info(path);
    qDebug() << "Executable check" << path << info.fileName() << info.completeSuffix();
    if (executableNames.contains(info.fileName())
        || executableSuffixes.contains(info.completeSuffix())) {
        FileModes::makeExecutable(path);
        qDebug() << "Set executable flag on" << path;
    }
}
