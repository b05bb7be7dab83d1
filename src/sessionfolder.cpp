#include "sessionfolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString &namePrefix()
{
    static const QString prefix = QStringLiteral("quorvelin_temp_");
    return prefix;
}

// Only the names path() gives: the prefix and a number in plain decimal.
bool isSessionName(const QString &name)
{
    if (!name.startsWith(namePrefix()))
        return false;
    const QString number = name.mid(namePrefix().size());
    bool ok = false;
    const int n = number.toInt(&ok);
    return ok && n >= 0 && n < SessionFolder::kCount && QString::number(n) == number;
}

bool refuse(QString *reason, const char *why)
{
    if (reason)
        *reason = QString::fromLatin1(why);
    return false;
}

} // namespace

QString SessionFolder::path(const QString &tempPath, int n)
{
    QString base = tempPath;
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    return base + namePrefix() + QString::number(n);
}

bool SessionFolder::isOurs(const QString &dir, QString *reason)
{
    // A path with "." or ".." could name one folder here and another one once links on the
    // way are followed; the updater only ever records clean paths.
    if (dir.isEmpty() || !QDir::isAbsolutePath(dir) || QDir::cleanPath(dir) != dir)
        return refuse(reason, "not a clean absolute path");
    const QFileInfo info(dir);
    if (!isSessionName(info.fileName()))
        return refuse(reason, "not named as a session folder");

    struct stat status;
    if (::lstat(QFile::encodeName(dir).constData(), &status) != 0)
        return refuse(reason, "missing");
    if (!S_ISDIR(status.st_mode))
        return refuse(reason, "not a real folder");
    if (status.st_uid != ::geteuid())
        return refuse(reason, "owned by another user");

    const QString parent = QFileInfo(info.absolutePath()).canonicalFilePath();
    const QString temp = QFileInfo(QDir::tempPath()).canonicalFilePath();
    if (temp.isEmpty() || parent != temp)
        return refuse(reason, "not inside the temporary folder");
    return true;
}
