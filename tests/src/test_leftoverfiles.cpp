#include "configuration.h"
#include "leftoverfiles.h"
#include "updatertestenv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

namespace {

QStringList g_messages;

void captureMessage(QtMsgType, const QMessageLogContext &, const QString &msg)
{
    g_messages.append(msg);
}

// A client bundle as it looks after years of updates, and the messages the removal logs.
class LeftoverFilesTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_messages.clear();
        m_previousHandler = qInstallMessageHandler(captureMessage);
    }
    void TearDown() override { qInstallMessageHandler(m_previousHandler); }

    // What main passes: the shared-support folder, unnormalised, ending with "/".
    QString base() const { return Configuration::getInstallPath(); }
    QString support(const QString &relative) const
    {
        return env.sharedSupport() + QLatin1Char('/') + relative;
    }
    static void makeFile(const QString &path)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        ASSERT_TRUE(UpdaterTestEnv::writeFile(path, "data"));
    }
    static void makeLink(const QString &target, const QString &link)
    {
        QDir().mkpath(QFileInfo(link).absolutePath());
        ASSERT_TRUE(QFile::link(target, link));
    }
    static bool present(const QString &path)
    {
        return QFileInfo::exists(path) || QFileInfo(path).isSymLink();
    }
    int logged(const QString &prefix) const
    {
        int n = 0;
        for (const QString &m : g_messages)
            n += m.startsWith(prefix) ? 1 : 0;
        return n;
    }

    void removeAllOld() const
    {
        for (const char *sub : {"", "/old", "/imageformats", "/accessible", "/sqldrivers"})
            LeftoverFiles::removeOldFiles(base() + QString::fromLatin1(sub));
    }

    UpdaterTestEnv env;
    QtMessageHandler m_previousHandler = nullptr;
};

TEST_F(LeftoverFilesTest, OldFilesGoInEachFolderOthersStay)
{
    const QStringList names = {
        "update",         "libQtCore.so.4",  "libQtGui.so.4",  "libQtNetwork.so.4",
        "libQtSql.so.4",  "libQt5Core.so.5", "libQt5Gui.so.5", "libQt5Network.so.5",
        "libQt5Sql.so.5", "libqgif.so",      "libqjpeg.so",    "libqtaccessiblewidgets.so",
        "libsqlite.so",
    };
    const QStringList folders = {"", "old/", "imageformats/", "accessible/", "sqldrivers/"};
    for (const QString &folder : folders)
        for (const QString &name : names)
            makeFile(support(folder + QStringLiteral("_old_") + name));
    const QStringList kept = {
        "_old_update.app", // more than the name
        "update", // no prefix
        "_old_libQtXml.so.4", // not on the list
        "old/deeper/_old_update", // below a cleaned folder: no recursion
        "platforms/_old_libqgif.so" // folder not cleaned
    };
    for (const QString &name : kept)
        makeFile(support(name));

    removeAllOld();

    for (const QString &folder : folders)
        for (const QString &name : names)
            EXPECT_FALSE(present(support(folder + QStringLiteral("_old_") + name)))
                << (folder + name).toStdString();
    for (const QString &name : kept)
        EXPECT_TRUE(present(support(name))) << name.toStdString();
    EXPECT_EQ(logged(QStringLiteral("Remove old file:")), folders.size() * names.size());
}

TEST_F(LeftoverFilesTest, NothingToRemoveLogsNothing)
{
    makeFile(support(QStringLiteral("update.ini")));
    removeAllOld();
    LeftoverFiles::removeQt4Files(base());
    // Neither the tool bundles nor the client's frameworks folder exist here.
    EXPECT_EQ(g_messages, QStringList());
    EXPECT_TRUE(present(support(QStringLiteral("update.ini"))));
}

TEST_F(LeftoverFilesTest, EmptyFolderArgumentLeavesTheWorkingDirectoryAlone)
{
    const QString cwd = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(env.tempDir()));
    makeFile(env.tempDir() + QStringLiteral("/_old_update"));
    makeFile(env.path(QStringLiteral("Frameworks/QtCore.framework/QtCore")));
    LeftoverFiles::removeOldFiles(QString());
    LeftoverFiles::removeQt4Files(QString());
    QDir::setCurrent(cwd);
    EXPECT_TRUE(present(env.tempDir() + QStringLiteral("/_old_update")));
    EXPECT_TRUE(present(env.path(QStringLiteral("Frameworks/QtCore.framework/QtCore"))));
}

TEST_F(LeftoverFilesTest, Qt4FrameworksGoFromTheClientAndLinksFromTheTools)
{
    const QString frameworks = env.bundle() + QStringLiteral("/Contents/Frameworks/");
    makeFile(frameworks + QStringLiteral("QtCore.framework/Versions/4/QtCore"));
    makeLink(QStringLiteral("Versions/4/QtCore"),
             frameworks + QStringLiteral("QtCore.framework/QtCore"));
    makeFile(frameworks + QStringLiteral("QtSql.framework")); // a plain file of that name
    makeFile(frameworks + QStringLiteral("QtWidgets.framework/QtWidgets"));
    makeFile(frameworks + QStringLiteral("libQt5Core.dylib"));
    // A link to a folder outside the bundle: the link goes, the folder and its files stay.
    makeFile(env.path(QStringLiteral("elsewhere/QtGui.framework/QtGui")));
    makeLink(env.path(QStringLiteral("elsewhere/QtGui.framework")),
             frameworks + QStringLiteral("QtGui.framework"));

    makeLink(QStringLiteral("../../../../Frameworks/QtCore.framework"),
             support(QStringLiteral("error_report.app/Contents/Frameworks/QtCore.framework")));
    makeFile(support(QStringLiteral("package_inst.app/Contents/Frameworks/QtNetwork.framework")));
    makeFile(support(QStringLiteral("update.app/Contents/Frameworks/QtGui.framework/QtGui")));
    makeFile(support(QStringLiteral("update.app/Contents/Frameworks/libQt5Core.dylib")));

    LeftoverFiles::removeQt4Files(base());

    for (const char *gone : {"QtCore.framework", "QtGui.framework", "QtSql.framework"})
        EXPECT_FALSE(present(frameworks + QString::fromLatin1(gone))) << gone;
    EXPECT_TRUE(present(frameworks + QStringLiteral("QtWidgets.framework/QtWidgets")));
    EXPECT_TRUE(present(frameworks + QStringLiteral("libQt5Core.dylib")));
    EXPECT_TRUE(present(env.path(QStringLiteral("elsewhere/QtGui.framework/QtGui"))));
    EXPECT_EQ(logged(QStringLiteral("Remove Qt4 dir:")), 3);

    EXPECT_FALSE(
        present(support(QStringLiteral("error_report.app/Contents/Frameworks/QtCore.framework"))));
    EXPECT_FALSE(present(
        support(QStringLiteral("package_inst.app/Contents/Frameworks/QtNetwork.framework"))));
    // A real folder inside a tool bundle is not touched, nor anything not on the list.
    EXPECT_TRUE(
        present(support(QStringLiteral("update.app/Contents/Frameworks/QtGui.framework/QtGui"))));
    EXPECT_TRUE(
        present(support(QStringLiteral("update.app/Contents/Frameworks/libQt5Core.dylib"))));
}

TEST_F(LeftoverFilesTest, FolderWithoutTrailingSeparatorMeansTheSameFolder)
{
    const QString frameworks = env.bundle() + QStringLiteral("/Contents/Frameworks/");
    makeFile(frameworks + QStringLiteral("QtCore.framework/QtCore"));
    makeLink(QStringLiteral("nowhere"),
             support(QStringLiteral("update.app/Contents/Frameworks/QtSql.framework")));
    LeftoverFiles::removeQt4Files(env.sharedSupport());
    EXPECT_FALSE(present(frameworks + QStringLiteral("QtCore.framework")));
    EXPECT_FALSE(
        present(support(QStringLiteral("update.app/Contents/Frameworks/QtSql.framework"))));
}

} // namespace
