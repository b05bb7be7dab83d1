#include "pathconfinement.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <climits>
#include <unistd.h>

namespace {

// As the system allows before it gives up with ELOOP.
const int maxLinkHops = 40;

QString joinedPath(const QString &folder, const QString &name)
{
    return folder.endsWith(QLatin1Char('/')) ? folder + name : folder + QLatin1Char('/') + name;
}

QString parentOf(const QString &path)
{
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    return slash <= 0 ? QStringLiteral("/") : path.left(slash);
}

// The link's own text: Qt's symLinkTarget already resolves it, and a relative target must be
// taken from the folder the link stands in, component by component. False when the text does
// not survive decoding: bytes invalid in the file-name encoding become U+FFFD, and a ".."
// after such a component would then be undone here on a name the kernel never sees.
bool readLink(const QString &path, QString *target)
{
    char buffer[PATH_MAX];
    const ssize_t length = ::readlink(QFile::encodeName(path).constData(), buffer, sizeof buffer);
    if (length <= 0 || size_t(length) >= sizeof buffer)
        return false;
    const QByteArray bytes(buffer, int(length));
    *target = QFile::decodeName(bytes);
    if (QFile::encodeName(*target) == bytes)
        return true;
#ifdef Q_OS_DARWIN
    // Names are encoded decomposed here, and looked up whatever their normalization: a target
    // written composed comes back in the other form but names the same entry.
    return target->toUtf8() == bytes;
#else
    return false;
#endif
}

} // namespace

namespace PathConfinement {

bool isSafeRelativePath(const QString &path)
{
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')) || path.contains(QChar(0)))
        return false;
    const QStringList parts = path.split(QLatin1Char('/'));
    for (const QString &part : parts) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return false;
    }
    return true;
}

QString resolvedLocation(const QString &path, bool followLast)
{
    // Not QFileInfo::absoluteFilePath: it drops ".." before the links on the way are known.
    const QString absolute
        = QDir::isAbsolutePath(path) ? path : QDir::currentPath() + QLatin1Char('/') + path;
    const QString slashed = QDir::fromNativeSeparators(absolute);
    // The kernel resolves a last component written with a slash after it, link or not.
    const bool followEnd = followLast || slashed.endsWith(QLatin1Char('/'));
    QStringList pending = slashed.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString current = QStringLiteral("/");
    int hops = 0;
    while (!pending.isEmpty()) {
        const QString part = pending.takeFirst();
        if (part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            current = parentOf(current);
            continue;
        }
        const QString next = joinedPath(current, part);
        if ((followEnd || !pending.isEmpty()) && QFileInfo(next).isSymLink()) {
            QString target;
            if (!readLink(next, &target) || ++hops > maxLinkHops)
                return QString();
            if (target.startsWith(QLatin1Char('/')))
                current = QStringLiteral("/");
            pending = target.split(QLatin1Char('/'), Qt::SkipEmptyParts) + pending;
            continue;
        }
        current = next;
    }
    return current;
}

bool staysInside(const QString &root, const QString &path, bool followLast)
{
    const QString base = resolvedLocation(root, true);
    const QString location = resolvedLocation(path, followLast);
    if (base.isEmpty() || location.isEmpty())
        return false;
    return location == base || location.startsWith(joinedPath(base, QString()));
}

QString outsideText(const QString &path, const QString &root)
{
    return QCoreApplication::translate("PathConfinement", "Path '%1' leads outside '%2'")
        .arg(path, root);
}

} // namespace PathConfinement
