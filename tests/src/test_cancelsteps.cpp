// A user's cancel at any step of a client update leaves the bundle either as it was or as the
// new version has it: never the new files beside the obsolete ones.

#include "filereplacelisttaskspecification.h"
#include "filereplacetaskspecification.h"
#include "test_maintask_fixture.h"

#include <QPointer>

#include <functional>

#include <gtest/gtest.h>

using namespace qvxrun;

namespace {

enum class Bundle { Old, New };

class CancelStepsTest;

// Where the cancel comes, and what the bundle must be afterwards.
struct CancelCase
{
    const char *name;
    // Arranges for cancel to be called at the step; runs right after the root's execute.
    std::function<void(CancelStepsTest &, MainTaskSpecification &, std::function<void()>)> arm;
    Bundle expected;
};

void PrintTo(const CancelCase &c, std::ostream *os)
{
    *os << c.name;
}

class CancelStepsTest : public MainTaskRunTest, public ::testing::WithParamInterface<CancelCase>
{
public:
    void SetUp() override
    {
        MainTaskRunTest::SetUp();
        if (!builtInKeyIsDevelopmentKey())
            GTEST_SKIP() << "the build embeds another signing key";
        config.clientUpdate = 1;
        // One transfer at a time: a cancelled download then ends the run aborted, not failed.
        config.streams = 1;

        ASSERT_TRUE(put(installed("MacOS/current.txt"), current));
        for (int i = 0; i < replacedCount; ++i)
            ASSERT_TRUE(put(installed(replaced(i)), oldData(i)));
        ASSERT_TRUE(put(installed("Resources/obsolete.dat"), "obsolete"));
        ASSERT_TRUE(put(installed("Resources/oldfolder/a/b.txt"), "obsolete too"));
        before = snapshot(env.bundle());
        writeRecorder("pre.sh");
        writeRecorder("post.sh");

        QMap<QString, QVariant> ini {
            {"mac/MacOS/current.txt", field({sha512(current), size(current)})},
            {"mac/Resources/added/new.dat._lzma2_",
             field({sha512(packedAdded), size(packedAdded), sha512(added), size(added),
                    "Resources/added/new.dat"})},
            {"delete/Resources/obsolete.dat", "0"},
            {"delete/Resources/oldfolder", "2"},
            {"preinstall/pre.sh", QStringList({"mac", "__QVX_DIR__MacOS/current.txt"})},
            {"postinstall/post.sh", QStringList({"mac", "__QVX_DIR__MacOS/current.txt"})},
        };
        serve("mac/Resources/added/new.dat._lzma2_", packedAdded);
        for (int i = 0; i < replacedCount; ++i) {
            serve("mac/" + replaced(i), newData(i));
            ini.insert("mac/" + replaced(i), field({sha512(newData(i)), size(newData(i))}));
        }
        serveProductIni("qvx_client_macosx.ini", ini);

        after = before;
        for (int i = 0; i < replacedCount; ++i)
            after["Contents/" + replaced(i)] = newData(i);
        after["Contents/Resources/added"] = "<dir>";
        after["Contents/Resources/added/new.dat"] = added;
        for (const char *gone :
             {"Contents/Resources/obsolete.dat", "Contents/Resources/oldfolder",
              "Contents/Resources/oldfolder/a", "Contents/Resources/oldfolder/a/b.txt"})
            after.remove(gone);
    }

    static QString field(const QStringList &parts) { return parts.join("::"); }
    static QString size(const QByteArray &data) { return QString::number(data.size()); }
    static QString replaced(int i) { return QString("Resources/file%1.dat").arg(i); }
    static QByteArray oldData(int i) { return lines(("old " + QByteArray::number(i)).constData()); }
    static QByteArray newData(int i) { return lines(("new " + QByteArray::number(i)).constData()); }

    // Calls then once the step has been started: the root relays the step's first message.
    static void onMessage(MainTaskSpecification &task, const QString &text,
                          const std::function<void()> &then)
    {
        QObject::connect(&task, &TaskSpecification::message, &task, [text, then](QString line) {
            if (line == text)
                then();
        });
    }

    static FileReplaceListTaskSpecification *replaceStep(MainTaskSpecification &task)
    {
        for (TaskSpecification *step : qAsConst(task.allTasks))
            if (auto *list = qobject_cast<FileReplaceListTaskSpecification *>(step))
                return list;
        return nullptr;
    }

    // Calls cancel when the n-th replacement of a file has finished (counted from 1).
    static void onReplaced(MainTaskSpecification &task, int n, const std::function<void()> &cancel)
    {
        FileReplaceListTaskSpecification *list = replaceStep(task);
        ASSERT_TRUE(list);
        // The list makes its children after this message, within the same call.
        onMessage(task, "Starting file updates", [list, n, cancel] {
            QMetaObject::invokeMethod(
                list,
                [list, n, cancel] {
                    auto done = std::make_shared<int>(0);
                    for (TaskSpecification *child : qAsConst(list->allTasks)) {
                        if (!qobject_cast<FileReplaceTaskSpecification *>(child))
                            continue;
                        QObject::connect(child, &TaskSpecification::finished, list,
                                         [done, n, cancel] {
                                             if (++*done == n)
                                                 cancel();
                                         });
                    }
                },
                Qt::QueuedConnection);
        });
    }

    // Five replacements: one added file and these.
    static const int replacedCount = 4;
    const QByteArray current = lines("current");
    const QByteArray added = lines("added");
    const QByteArray packedAdded = packLzma2(added);
    QMap<QString, QByteArray> before;
    QMap<QString, QByteArray> after;
};

TEST_P(CancelStepsTest, LeavesTheOldOrTheNewBundle)
{
    const CancelCase &c = GetParam();
    MainTaskSpecification task(&manager, &config, nullptr, 1.0);
    log.watch(&task, QStringLiteral("main"));
    int cancels = 0;
    const std::function<void()> cancel = [&task, &cancels] {
        ++cancels;
        task.cancel();
    };
    task.execute();
    c.arm(*this, task, cancel);
    ASSERT_TRUE(waitUntil([&] { return taskEnded(task); }, 60000));
    ASSERT_EQ(cancels, 1) << "the cancel never came";

    const QString trace = log.lines.join("\n");
    if (c.expected == Bundle::Old) {
        EXPECT_NE(task.state, TaskSpecification::Finished) << trace.toStdString();
        EXPECT_EQ(snapshot(env.bundle()), before) << trace.toStdString();
        EXPECT_FALSE(QFileInfo::exists(session("post.sh.seen")));
    } else {
        EXPECT_EQ(task.state, TaskSpecification::Finished) << trace.toStdString();
        EXPECT_EQ(snapshot(env.bundle()), after) << trace.toStdString();
        // The post-install commands ran on the new files.
        EXPECT_EQ(get(session("post.sh.seen")), current);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Steps, CancelStepsTest,
    ::testing::Values(
        CancelCase {
            "DuringADownload",
            [](CancelStepsTest &t, MainTaskSpecification &task, std::function<void()> cancel) {
                TestHttpServer::Reply stall
                    = TestHttpServer::Reply::ok(CancelStepsTest::newData(1));
                stall.behaviour = TestHttpServer::StallAfter;
                stall.cutAfter = 100;
                const QString path
                    = QString("/images/%1/mac/%2").arg(version).arg(CancelStepsTest::replaced(1));
                t.server.setReply(path, stall);
                QObject::connect(&t.server, &TestHttpServer::requestReceived, &task,
                                 [&task, path, cancel](const QString &requested) {
                                     if (requested == path)
                                         QMetaObject::invokeMethod(&task, cancel,
                                                                   Qt::QueuedConnection);
                                 });
            },
            Bundle::Old},
        CancelCase {
            "DuringThePreInstallCommand",
            [](CancelStepsTest &, MainTaskSpecification &task, std::function<void()> cancel) {
                CancelStepsTest::onMessage(task, "Starting pre.sh", [&task, cancel] {
                    QMetaObject::invokeMethod(&task, cancel, Qt::QueuedConnection);
                });
            },
            Bundle::Old},
        CancelCase {
            "AfterTheFirstReplacedFile",
            [](CancelStepsTest &, MainTaskSpecification &task, std::function<void()> cancel) {
                CancelStepsTest::onReplaced(task, 1, cancel);
            },
            Bundle::Old},
        // Nothing is left to start: the replacements all go through despite the cancel.
        CancelCase {
            "AsTheLastFileIsReplaced",
            [](CancelStepsTest &, MainTaskSpecification &task, std::function<void()> cancel) {
                CancelStepsTest::onReplaced(task, CancelStepsTest::replacedCount + 1, cancel);
            },
            Bundle::New},
        CancelCase {
            "AsTheReplaceStepEnds",
            [](CancelStepsTest &, MainTaskSpecification &task, std::function<void()> cancel) {
                FileReplaceListTaskSpecification *list = CancelStepsTest::replaceStep(task);
                ASSERT_TRUE(list);
                QObject::connect(list, &TaskSpecification::finished, &task, [cancel] { cancel(); });
            },
            Bundle::New},
        CancelCase {
            "DuringTheDeletes",
            [](CancelStepsTest &, MainTaskSpecification &task, std::function<void()> cancel) {
                CancelStepsTest::onMessage(task, "Starting deleting files", cancel);
            },
            Bundle::New},
        CancelCase {
            "DuringThePostInstallCommand",
            [](CancelStepsTest &, MainTaskSpecification &task, std::function<void()> cancel) {
                CancelStepsTest::onMessage(task, "Starting post.sh", [&task, cancel] {
                    QMetaObject::invokeMethod(&task, cancel, Qt::QueuedConnection);
                });
            },
            Bundle::New}),
    [](const ::testing::TestParamInfo<CancelCase> &info) { return std::string(info.param.name); });

// The user learns why the run goes on after the cancel, once however often they ask.
TEST_F(CancelStepsTest, ACancelAfterTheReplacementsIsAnnouncedOnce)
{
    MainTaskSpecification task(&manager, &config, nullptr, 1.0);
    log.watch(&task, QStringLiteral("main"));
    task.execute();
    CancelStepsTest::onMessage(task, "Starting deleting files", [&task] {
        task.cancel();
        task.cancel();
    });
    ASSERT_TRUE(waitUntil([&] { return taskEnded(task); }, 60000));
    EXPECT_EQ(task.state, TaskSpecification::Finished);
    EXPECT_EQ(log.filtered("main message Files already replaced").size(), 1)
        << log.lines.join("\n").toStdString();
}

} // namespace
