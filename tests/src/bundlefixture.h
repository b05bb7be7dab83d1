// Application bundles for the hand-over tests: stand-in programs that record being started, and
// the Info.plist that names a bundle's program.
//
//   BundleFixture::writeProgram(bundle + "/Contents/MacOS/qvxclient_mac", marker);
//   BundleFixture::writeInfoPlist(bundle, "qvxclient_mac");
//   BundleFixture::waitForFile(marker, "done\n");
#ifndef BUNDLEFIXTURE_H
#define BUNDLEFIXTURE_H

#include <QByteArray>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QTest>

namespace BundleFixture {

inline bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile out(path);
    return out.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && out.write(content) == content.size();
}

inline QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A program that writes its argument count to marker, runs extra, then appends "done".
inline bool writeProgram(const QString &path, const QString &marker,
                         const QString &extra = QString())
{
    const QString script = QStringLiteral("#!/bin/sh\necho \"$#\" > '%1'\n%2\necho done >> '%1'\n")
                               .arg(marker, extra);
    return writeFile(path, script.toUtf8())
        && QFile::setPermissions(
               path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

// An XML property list as macOS bundles carry it; further keys around the one that counts.
inline bool writeInfoPlist(const QString &bundle, const QString &executable)
{
    const QString plist
        = QStringLiteral(
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
              "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
              "<plist version=\"1.0\">\n<dict>\n"
              "  <key>CFBundleIdentifier</key>\n  <string>example.quorvelin.test</string>\n"
              "  <key>CFBundleExecutable</key>\n  <string>%1</string>\n"
              "  <key>CFBundlePackageType</key>\n  <string>APPL</string>\n"
              "</dict>\n</plist>\n")
              .arg(executable.toHtmlEscaped());
    return writeFile(bundle + QStringLiteral("/Contents/Info.plist"), plist.toUtf8());
}

// Lets the event loop run until the file's content ends with endsWith.
inline bool waitForFile(const QString &path, const QByteArray &endsWith, int timeoutMs = 10000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        if (contentOf(path).endsWith(endsWith))
            return true;
        QTest::qWait(20);
    }
    return false;
}

} // namespace BundleFixture

#endif // BUNDLEFIXTURE_H
