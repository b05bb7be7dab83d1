#include "filedeletetaskspecification.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

FileDeleteTaskSpecification::FileDeleteTaskSpecification(bool mustSucceed, const QString &path,
                                                         bool recursive, QObject *parent,
                                                         double weight)
    : FastFileOpTaskSpecification(path, nullptr, parent, weight)
    , mustSucceed(mustSucceed)
    , recursive(recursive)
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
        removed = QDir().rmpath(path);
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
