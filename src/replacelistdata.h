#ifndef REPLACELISTDATA_H
#define REPLACELISTDATA_H

#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// The work lists of one update run, built from the product ini, and their records.

// One file to install.
class ReplaceEntry
{
public:
    ReplaceEntry() = default;
    ReplaceEntry(const QString &section, const QString &key, const QString &installedHash,
                 quint64 installedSize, const QString &installedName,
                 const QString &patchKey = QString());

    // The download is a packed form of the file or a patch applies: not installed by copying.
    bool hasInstalledName() const { return !m_installedName.isEmpty(); }
    bool hasPatch() const { return !m_patchKey.isEmpty(); }
    QString installedName() const { return m_installedName.isEmpty() ? m_key : m_installedName; }
    // The installed path relative to the client folder; a non-empty prefix goes before the
    // last path component.
    QString localRelativePath(const QString &prefix) const;
    // Equal for two entries that install the same file in the same way, whatever section
    // they come from.
    QString installIdentity() const;

    QString m_section;
    // Name of the download in the download folder; for a plain file also its installed path.
    QString m_key;
    QString m_installedHash;
    quint64 m_installedSize = 0;
    QString m_installedName;
    // Empty when the whole file is downloaded.
    QString m_patchKey;
    // Hash of what is downloaded for this entry: the file, or the chosen patch. The install
    // checks it again: the file may have changed since the download step checked it.
    QString m_downloadHash;
};

// One file to fetch from the image server.
class DownloadEntry
{
public:
    DownloadEntry() = default;
    DownloadEntry(const QString &section, const QString &name, const QString &hash, quint64 size);

    QString m_section;
    // The key, or the patch key when a patch was chosen.
    QString m_name;
    QString m_hash;
    quint64 m_size = 0;
};

// One installed path to remove, relative to the client folder.
class DeleteEntry
{
public:
    DeleteEntry() = default;
    DeleteEntry(const QString &path, bool recursive);

    QString m_path;
    bool m_recursive = false;
};

// One command to run before or after installing.
class PrePostInstallCmd
{
public:
    PrePostInstallCmd() = default;
    PrePostInstallCmd(const QString &name, const QStringList &arguments, bool required);

    // Program path relative to the download folder.
    QString m_name;
    QStringList m_arguments;
    bool m_required = true;
};

// One patch line of the product ini: turns an installed file with the base hash into the new one.
class PatchEntry
{
public:
    PatchEntry() = default;
    PatchEntry(const QString &section, const QString &key, const QString &patchHash,
               quint64 patchSize, const QString &installedName, const QString &baseHash,
               quint64 baseSize);

    QString m_section;
    // Name of the patch file on the image server and in the download folder.
    QString m_key;
    QString m_patchHash;
    quint64 m_patchSize = 0;
    QString m_installedName;
    QString m_baseHash;
    quint64 m_baseSize = 0;
};

class ReplaceListData
{
public:
    ReplaceListData() = default;

    void clear();

    QList<DownloadEntry> m_downloadList;
    QList<ReplaceEntry> m_replaceList;
    QList<DeleteEntry> m_deleteList;
    QList<PrePostInstallCmd> m_preinstallList;
    QList<PrePostInstallCmd> m_postinstallList;
};

#endif // REPLACELISTDATA_H
