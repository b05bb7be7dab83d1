#include "makedownloadreplacelistfunc.h"

#include "checksigfunc.h"
#include "configuration.h"
#include "filemodes.h"
#include "pathconfinement.h"
#include "productini.h"
#include "scratchfile.h"
#include "sessionfolder.h"
#include "systemreason.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

namespace {

const char *boolText(bool value)
{
    return value ? "true" : "false";
}

// The hash check of the signature checker, run here on the pool thread; an empty hash asks
// for the file's detached signature instead.
bool fileMatches(const QString &path, const QString &hash)
{
    CheckSigFunc check(path, hash);
    return check.run();
}

} // namespace

MakeDownloadReplaceListFunc::MakeDownloadReplaceListFunc(Configuration *configuration,
                                                         ReplaceListData *lists)
    : m_configuration(configuration)
    , m_lists(lists)
{ }

MakeDownloadReplaceListFunc::~MakeDownloadReplaceListFunc() = default;

bool MakeDownloadReplaceListFunc::run()
{
    m_lists->clear();
    m_downloadHashes.clear();
    m_installedPaths.clear();
    m_done = 0;

    const QString path = ProductIni::filePath(*m_configuration);
    qDebug() << "prodIni" << path;
    emit message(tr("Compiling download and replace list for ")
                 + (m_configuration->clientUpdate == 0 ? tr("updater") : tr("client")));

    QSettings settings(path, QSettings::IniFormat);
    m_total = countProductIniKeys(settings);
    if (m_total == 0) {
        emit message(tr("No files in product ini"));
        return false;
    }
    if (!checkPaths(settings))
        return false;
    if (m_configuration->clientUpdate == 1)
        removeLeftoverScratch();

    const QStringList sections = settings.childGroups();
    for (const QString &section : sections) {
        settings.beginGroup(section);
        QStringList keys = settings.allKeys();
        QStringList patchKeys;
        for (auto it = keys.begin(); it != keys.end();) {
            if (ProductIni::isPatchKey(*it)) {
                patchKeys.append(*it);
                it = keys.erase(it);
            } else {
                ++it;
            }
        }

        PatchTable patches;
        for (const QString &key : qAsConst(patchKeys)) {
            const QStringList f = ProductIni::splitFields(settings.value(key).toString());
            if (f.size() != 5) {
                warnInvalidLine(section);
                settings.endGroup();
                return false;
            }
            const PatchEntry patch(section, key, f.at(0), ProductIni::sizeFromText(f.at(1)),
                                   f.at(4), f.at(2), ProductIni::sizeFromText(f.at(3)));
            patches.insert(patch.m_installedName, patch);
            qDebug() << "ADD PATCH" << f.at(4) << key << f.at(0) << f.at(1) << f.at(2) << f.at(3);
        }

        switch (ProductIni::sectionKind(section)) {
        case ProductIni::DeleteSection:
            for (const QString &key : qAsConst(keys)) {
                step();
                const QString target = m_configuration->installPath + QLatin1Char('/') + key;
                if (!QFile::exists(target))
                    continue;
                // The link itself may go; a linked folder on the way may not lead elsewhere.
                if (!staysInside(m_configuration->installPath, target, false)) {
                    settings.endGroup();
                    return false;
                }
                addDeleteEntry(key, settings.value(key).toInt());
            }
            break;
        case ProductIni::PreinstallSection:
        case ProductIni::PostinstallSection:
            for (const QString &key : qAsConst(keys))
                addCommands(section, key, settings.value(key).toStringList());
            break;
        case ProductIni::FileSection:
            for (const QString &key : qAsConst(keys)) {
                if (!decideFile(section, key, settings.value(key).toString(), patches)) {
                    settings.endGroup();
                    return false;
                }
            }
            break;
        }
        settings.endGroup();
    }
    return checkOneEntryPerPath();
}

bool MakeDownloadReplaceListFunc::checkPaths(QSettings &settings)
{
    // First line seen for each installed file, by its path in lower case: the client's file
    // system does not tell letter cases apart.
    struct Line
    {
        QString section;
        QString key;
        QString value;
    };
    QHash<QString, Line> lines;
    // The same for every name in the download folder, which sections share.
    QHash<QString, Line> downloads;
    const auto oneFilePerDownload
        = [this, &downloads](const QString &section, const QString &name) {
              const auto seen = downloads.constFind(name.toLower());
              if (seen == downloads.constEnd()) {
                  downloads.insert(name.toLower(), Line {section, name, QString()});
                  return true;
              }
              if (seen->key == name)
                  return true; // one transfer; the hashes are compared when it is queued
              emit message(
                  tr("Warning: product ini contains different lines for %3 in sections %1 and %2")
                      .arg(seen->section, section, name));
              return false;
          };
    const QStringList sections = settings.childGroups();
    for (const QString &section : sections) {
        const ProductIni::SectionKind kind = ProductIni::sectionKind(section);
        settings.beginGroup(section);
        const QStringList keys = settings.allKeys();
        for (const QString &key : keys) {
            const QString value = settings.value(key).toString();
            const QStringList f = ProductIni::splitFields(value);
            const bool patchLine = ProductIni::isPatchKey(key);
            bool safe = true;
            bool fileLine = false;
            if (patchLine) {
                // The key is the patch's download name; its installed name must match a file
                // line, which is checked there.
                safe = PathConfinement::isSafeRelativePath(key)
                    && (kind != ProductIni::FileSection
                        || PathConfinement::isSafeRelativePath(section));
            } else if (kind == ProductIni::DeleteSection) {
                safe = PathConfinement::isSafeRelativePath(key);
            } else if (kind == ProductIni::FileSection) {
                fileLine = f.size() == 2 || f.size() == 5;
                safe = PathConfinement::isSafeRelativePath(section)
                    && PathConfinement::isSafeRelativePath(key)
                    && (f.size() != 5 || f.at(4).isEmpty()
                        || PathConfinement::isSafeRelativePath(f.at(4)));
            }
            if (!safe) {
                emit message(tr("Warning: product ini contains unsafe path in section %1: %2")
                                 .arg(section, key));
                settings.endGroup();
                return false;
            }
            if (patchLine && kind == ProductIni::FileSection && !oneFilePerDownload(section, key)) {
                settings.endGroup();
                return false;
            }
            if (!fileLine)
                continue;

            ReplaceEntry entry(section, key, QString(), 0, f.size() == 5 ? f.at(4) : QString());
            const QString path = entry.localRelativePath(QString());
            const auto seen = lines.constFind(path.toLower());
            if (seen == lines.constEnd()) {
                lines.insert(path.toLower(), Line {section, key, value});
                m_installedPaths.append(path);
            } else if (seen->key != key) {
                emit message(tr("Warning: product ini contains different lines for %3 in "
                                "sections %1 and %2")
                                 .arg(seen->section, section, path));
                settings.endGroup();
                return false;
            } else if (seen->value.compare(value, Qt::CaseInsensitive) != 0) {
                // One download name for two different files.
                warnInvalidLine(section);
                settings.endGroup();
                return false;
            }
            if (!oneFilePerDownload(section, key)
                || (f.at(0).isEmpty()
                    && !oneFilePerDownload(section, key + QStringLiteral(".sig")))) {
                settings.endGroup();
                return false;
            }
        }
        settings.endGroup();
    }
    return true;
}

bool MakeDownloadReplaceListFunc::staysInside(const QString &root, const QString &path,
                                              bool followLast)
{
    if (PathConfinement::staysInside(root, path, followLast))
        return true;
    qDebug() << "Outside" << root << ":" << path;
    emit message(PathConfinement::outsideText(path, root));
    return false;
}

void MakeDownloadReplaceListFunc::removeLeftoverScratch()
{
    const QString &root = m_configuration->installPath;
    for (const QString &relative : qAsConst(m_installedPaths)) {
        const QString scratch = scratchPathFor(root + QLatin1Char('/') + relative);
        const QFileInfo info(scratch);
        if (!info.isSymLink() && !info.isFile())
            continue;
        if (!PathConfinement::staysInside(root, scratch, false))
            continue;
        const bool removed = QFile::remove(scratch);
        qDebug() << "Removing leftover" << scratch << boolText(removed);
    }
}

bool MakeDownloadReplaceListFunc::checkOneEntryPerPath()
{
    // Lines alike in two sections can still be decided apart, by their sections' patches.
    QHash<QString, const ReplaceEntry *> seen;
    for (const ReplaceEntry &entry : qAsConst(m_lists->m_replaceList)) {
        const QString path = entry.localRelativePath(QString());
        const ReplaceEntry *first = seen.value(path.toLower());
        if (!first) {
            seen.insert(path.toLower(), &entry);
        } else if (first->installIdentity() != entry.installIdentity()) {
            emit message(tr("Warning: product ini contains different lines for %3 in sections "
                            "%1 and %2")
                             .arg(first->m_section, entry.m_section, path));
            return false;
        }
    }
    return true;
}

void MakeDownloadReplaceListFunc::step()
{
    ++m_done;
    emit progress(qreal(m_done) / qreal(m_total));
}

void MakeDownloadReplaceListFunc::warnInvalidLine(const QString &section)
{
    emit message(tr("Warning: product ini contains invalid line in section %1").arg(section));
}

void MakeDownloadReplaceListFunc::addDeleteEntry(const QString &key, int mode)
{
    if (ProductIni::deleteModeRemoves(mode))
        m_lists->m_deleteList.append(DeleteEntry(key, ProductIni::deleteModeIsRecursive(mode)));
}

void MakeDownloadReplaceListFunc::addCommands(const QString &section, const QString &key,
                                              const QStringList &items)
{
    qDebug() << "prepostinstall cmd" << key << "v" << items;
    const ProductIni::Command command = ProductIni::parseCommand(items);
    if (!command.present)
        return;
    qDebug() << "--->" << key << "os list" << command.osList << "args" << command.arguments
             << "required" << boolText(command.required);
    const QStringList arguments
        = ProductIni::substituteInstallDir(command.arguments, m_configuration->installPath);
    qDebug() << "replaced args: " << arguments;

    QList<PrePostInstallCmd> &list
        = ProductIni::sectionKind(section) == ProductIni::PreinstallSection
        ? m_lists->m_preinstallList
        : m_lists->m_postinstallList;
    const int times = ProductIni::timesForThisPlatform(command.osList);
    for (int i = 0; i < times; ++i)
        list.append(PrePostInstallCmd(key, arguments, command.required));
}

bool MakeDownloadReplaceListFunc::decideFile(const QString &section, const QString &key,
                                             const QString &value, const PatchTable &patches)
{
    step();
    const QStringList f = ProductIni::splitFields(value);
    if (f.size() != 2 && f.size() != 5) {
        warnInvalidLine(section);
        return true;
    }

    ReplaceEntry replace;
    replace.m_section = section;
    replace.m_key = key;
    replace.m_downloadHash = f.at(0);
    if (f.size() == 5) {
        replace.m_installedHash = f.at(2);
        replace.m_installedSize = ProductIni::sizeFromText(f.at(3));
        replace.m_installedName = f.at(4);
    }
    DownloadEntry download(section, key, f.at(0), ProductIni::sizeFromText(f.at(1)));

    const QString local
        = m_configuration->installPath + QLatin1Char('/') + replace.localRelativePath(QString());
    const bool exists = QFile::exists(local);
    qDebug() << "CHECK PATCH" << replace.m_installedName << boolText(exists)
             << boolText(patches.contains(replace.m_installedName));
    if (!exists)
        return queue(section, replace, download);

    if (replace.hasInstalledName()) {
        // The patch line read last is tried first.
        const QList<PatchEntry> candidates = patches.values(replace.m_installedName);
        for (const PatchEntry &patch : candidates) {
            const bool match = fileMatches(local, patch.m_baseHash);
            qDebug() << "Check Sig" << local << patch.m_baseHash << "=>" << boolText(match);
            if (match) {
                replace.m_patchKey = patch.m_key;
                download.m_name = patch.m_key;
                download.m_hash = patch.m_patchHash;
                replace.m_downloadHash = patch.m_patchHash;
                download.m_size = patch.m_patchSize;
                qDebug() << "Found patch for" << key << local;
                return queue(section, replace, download);
            }
        }
    }

    const QString currentHash
        = replace.hasInstalledName() ? replace.m_installedHash : download.m_hash;
    if (!fileMatches(local, currentHash))
        return queue(section, replace, download);

    if (m_configuration->clientUpdate == 0)
        return stageCurrentFile(local, replace, currentHash);
    return true;
}

bool MakeDownloadReplaceListFunc::stageCurrentFile(const QString &local, const ReplaceEntry &entry,
                                                   const QString &expectedHash)
{
    const QString target
        = m_configuration->tempDir + QLatin1Char('/') + entry.localRelativePath(QString());
    if (!staysInside(m_configuration->tempDir, target, true))
        return false;
    const QFileInfo targetInfo(target);
    if (!targetInfo.dir().exists())
        SessionFolder::makePath(targetInfo.absolutePath());
    // An earlier run may have left this file; anything but the current file (a partial
    // download of the same name, say) would end up in the new updater.
    if (targetInfo.exists() && fileMatches(target, expectedHash)) {
        qDebug() << "Copying updater files:" << local << "to" << target << "already there";
        return true;
    }
    // Checked to the last byte: a copy cut short by a full disk would still be started.
    QString reason;
    const bool copied = copyToNewFile(local, target, &reason)
        && FileModes::giveWholeModeOf(local, target, &reason);
    qDebug() << "Copying updater files:" << local << "to" << target << boolText(copied);
    if (!copied) {
        QFile::remove(target);
        // The new updater would lack this file and still be started.
        emit message(
            withSystemReason(tr("Could not copy '%1' to '%2'").arg(local, target), reason));
        return false;
    }
    return true;
}

bool MakeDownloadReplaceListFunc::queue(const QString &section, const ReplaceEntry &replace,
                                        const DownloadEntry &download)
{
    // Step one writes the new updater into the download folder, step two the client itself.
    const QString &tempDir = m_configuration->tempDir;
    const QString &root
        = m_configuration->clientUpdate == 0 ? tempDir : m_configuration->installPath;
    if (!staysInside(root, root + QLatin1Char('/') + replace.localRelativePath(QString()), true)
        || !staysInside(tempDir, tempDir + QLatin1Char('/') + download.m_name, true))
        return false;
    m_lists->m_replaceList.append(replace);

    // Sections share the download folder. A second transfer into the same file would race
    // the first one; a different file under the same name would be installed in place of
    // one of them.
    const auto known = m_downloadHashes.constFind(download.m_name);
    if (known != m_downloadHashes.constEnd()) {
        if (known.value().compare(download.m_hash, Qt::CaseInsensitive) != 0) {
            qDebug() << "Conflicting downloads for" << download.m_name << known.value()
                     << download.m_hash;
            warnInvalidLine(section);
            return false;
        }
        qDebug() << "Download already queued:" << replace.m_key;
        return true;
    }
    m_downloadHashes.insert(download.m_name, download.m_hash);

    const QString downloaded = m_configuration->tempDir + QLatin1Char('/') + download.m_name;
    if (QFile::exists(downloaded) && fileMatches(downloaded, download.m_hash))
        return true;
    m_lists->m_downloadList.append(download);
    qDebug() << "Queueing download:" << replace.m_key;
    if (download.m_hash.isEmpty())
        return queueSignature(section, download);
    return true;
}

// Without a hash a download is installed only when its detached signature verifies, so the
// signature is fetched with it.
bool MakeDownloadReplaceListFunc::queueSignature(const QString &section,
                                                 const DownloadEntry &download)
{
    const DownloadEntry signature(download.m_section, download.m_name + QStringLiteral(".sig"),
                                  QString(), 0);
    if (m_downloadHashes.contains(signature.m_name)) {
        qDebug() << "Conflicting downloads for" << signature.m_name;
        warnInvalidLine(section);
        return false;
    }
    m_downloadHashes.insert(signature.m_name, signature.m_hash);
    m_lists->m_downloadList.append(signature);
    qDebug() << "Queueing download:" << signature.m_name;
    return true;
}
