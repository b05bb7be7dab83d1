#include "platformlaunch.h"

#include <QDir>
#include <QFileInfo>

namespace {

bool isPlainWordChar(QChar c)
{
    if (c.unicode() >= 0x80)
        return true;
    if (c.isLetterOrNumber())
        return true;
    return QStringLiteral("/._-+,:@%=").contains(c);
}

} // namespace

QString PlatformLaunch::shellEscaped(const QString &path)
{
    QString escaped;
    escaped.reserve(path.size() * 2);
    for (const QChar c : path) {
        if (c == QLatin1Char('\n'))
            escaped += QStringLiteral("'\n'"); // a backslash would join the lines instead
        else if (isPlainWordChar(c))
            escaped += c;
        else
            escaped += QLatin1Char('\\') + c;
    }
    return escaped;
}

QString PlatformLaunch::macOpenBundleCommand(const QString &bundlePath)
{
    return QStringLiteral("open ") + shellEscaped(bundlePath);
}

QString PlatformLaunch::directOpenBundleCommand(const QString &bundlePath)
{
    const QString executable = bundleExecutable(bundlePath);
    if (executable.isEmpty())
        return QString();
    return QStringLiteral("exec ") + shellEscaped(executable);
}

QString PlatformLaunch::openBundleCommand(const QString &bundlePath)
{
#ifdef Q_OS_MACOS
    return macOpenBundleCommand(bundlePath);
#else
    return directOpenBundleCommand(bundlePath);
#endif
}

bool PlatformLaunch::openBundleProgram(const QString &bundlePath, QString *program,
                                       QStringList *arguments)
{
#ifdef Q_OS_MACOS
    *program = QStringLiteral("/usr/bin/open");
    *arguments = QStringList {bundlePath};
    return true;
#else
    *program = bundleExecutable(bundlePath);
    *arguments = QStringList();
    return !program->isEmpty();
#endif
}

QString PlatformLaunch::bundleExecutable(const QString &bundlePath)
{
    QString path = bundlePath;
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    const QDir macos(path + QStringLiteral("/Contents/MacOS"));
    QString name = QFileInfo(path).fileName();
    if (name.endsWith(QLatin1String(".app")))
        name.chop(4);
    const QFileInfo named(macos.filePath(name));
    if (!name.isEmpty() && named.isFile() && named.isExecutable())
        return named.filePath();
    const QFileInfoList entries
        = macos.entryInfoList(QDir::Files | QDir::Executable | QDir::NoDotAndDotDot, QDir::Name);
    return entries.isEmpty() ? QString() : entries.first().filePath();
}
