#include "replacelistdata.h"

#include <QFileInfo>

ReplaceEntry::ReplaceEntry(const QString &section, const QString &key, const QString &installedHash,
                           quint64 installedSize, const QString &installedName,
                           const QString &patchKey)
    : m_section(section)
    , m_key(key)
    , m_installedHash(installedHash)
    , m_installedSize(installedSize)
    , m_installedName(installedName)
    , m_patchKey(patchKey)
{ }

QString ReplaceEntry::localRelativePath(const QString &prefix) const
{
    QString path = installedName();
    if (!prefix.isEmpty()) {
        const QFileInfo info(path);
        const QString folder = info.path();
        path = (folder == QLatin1String(".") ? QString() : folder + QLatin1Char('/')) + prefix
            + info.fileName();
    }
    if (m_section == QLatin1String("common_client"))
        path = QStringLiteral("SharedSupport/") + path;
    return path;
}

QString ReplaceEntry::installIdentity() const
{
    // Hashes are compared without regard to letter case everywhere else too.
    return QStringList({localRelativePath(QString()), m_key, m_installedHash.toLower(),
                        m_installedName, m_patchKey, m_downloadHash.toLower()})
        .join(QChar(0));
}

DownloadEntry::DownloadEntry(const QString &section, const QString &name, const QString &hash,
                             quint64 size)
    : m_section(section)
    , m_name(name)
    , m_hash(hash)
    , m_size(size)
{ }

DeleteEntry::DeleteEntry(const QString &path, bool recursive)
    : m_path(path)
    , m_recursive(recursive)
{ }

PrePostInstallCmd::PrePostInstallCmd(const QString &name, const QStringList &arguments,
                                     bool required)
    : m_name(name)
    , m_arguments(arguments)
    , m_required(required)
{ }

PatchEntry::PatchEntry(const QString &section, const QString &key, const QString &patchHash,
                       quint64 patchSize, const QString &installedName, const QString &baseHash,
                       quint64 baseSize)
    : m_section(section)
    , m_key(key)
    , m_patchHash(patchHash)
    , m_patchSize(patchSize)
    , m_installedName(installedName)
    , m_baseHash(baseHash)
    , m_baseSize(baseSize)
{ }

void ReplaceListData::clear()
{
    m_downloadList.clear();
    m_replaceList.clear();
    m_deleteList.clear();
    m_preinstallList.clear();
    m_postinstallList.clear();
}
