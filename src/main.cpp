#include "configuration.h"
#include "mainwindow.h"
#include "protobufhelper.h"
#include "updateengine.h"
#include "updateinidata.h"
#include "updatelog.h"
#include "updateversions.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QLocale>
#include <QString>
#include <QTimer>
#include <QTranslator>

int main(int argc, char **argv)
{
    protobufLibraryInit();
    registerUpdateVersionsMetaType();
    UpdateLog *log = UpdateLog::instance();
    qInstallMessageHandler(updateMessageHandler);
    // Support reads every entry in the log, whatever logging rules the user's Qt programs have;
    // the application object reads those rules, so this comes first.
    log->takeEveryMessage();

    QApplication app(argc, argv);

    const QString base = Configuration::getInstallPath();
    qDebug() << "Quorvelin updater started";

    UpdateEngine::removeQt4Files(base);
    UpdateEngine::removeOldFiles(base);
    UpdateEngine::removeOldFiles(base + QStringLiteral("/old"));
    UpdateEngine::removeOldFiles(base + QStringLiteral("/imageformats"));
    UpdateEngine::removeOldFiles(base + QStringLiteral("/accessible"));
    UpdateEngine::removeOldFiles(base + QStringLiteral("/sqldrivers"));
    QDir().rmdir(base + QStringLiteral("/old"));
    UpdateIniData::removeLeftoverScratch();
    qDebug() << "Removing old files done";

    const QString locale = QLocale::system().name();
    QTranslator updateTranslator;
    QTranslator qtTranslator;
    updateTranslator.load(base + QStringLiteral("/translations/update_") + locale);
    app.installTranslator(&updateTranslator);
    qtTranslator.load(base + QStringLiteral("/translations/qt_") + locale);
    app.installTranslator(&qtTranslator);

    Configuration config;
    MainWindow window(&config);

    int exitCode = 1;
    if (!config.parseCommandLineOptions()) {
        qWarning() << "Failed to parse command line options, aborting";
    } else {
        QTimer::singleShot(2000, &window, SLOT(onStartUpdate()));
        window.updateVersionLabel();
        window.show();
        window.delete_force_update_files();
        exitCode = app.exec();
        log->close();
        protobufLibraryShutdown();
    }
    return exitCode;
}
