#include "faketasks.h"
#include "filecopytaskspecification.h"
#include "fileops_test_support.h"
#include "rollback.h"
#include "tmpfs_test_support.h"

#include <QCoreApplication>
#include <QObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTranslator>

#include <cerrno>
#include <cstdio>

#include <gtest/gtest.h>

namespace {

class WarningReceiver : public QObject
{
    Q_OBJECT
signals:
    void message(QString message);
};

class RollbackTest : public ::testing::Test
{
protected:
    QString path(const QString &name) const { return dir.filePath(name); }
    QStringList undo(RollbackDataList &list, bool expected)
    {
        QSignalSpy spy(&receiver, &WarningReceiver::message);
        EXPECT_EQ(list.rollback(&receiver), expected);
        EXPECT_TRUE(list.isEmpty());
        QStringList texts;
        for (const QList<QVariant> &args : spy)
            texts << args.at(0).toString();
        return texts;
    }

    QTemporaryDir dir;
    WarningReceiver receiver;
};

TEST_F(RollbackTest, EmptyListSucceedsSilently)
{
    RollbackDataList list;
    EXPECT_TRUE(undo(list, true).isEmpty());
}

TEST_F(RollbackTest, UndoesNewestFirstSoFilesGoBeforeTheirFolders)
{
    ASSERT_TRUE(QDir().mkpath(path("a/b")));
    ASSERT_TRUE(writeTestFile(path("a/b/f"), "x"));
    RollbackDataList list;
    list.append(RollbackData(RollbackData::DIR_CREATE, path("a")));
    list.append(RollbackData(RollbackData::DIR_CREATE, path("a/b")));
    list.append(RollbackData(RollbackData::FILE_CREATE, path("a/b/f")));

    EXPECT_TRUE(undo(list, true).isEmpty());
    EXPECT_FALSE(QFileInfo::exists(path("a")));
}

TEST_F(RollbackTest, RenameIsUndoneBackToTheOldName)
{
    ASSERT_TRUE(writeTestFile(path("new"), "content"));
    RollbackDataList list;
    list.append(RollbackData(RollbackData::FILE_RENAME, path("old"), path("new")));
    EXPECT_EQ(list.first().path, path("new"));
    EXPECT_EQ(list.first().path2, path("old"));

    EXPECT_TRUE(undo(list, true).isEmpty());
    EXPECT_EQ(readTestFile(path("old")), QByteArray("content"));
    EXPECT_FALSE(QFileInfo::exists(path("new")));
}

TEST_F(RollbackTest, RenameBackAcrossFileSystemsKeepsEachFilesMode)
{
    // The kept files lie on another file system than the place they go back to, so the
    // rename is a copy.
    PrivateTmpfs bundle(path("bundle"));
    if (!bundle.mounted())
        GTEST_SKIP() << "cannot mount a private tmpfs here";
    const QFileDevice::Permissions modes[] = {
        QFileDevice::Permissions(0x7755), // rwxr-xr-x
        QFileDevice::Permissions(0x7700), // rwx------
        QFileDevice::Permissions(0x6640), // rw-r-----
    };
    RollbackDataList list;
    for (int i = 0; i < 3; ++i) {
        const QString kept = path(QString("kept%1").arg(i));
        ASSERT_TRUE(writeTestFile(kept, QByteArray::number(i)));
        ASSERT_TRUE(QFile::setPermissions(kept, modes[i]));
        list.append(RollbackData(RollbackData::FILE_RENAME,
                                 bundle.folder() + QString("/f%1").arg(i), kept));
    }
    EXPECT_TRUE(undo(list, true).isEmpty());
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const QString restored = bundle.folder() + QString("/f%1").arg(i);
        EXPECT_EQ(readTestFile(restored), QByteArray::number(i));
        EXPECT_EQ(QFileInfo(restored).permissions(), modes[i]);
        EXPECT_FALSE(QFileInfo::exists(path(QString("kept%1").arg(i))));
    }
}

TEST_F(RollbackTest, FailedUndoWarnsWithTheReasonAndTheRestIsStillUndone)
{
    // Oldest to newest: a folder that is no longer empty, a missing file, a rename whose old
    // name is taken again, and a file that can be removed.
    ASSERT_TRUE(QDir().mkpath(path("d")));
    ASSERT_TRUE(writeTestFile(path("d/stray"), "x"));
    ASSERT_TRUE(writeTestFile(path("old"), "taken"));
    ASSERT_TRUE(writeTestFile(path("new"), "moved"));
    ASSERT_TRUE(writeTestFile(path("made"), "x"));
    RollbackDataList list;
    list.append(RollbackData(RollbackData::DIR_CREATE, path("d")));
    list.append(RollbackData(RollbackData::FILE_CREATE, path("gone")));
    list.append(RollbackData(RollbackData::FILE_RENAME, path("old"), path("new")));
    list.append(RollbackData(RollbackData::FILE_CREATE, path("made")));

    const QStringList texts = undo(list, false);
    EXPECT_EQ(
        texts,
        QStringList({QString("warning: rollback rename %1 to %2 failed: File exists")
                         .arg(path("old"), path("new")),
                     QString("warning: rollback create file %1 failed: No such file or directory")
                         .arg(path("gone")),
                     QString("warning: rollback create dir %1 failed: Directory not empty")
                         .arg(path("d"))}));
    EXPECT_FALSE(QFileInfo::exists(path("made")));
    EXPECT_EQ(readTestFile(path("old")), QByteArray("taken"));
    EXPECT_EQ(readTestFile(path("new")), QByteArray("moved"));
    EXPECT_TRUE(QFileInfo::exists(path("d/stray")));
}

// A rollback removes the file that the update wrote, and not one that has taken its name since.
TEST_F(RollbackTest, OnlyTheFileTheUpdateWroteIsRemoved)
{
    const struct
    {
        const char *label;
        bool taken;
    } cases[] = {
        {"still the written file", false},
        {"another file took the name", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_TRUE(writeTestFile(path("download/new"), "new"));
        ASSERT_TRUE(QDir().mkpath(path("bundle")));
        RollbackDataList list;
        FileCopyTaskSpecification copy(&list, path("download/new"), path("bundle/new"), nullptr,
                                       1.0);
        copy.execute();
        ASSERT_TRUE(waitUntil([&copy] { return taskEnded(copy); }));
        ASSERT_EQ(copy.state, int(TaskSpecification::Finished));
        ASSERT_EQ(list.size(), 1);
        if (c.taken) {
            ASSERT_TRUE(writeTestFile(path("theirs"), "theirs"));
            ASSERT_EQ(::rename(QFile::encodeName(path("theirs")).constData(),
                               QFile::encodeName(path("bundle/new")).constData()),
                      0);
        }

        const QStringList texts = undo(list, !c.taken);
        if (c.taken) {
            EXPECT_EQ(texts,
                      QStringList({QString("warning: rollback create file %1 failed: another "
                                           "file has taken its name")
                                       .arg(path("bundle/new"))}));
            EXPECT_EQ(readTestFile(path("bundle/new")), QByteArray("theirs"));
            ASSERT_TRUE(QFile::remove(path("bundle/new")));
        } else {
            EXPECT_TRUE(texts.isEmpty());
            EXPECT_FALSE(QFileInfo::exists(path("bundle/new")));
        }
    }
}

// Leaves errno changed, as looking up a translation may: the warning's text is built after the
// undo failed.
class ErrnoChangingTranslator : public QTranslator
{
public:
    bool isEmpty() const override { return false; }
    QString translate(const char *, const char *, const char *, int) const override
    {
        errno = EDOM;
        return QString();
    }
};

TEST_F(RollbackTest, WarningNamesTheReasonOfTheUndoThatFailed)
{
    ErrnoChangingTranslator translator;
    ASSERT_TRUE(QCoreApplication::installTranslator(&translator));
    ASSERT_TRUE(QDir().mkpath(path("d")));
    ASSERT_TRUE(writeTestFile(path("d/stray"), "x"));
    RollbackDataList list;
    list.append(RollbackData(RollbackData::DIR_CREATE, path("d")));
    list.append(RollbackData(RollbackData::FILE_CREATE, path("gone")));
    const QStringList texts = undo(list, false);
    QCoreApplication::removeTranslator(&translator);
    EXPECT_EQ(
        texts,
        QStringList({QString("warning: rollback create file %1 failed: No such file or directory")
                         .arg(path("gone")),
                     QString("warning: rollback create dir %1 failed: Directory not empty")
                         .arg(path("d"))}));
}

TEST_F(RollbackTest, ReceiverWithoutMessageMethodStillUndoes)
{
    ASSERT_TRUE(writeTestFile(path("made"), "x"));
    RollbackDataList list;
    list.append(RollbackData(RollbackData::FILE_CREATE, path("made")));
    list.append(RollbackData(RollbackData::FILE_CREATE, path("missing")));
    QObject plain;
    LogCapture log;
    EXPECT_FALSE(list.rollback(&plain));
    EXPECT_TRUE(list.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(path("made")));
    EXPECT_TRUE(log.contains("Warning: message signal was not found in RollbackData::message"));

    // Without a receiver nothing is reported at all.
    list.append(RollbackData(RollbackData::FILE_CREATE, path("missing")));
    EXPECT_FALSE(list.rollback(nullptr));
}

TEST_F(RollbackTest, AppendingAListKeepsItsOrder)
{
    RollbackDataList local;
    local.append(RollbackData(RollbackData::DIR_CREATE, "x"));
    local.append(RollbackData(RollbackData::FILE_CREATE, "x/y"));
    RollbackDataList shared;
    shared.append(RollbackData(RollbackData::FILE_CREATE, "first"));
    shared.append(local);
    ASSERT_EQ(shared.size(), 3);
    EXPECT_EQ(shared.at(1).path, "x");
    EXPECT_EQ(shared.at(2).path, "x/y");
    EXPECT_EQ(shared.at(2).op, int(RollbackData::FILE_CREATE));
    EXPECT_TRUE(shared.at(2).path2.isEmpty());
    shared.clear();
    EXPECT_TRUE(shared.isEmpty());
}

TEST(RollbackDeathTest, WrongConstructorForOperationStopsTheProgram)
{
    EXPECT_DEATH(RollbackData(RollbackData::FILE_CREATE, "a", "b"), "op==FILE_RENAME");
    EXPECT_DEATH(RollbackData(RollbackData::FILE_RENAME, "a"), "op!=FILE_RENAME");
    EXPECT_DEATH(RollbackData(7, "a").rollback(nullptr), "Should not reach here");
}

} // namespace

#include "test_rollback.moc"
