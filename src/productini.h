#ifndef PRODUCTINI_H
#define PRODUCTINI_H

#include <QString>
#include <QStringList>
#include <QtGlobal>

class Configuration;
class QSettings;

// Reading rules of the product ini, the signed manifest of one update: its name, its section
// kinds and how the values of its lines are taken apart. Turning the lines into work lists is
// the list builder's job.
class ProductIni
{
public:
    enum SectionKind { DeleteSection, PreinstallSection, PostinstallSection, FileSection };

    // A command line of section "preinstall" or "postinstall", taken apart.
    struct Command
    {
        // False when the value held no item at all: no command.
        bool present = false;
        QStringList osList;
        QStringList arguments;
        bool required = true;
    };

    // "qvx_client_macosx.ini" for the client update (1), "update_macosx.ini" for step one (0).
    static QString fileName(int clientUpdate);
    // Where the unpacked product ini lies: the download folder + "/" + fileName.
    static QString filePath(const Configuration &configuration);

    static SectionKind sectionKind(const QString &section);
    // A patch line in whatever section it stands.
    static bool isPatchKey(const QString &key);
    // Fields of a file, patch or command value; empty fields are kept.
    static QStringList splitFields(const QString &value);
    // A decimal size; anything else reads as 0.
    static quint64 sizeFromText(const QString &text);

    // Whether a delete mode removes the path at all, and whether it does so recursively.
    static bool deleteModeRemoves(int mode);
    static bool deleteModeIsRecursive(int mode);

    // Items: OS list, arguments, flag ("optional" or anything else); later items are ignored.
    static Command parseCommand(const QStringList &items);
    // Every "__QVX_DIR__" in every argument becomes installPath.
    static QStringList substituteInstallDir(const QStringList &arguments,
                                            const QString &installPath);
    // How often a command is taken on this platform: once per OS-list item naming it.
    static int timesForThisPlatform(const QStringList &osList);
};

// Keys inside sections; keys outside any section do not count.
int countProductIniKeys(QSettings &settings);
// 1 win32, 2 win64, 3 linux32, 4 linux64, 5 mac, 0 anything else; letter case does not matter.
int osCodeFromName(const QString &name);
// The code of the platform the updater runs on.
int currentOsCode();

#endif // PRODUCTINI_H
