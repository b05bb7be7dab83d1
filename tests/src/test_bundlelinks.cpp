#include "bundlelinks.h"
#include "updatertestenv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

QStringList g_messages;

void captureMessage(QtMsgType, const QMessageLogContext &, const QString &msg)
{
    g_messages.append(msg);
}

const QStringList kModules = {"Core",
                              "Gui",
                              "Widgets",
                              "Network",
                              "PrintSupport",
                              "Sql",
                              "Svg",
                              "Quick",
                              "QuickWidgets",
                              "Qml",
                              "WebChannel",
                              "WebEngineCore",
                              "WebEngineWidgets",
                              "Positioning",
                              "DBus",
                              "SerialPort"};
const QStringList kTools = {"update", "package_inst", "error_report", "QtWebEngineProcess"};
const QStringList kResources = {"icudtl.dat", "qtwebengine_resources.pak",
                                "qtwebengine_resources_100p.pak", "qtwebengine_resources_200p.pak"};

// The raw target of a symbolic link, as stored; empty when path is no link.
QString rawLinkTarget(const QString &path)
{
    char buffer[4096];
    const QByteArray name = QFile::encodeName(path);
    const ssize_t n = ::readlink(name.constData(), buffer, sizeof buffer);
    return n < 0 ? QString() : QFile::decodeName(QByteArray(buffer, int(n)));
}

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A client whose Contents folder holds the libraries and resources, with its tool bundles.
class BundleLinksTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_messages.clear();
        m_previousHandler = qInstallMessageHandler(captureMessage);
        for (const QString &module : kModules)
            makeFile(
                contents(QStringLiteral("Frameworks/libQt5") + module + QStringLiteral(".dylib")),
                module.toUtf8());
        makeFile(contents(QStringLiteral("Frameworks/libquazip.dylib")), "quazip");
        for (const QString &name : kResources)
            makeFile(contents(QStringLiteral("Data/resources/") + name), name.toUtf8());
        QDir().mkpath(contents(QStringLiteral("qtwebengine_locales")));
        for (const QString &tool : kTools)
            QDir().mkpath(support(tool + QStringLiteral(".app/Contents")));
        QDir().mkpath(support(QStringLiteral("QtWebEngineProcess.app/Contents/MacOS")));
    }
    void TearDown() override { qInstallMessageHandler(m_previousHandler); }

    QString installPath() const { return env.bundle() + QStringLiteral("/Contents/"); }
    QString contents(const QString &relative) const { return installPath() + relative; }
    QString support(const QString &relative) const
    {
        return env.sharedSupport() + QLatin1Char('/') + relative;
    }
    QString toolLibrary(const QString &tool, const QString &module) const
    {
        return support(tool + QStringLiteral(".app/Contents/Frameworks/libQt5") + module
                       + QStringLiteral(".dylib"));
    }
    QString webEngine(const QString &name) const
    {
        return support(QStringLiteral("QtWebEngineProcess.app/Contents/MacOS/") + name);
    }
    static void makeFile(const QString &path, const QByteArray &content)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        ASSERT_TRUE(UpdaterTestEnv::writeFile(path, content));
    }
    // Every link below the shared-support folder with its raw target.
    QMap<QString, QString> links() const
    {
        QMap<QString, QString> result;
        QStringList folders = {env.sharedSupport()};
        while (!folders.isEmpty()) {
            const QDir dir(folders.takeFirst());
            for (const QFileInfo &entry :
                 dir.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
                if (entry.isSymLink())
                    result.insert(entry.filePath(), rawLinkTarget(entry.filePath()));
                else if (entry.isDir())
                    folders.append(entry.filePath());
            }
        }
        return result;
    }
    int logged(const QString &prefix) const
    {
        int n = 0;
        for (const QString &m : g_messages)
            n += m.startsWith(prefix) ? 1 : 0;
        return n;
    }

    UpdaterTestEnv env;
    QtMessageHandler m_previousHandler = nullptr;
};

TEST_F(BundleLinksTest, EveryToolGetsRelativeLinksToTheClientsFiles)
{
    BundleLinks::createClientBundleLinks(installPath());

    for (const QString &tool : kTools) {
        for (const QString &module : kModules) {
            const QString link = toolLibrary(tool, module);
            EXPECT_EQ(rawLinkTarget(link),
                      QStringLiteral("../../../../Frameworks/libQt5") + module
                          + QStringLiteral(".dylib"))
                << link.toStdString();
            EXPECT_EQ(contentOf(link), module.toUtf8());
        }
    }
    const QString quazip
        = support(QStringLiteral("error_report.app/Contents/Frameworks/libquazip.dylib"));
    EXPECT_EQ(rawLinkTarget(quazip), QStringLiteral("../../../../Frameworks/libquazip.dylib"));
    EXPECT_EQ(contentOf(quazip), QByteArray("quazip"));
    for (const QString &name : kResources) {
        EXPECT_EQ(rawLinkTarget(webEngine(name)),
                  QStringLiteral("../../../../Data/resources/") + name);
        EXPECT_EQ(contentOf(webEngine(name)), name.toUtf8());
    }
    EXPECT_EQ(rawLinkTarget(webEngine(QStringLiteral("qtwebengine_locales"))),
              QStringLiteral("../../../../qtwebengine_locales"));
    EXPECT_TRUE(QFileInfo(webEngine(QStringLiteral("qtwebengine_locales"))).isDir());
    EXPECT_EQ(logged(QStringLiteral("Creating tools framework symlink:")),
              kTools.size() * kModules.size());
    EXPECT_EQ(logged(QStringLiteral("Failed to create symlink")), 0);
}

TEST_F(BundleLinksTest, ExistingEntriesAreKeptOrReplacedByKind)
{
    makeFile(toolLibrary(QStringLiteral("update"), QStringLiteral("Core")), "own core");
    QDir().mkpath(QFileInfo(toolLibrary(QStringLiteral("update"), QStringLiteral("Svg"))).path());
    ASSERT_TRUE(QFile::link(QStringLiteral("nowhere/libQt5Svg.dylib"),
                            toolLibrary(QStringLiteral("update"), QStringLiteral("Svg"))));
    ASSERT_TRUE(
        QFile::link(QStringLiteral("nowhere/icudtl.dat"), webEngine(QStringLiteral("icudtl.dat"))));
    // A real copy is swapped for the link when the client has the file.
    makeFile(webEngine(QStringLiteral("qtwebengine_resources.pak")), "old copy");
    // ... and kept when it has not, rather than traded for a dangling link.
    QFile::remove(contents(QStringLiteral("Data/resources/qtwebengine_resources_200p.pak")));
    makeFile(webEngine(QStringLiteral("qtwebengine_resources_200p.pak")), "only copy");

    BundleLinks::createClientBundleLinks(installPath());

    EXPECT_EQ(rawLinkTarget(toolLibrary(QStringLiteral("update"), QStringLiteral("Core"))),
              QString());
    EXPECT_EQ(contentOf(toolLibrary(QStringLiteral("update"), QStringLiteral("Core"))),
              QByteArray("own core"));
    EXPECT_EQ(rawLinkTarget(toolLibrary(QStringLiteral("update"), QStringLiteral("Svg"))),
              QStringLiteral("nowhere/libQt5Svg.dylib"));
    EXPECT_EQ(rawLinkTarget(webEngine(QStringLiteral("icudtl.dat"))),
              QStringLiteral("../../../../Data/resources/icudtl.dat"));
    EXPECT_EQ(contentOf(webEngine(QStringLiteral("qtwebengine_resources.pak"))),
              QByteArray("qtwebengine_resources.pak"));
    EXPECT_EQ(rawLinkTarget(webEngine(QStringLiteral("qtwebengine_resources_200p.pak"))),
              QString());
    EXPECT_EQ(contentOf(webEngine(QStringLiteral("qtwebengine_resources_200p.pak"))),
              QByteArray("only copy"));
}

TEST_F(BundleLinksTest, MissingToolBundleGetsNothingAndSecondRunChangesNothing)
{
    QDir(support(QStringLiteral("package_inst.app"))).removeRecursively();
    QDir(support(QStringLiteral("QtWebEngineProcess.app/Contents/MacOS"))).removeRecursively();

    BundleLinks::createClientBundleLinks(installPath());
    const QMap<QString, QString> first = links();
    EXPECT_FALSE(QFileInfo::exists(support(QStringLiteral("package_inst.app"))));
    EXPECT_FALSE(
        QFileInfo::exists(support(QStringLiteral("QtWebEngineProcess.app/Contents/MacOS"))));
    // Three tool bundles with all modules, plus the extra library of the error reporter.
    EXPECT_EQ(first.size(), 3 * kModules.size() + 1);

    g_messages.clear();
    BundleLinks::createClientBundleLinks(installPath());
    EXPECT_EQ(links(), first);
    // Only the missing bundle is tried again; its links still cannot be made.
    EXPECT_EQ(logged(QStringLiteral("Creating tools framework symlink:")), kModules.size());
}

TEST_F(BundleLinksTest, FoldersLinkedOutsideTheBundleAreLeftAlone)
{
    // Tool folders that lead out of the bundle: what lies there is not the client's.
    const QString outside = env.path(QStringLiteral("outside"));
    makeFile(outside + QStringLiteral("/MacOS/icudtl.dat"), "foreign");
    QDir().mkpath(outside + QStringLiteral("/Frameworks"));
    QDir(support(QStringLiteral("QtWebEngineProcess.app/Contents/MacOS"))).removeRecursively();
    ASSERT_TRUE(QFile::link(outside + QStringLiteral("/MacOS"),
                            support(QStringLiteral("QtWebEngineProcess.app/Contents/MacOS"))));
    ASSERT_TRUE(QFile::link(outside + QStringLiteral("/Frameworks"),
                            support(QStringLiteral("update.app/Contents/Frameworks"))));

    BundleLinks::createClientBundleLinks(installPath());

    EXPECT_EQ(contentOf(outside + QStringLiteral("/MacOS/icudtl.dat")), QByteArray("foreign"));
    EXPECT_EQ(QDir(outside + QStringLiteral("/MacOS"))
                  .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot),
              QStringList({QStringLiteral("icudtl.dat")}));
    EXPECT_TRUE(QDir(outside + QStringLiteral("/Frameworks"))
                    .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                    .isEmpty());
    // The other tools still get theirs.
    EXPECT_EQ(rawLinkTarget(toolLibrary(QStringLiteral("package_inst"), QStringLiteral("Core"))),
              QStringLiteral("../../../../Frameworks/libQt5Core.dylib"));
}

TEST_F(BundleLinksTest, EmptyInstallPathMakesNoLinks)
{
    const QString cwd = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(env.tempDir()));
    BundleLinks::createClientBundleLinks(QString());
    QDir::setCurrent(cwd);
    EXPECT_EQ(QDir(env.tempDir()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
              QStringList());
}

} // namespace
