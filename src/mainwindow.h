// The updater's one window: version, channel and step, a progress bar, a details pane with the
// run's messages, and the boxes that report errors and ask the user. It starts the session once
// the configuration is ready and hands over to the next program when the session ends.
#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "mainwindowaccess.h"

#include <QString>
#include <QWidget>

class Configuration;
class UpdateEngine;
class Ui_MainWindow;

// Marker files in QDir::tempPath(), left for the client when a restart was asked for.
extern const QString g_ForceUpdateFileName; // the user agreed to restart
extern const QString g_ForceUpdateCheckFileName; // the user declined

class MainWindow : public QWidget
{
    Q_OBJECT

public:
    explicit MainWindow(Configuration *config);
    ~MainWindow() override;

    void updateVersionLabel();
    void write_force_update_file(const QString &name);
    void delete_force_update_files();

public slots:
    void onRebootWithConfirmation();

private slots:
    void onFatalError(QString errorMessage);
    void onStartUpdate();
    void onStartNewUpdater();
    void onAppendText(QString text);
    void onUpdateFinished();
    void onUpdateCanceled();

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    Ui_MainWindow *ui;
    Configuration *m_Config;
    UpdateEngine *m_Engine;
    bool m_Finished;
    bool m_Aborting;
    bool m_Started;
    bool m_RebootPending;
    // The program is ending (a fatal error box is up, or the window has closed): no session may
    // start from the events still delivered, such as a late answer of the version server.
    bool m_Ending = false;
    // The next program has been started; the window only has to close.
    bool m_HandedOver = false;

    // A run has finished and its hand-over is still to come: a close now would drop it.
    bool handOverPending() const;
    // Closes the window once the next program runs; a start that failed ends as a fatal error
    // that names reason, when there is one.
    void finishHandOver(bool started, const QString &bundle, const QString &reason = QString());
    // A critical box that shows text as it is, never as markup.
    void showCritical(const QString &text);
};

#endif // MAINWINDOW_H
