#include "filedeletetaskspecification.h"

#include "pathconfinement.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

bool isStrictlyInside(const QString &root, const QString &path)
{
    const QString prefix = root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/');
    return path.size() > prefix.size() && path.startsWith(prefix);
}

} // namespace

FileDeleteTaskSpecification::FileDeleteTaskSpecification(bool mustSucceed, const QString &path,
                                                         bool recursive, QObject *parent,
                                                         double weight, const QString &insideFolder)
    : FastFileOpTaskSpecification(path, nullptr, parent, weight)
    , mustSucceed(mustSucceed)
    , recursive(recursive)
    , insideFolder(insideFolder)
{ }

FileDeleteTaskSpecification::~FileDeleteTaskSpecification() = default;

bool FileDeleteTaskSpecification::doOp()
{
    const QFileInfo info(path);
    bool removed = false;
    // A link to a folder is removed as a link: following it would empty a folder elsewhere.
    if (!info.isDir() || info.isSymLink()) {
        removed = QFile::remove(path);
        qDebug() << "Deleted file" << path << (removed ? "true" : "false");
        if (removed)
            emit message(tr("Deleted file '%1'").arg(path));
    } else if (!recursive) {
        removed = removeEmptyFolder();
        qDebug() << "Deleted directory" << path << (removed ? "true" : "false");
        if (removed)
            emit message(tr("Deleted directory '%1'").arg(path));
    } else {
        removed = QDir(path).removeRecursively();
        qDebug() << "Recursively deleted directory" << path << (removed ? "true" : "false");
        if (removed)
            emit message(tr("Recursively deleted directory '%1'").arg(path));
    }
    if (removed)
        return true;
    if (mustSucceed) {
        emit message(tr("Could not delete '%1'").arg(path));
        return false;
    }
    return true;
}

bool FileDeleteTaskSpecification::removeEmptyFolder()
{
    // Where the links on the way lead: that is the folder rmdir removes, and its parents are the
    // ones that empty out. QDir::rmpath would climb out of the bundle up to the root.
    const QString folder = PathConfinement::resolvedLocation(path, false);
    if (folder.isEmpty())
        return false;
    QString root;
    if (!insideFolder.isEmpty()) {
        root = PathConfinement::resolvedLocation(insideFolder, true);
        if (root.isEmpty() || !isStrictlyInside(root, folder))
            return false;
    }
    if (!QDir().rmdir(folder))
        return false;
    if (root.isEmpty())
        return true;
    for (QString parent = QFileInfo(folder).path(); isStrictlyInside(root, parent);
         parent = QFileInfo(parent).path()) {
        if (!QDir().rmdir(parent))
            break;
    }
    return true;
}
