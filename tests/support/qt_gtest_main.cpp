// Test main for every test program: a QApplication exists for the whole run, so that tests of
// widgets, timers, sockets and queued signals need no set-up of their own.
#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    // Death tests fork; a thread-safe style re-runs the binary instead of forking a Qt process.
    ::testing::GTEST_FLAG(death_test_style) = "threadsafe";
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
