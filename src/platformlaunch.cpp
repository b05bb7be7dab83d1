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
    // Only the keys of the top-level dictionary count; nested ones describe other things.
    int depth = 0;
    bool wantValue = false;
    while (!xml.atEnd()) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        if (token == QXmlStreamReader::EndElement) {
            --depth;
            continue;
        }
        if (token != QXmlStreamReader::StartElement)
            continue;
        ++depth;
        if (depth == 1 && xml.name() != QLatin1String("plist"))
            return QString();
        if (depth != 3)
            continue;
        if (wantValue)
            return xml.name() == QLatin1String("string") ? xml.readElementText() : QString();
        if (xml.name() == QLatin1String("key")) {
            wantValue = xml.readElementText() == QLatin1String("CFBundleExecutable");
            --depth; // readElementText consumed the end element
        }
    }
    return QString();
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
