// Test main for every test program: a QApplication exists for the whole run, so that tests of
// widgets, timers, sockets and queued signals need no set-up of their own.
#include <QApplication>
#include <QTimer>

#include <gtest/gtest.h>

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
    // Death tests fork; a thread-safe style re-runs the binary instead of forking a Qt process.
    ::testing::GTEST_FLAG(death_test_style) = "threadsafe";
    QApplication app(argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new PendingQuitClearer);
    return RUN_ALL_TESTS();
}
