// Test main for every test program: a QApplication exists for the whole run, so that tests of
// widgets, timers, sockets and queued signals need no set-up of their own.
#include <QApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>

namespace {

// A quit() or exit() that a test called while no loop of the application ran stays pending and
// makes every later nested loop (modal boxes, QSignalSpy::wait) return at once. Only the
// application's own loop clears it, so each test starts with one short turn of that loop.
class PendingQuitClearer : public ::testing::EmptyTestEventListener
{
    void OnTestStart(const ::testing::TestInfo &) override
    {
        QTimer::singleShot(0, []() { QCoreApplication::exit(0); });
        QCoreApplication::exec();
    }
};

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    // The build lists the tests through this program; listing needs no Qt, and the application
    // would make a runtime folder in the temporary folder there (CTest gives the runs one).
    if (::testing::GTEST_FLAG(list_tests))
        return RUN_ALL_TESTS();
    // A run started by hand gets a private runtime folder that goes with it, so that Qt does not
    // leave one in the temporary folder. Death tests' child runs inherit it.
    std::unique_ptr<QTemporaryDir> runtimeDir;
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
        runtimeDir = std::make_unique<QTemporaryDir>();
        if (runtimeDir->isValid())
            qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir->path()));
    }
    // Death tests fork; a thread-safe style re-runs the binary instead of forking a Qt process.
    ::testing::GTEST_FLAG(death_test_style) = "threadsafe";
    QApplication app(argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new PendingQuitClearer);
    return RUN_ALL_TESTS();
}
