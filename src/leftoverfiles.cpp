#include "leftoverfiles.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

const char *const kOldFileNames[] = {
    "update",         "libQtCore.so.4",  "libQtGui.so.4",  "libQtNetwork.so.4",
    "libQtSql.so.4",  "libQt5Core.so.5", "libQt5Gui.so.5", "libQt5Network.so.5",
    "libQt5Sql.so.5", "libqgif.so",      "libqjpeg.so",    "libqtaccessiblewidgets.so",
    "libsqlite.so",
};

const char *const kQt4Frameworks[] = {
    "QtCore.framework",
    "QtGui.framework",
    "QtNetwork.framework",
    "QtSql.framework",
};

const char *const kToolBundles[] = {"error_report", "package_inst", "update"};

} // namespace

void LeftoverFiles::removeOldFiles(const QString &dir)
{
    // An empty folder would mean the working directory, which is none of ours.
    if (dir.isEmpty())
        return;
    const QDir folder(dir);
    for (const char *name : kOldFileNames) {
        const QString path
            = folder.absoluteFilePath(QStringLiteral("_old_") + QString::fromLatin1(name));
        if (QFile::exists(path)) {
            qDebug() << "Remove old file:" << path;
            QFile::remove(path);
        }
    }
}

void LeftoverFiles::removeQt4Files(const QString &dir)
{
    if (dir.isEmpty())
        return;
    QString base = dir;
    if (!base.endsWith(QLatin1Char('/')) && !base.endsWith(QDir::separator()))
        base += QLatin1Char('/');

    const QDir frameworks(base + QStringLiteral("../Frameworks"));
    for (const char *name : kQt4Frameworks) {
        const QString path = frameworks.absoluteFilePath(QString::fromLatin1(name));
        const QFileInfo entry(path);
        if (!entry.exists() && !entry.isSymLink())
            continue;
        qDebug() << "Remove Qt4 dir:" << path;
        // A link or a plain file goes by itself; recursing into a link would empty the folder it
        // points to, which may lie outside the bundle.
        if (entry.isSymLink() || !entry.isDir())
            QFile::remove(path);
        else
            QDir(path).removeRecursively();
    }

    for (const char *tool : kToolBundles) {
        const QString folder
            = base + QString::fromLatin1(tool) + QStringLiteral(".app/Contents/Frameworks");
        for (const char *name : kQt4Frameworks)
            QFile::remove(folder + QLatin1Char('/') + QString::fromLatin1(name));
    }
}
