#include "platformlaunch.h"

#include "pathconfinement.h"

#include <QFile>
#include <QFileInfo>
#include <QXmlStreamReader>

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
    if (!QFileInfo(bundlePath).isDir())
        return QString();
    return macOpenBundleCommand(bundlePath);
#else
    return directOpenBundleCommand(bundlePath);
#endif
}

bool PlatformLaunch::openBundleProgram(const QString &bundlePath, QString *program,
                                       QStringList *arguments)
{
#ifdef Q_OS_MACOS
    if (!QFileInfo(bundlePath).isDir())
        return false;
    *program = QStringLiteral("/usr/bin/open");
    *arguments = QStringList {bundlePath};
    return true;
#else
    *program = bundleExecutable(bundlePath);
    *arguments = QStringList();
    return !program->isEmpty();
#endif
}

QString PlatformLaunch::plistBundleExecutable(const QString &plistPath)
{
    QFile file(plistPath);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QXmlStreamReader xml(&file);
    if (!xml.readNextStartElement() || xml.name() != QLatin1String("plist"))
        return QString();
    // Only the direct key and string pairs of the first top-level dictionary count: nested
    // dictionaries, arrays and any later dictionary describe other things.
    QString executable;
    if (xml.readNextStartElement() && xml.name() == QLatin1String("dict")) {
        bool found = false;
        while (xml.readNextStartElement()) {
            if (xml.name() != QLatin1String("key"))
                return QString();
            const bool named = xml.readElementText() == QLatin1String("CFBundleExecutable");
            if (!xml.readNextStartElement())
                return QString(); // a key without its value
            if (named && !found && xml.name() == QLatin1String("string")) {
                executable = xml.readElementText();
                found = true;
                continue;
            }
            found = found || named;
            xml.skipCurrentElement();
        }
    }
    // The rest must be well-formed too: a broken tail may hide what the system would read.
    while (!xml.atEnd())
        xml.readNext();
    return xml.hasError() ? QString() : executable;
}

QString PlatformLaunch::bundleExecutable(const QString &bundlePath)
{
    QString path = bundlePath;
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    if (path.isEmpty())
        return QString();
    QString bundleName = QFileInfo(path).fileName();
    if (bundleName.endsWith(QLatin1String(".app")))
        bundleName.chop(4);
    const QStringList names {plistBundleExecutable(path + QStringLiteral("/Contents/Info.plist")),
                             bundleName};
    for (const QString &name : names) {
        // A name is one file name inside Contents/MacOS, never a way out of it.
        if (!PathConfinement::isSafeRelativePath(name) || name.contains(QLatin1Char('/')))
            continue;
        const QFileInfo program(path + QStringLiteral("/Contents/MacOS/") + name);
        if (program.isFile() && program.isExecutable())
            return program.filePath();
    }
    return QString();
}
