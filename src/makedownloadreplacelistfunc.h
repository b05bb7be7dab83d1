#ifndef MAKEDOWNLOADREPLACELISTFUNC_H
#define MAKEDOWNLOADREPLACELISTFUNC_H

#include "asyncfunc.h"
#include "replacelistdata.h"

#include <QHash>
#include <QMultiHash>

class Configuration;
class QSettings;

// Turns the product ini into the five work lists. Every installed file it names is hashed
// here, on the pool thread; in step one the files that are already current are copied into the
// download folder, so that it ends up holding a complete new updater.
class MakeDownloadReplaceListFunc : public ASyncFunc
{
    Q_OBJECT

public:
    MakeDownloadReplaceListFunc(Configuration *configuration, ReplaceListData *lists);
    ~MakeDownloadReplaceListFunc() override;

    bool run() override;

private:
    // Patch lines of one section by the installed name they apply to.
    using PatchTable = QMultiHash<QString, PatchEntry>;

    void addDeleteEntry(const QString &key, int mode);
    void addCommands(const QString &section, const QString &key, const QStringList &items);
    // False when the run must stop.
    bool decideFile(const QString &section, const QString &key, const QString &value,
                    const PatchTable &patches);
    bool stageCurrentFile(const QString &local, const ReplaceEntry &entry,
                          const QString &expectedHash);
    bool queue(const QString &section, const ReplaceEntry &replace, const DownloadEntry &download);
    bool queueSignature(const QString &section, const DownloadEntry &download);
    void step();
    void warnInvalidLine(const QString &section);
    // Every path of the product ini, before anything is downloaded or changed: false when one
    // could leave its folder, or two different lines install the same file or download into
    // names that differ only in letter case.
    bool checkPaths(QSettings &settings);
    // False (with the message sent) when path, links followed, leaves root.
    bool staysInside(const QString &root, const QString &path, bool followLast);
    // Scratch files a killed unpack or patch left beside the installed files.
    void removeLeftoverScratch();
    // Two different entries for one installed file would share its kept old copy.
    bool checkOneEntryPerPath();

    Configuration *m_configuration;
    ReplaceListData *m_lists;
    int m_total = 0;
    int m_done = 0;
    // Expected hash of every download the replace list relies on, by its name in the
    // download folder: sections share that folder.
    QHash<QString, QString> m_downloadHashes;
    // Installed relative path of every file line, as checkPaths found them.
    QStringList m_installedPaths;
};

#endif // MAKEDOWNLOADREPLACELISTFUNC_H
