#include "mainwindow.h"

#include "bundlelinks.h"
#include "configuration.h"
#include "processtools.h"
#include "systemreason.h"
#include "ui_mainwindow.h"
#include "updateengine.h"
#include "updatelog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QScrollBar>
#include <QShowEvent>
#include <QTextCursor>
#include <QTextDocumentFragment>
#include <QTextEdit>
#include <QTimer>

const QString g_ForceUpdateFileName = QStringLiteral("qvx_force_update");
const QString g_ForceUpdateCheckFileName = QStringLiteral("qvx_force_update_check");

// The images live in the static core library; make sure its resources are linked and registered.
static void initUpdaterResources()
{
    Q_INIT_RESOURCE(updater);
}

namespace {

// Set while the cancellation box is open, so that a second cancellation adds no second box.
bool s_CancelBoxOpen = false;

QString trWidget(const char *text)
{
    return QCoreApplication::translate("QWidget", text);
}

QString trObject(const char *text)
{
    return QCoreApplication::translate("QObject", text);
}

const char *makerUrl = "https://www.quorvelin.example/";

// What the user reads of a question box's text: the box shows a text that looks like markup as
// rich text, so the log gets that text's plain form, not its tags and entities.
QString questionAsShown(const QString &text)
{
    return Qt::mightBeRichText(text) ? QTextDocumentFragment::fromHtml(text).toPlainText() : text;
}

} // namespace

MainWindow::MainWindow(Configuration *config)
    : QWidget(nullptr, Qt::WindowFlags())
    , ui(new Ui_MainWindow)
    , m_Config(config)
    , m_Engine(nullptr)
    , m_Finished(false)
    , m_Aborting(false)
    , m_Started(false)
    , m_RebootPending(false)
{
    initUpdaterResources();
    m_Engine = new UpdateEngine(m_Config, this);
    g_MainWindow = this;

    connect(m_Engine, &UpdateEngine::error, this, [this](const QString &errorMessage) {
        onAppendText(errorMessage);
        // Not inside the reporting task's signal: the box's nested loop lets the run end, and the
        // task tree be deleted, under that task's own code.
        QMetaObject::invokeMethod(
            this, [this, errorMessage]() { showCritical(errorMessage); }, Qt::QueuedConnection);
    });
    connect(m_Engine, &UpdateEngine::fatalError, this, &MainWindow::onFatalError);
    connect(m_Engine, &UpdateEngine::updateProgress, this, [this](double doneFrac) {
        ui->totalProgressBar->setValue(static_cast<int>(doneFrac * 1000));
    });
    connect(m_Engine, &UpdateEngine::message, this, &MainWindow::onAppendText);
    connect(m_Engine, &UpdateEngine::updateFinished, this, &MainWindow::onUpdateFinished);
    connect(m_Engine, &UpdateEngine::updateCanceled, this, &MainWindow::onUpdateCanceled);

    ui->setupUi(this);

    // Queued: the form's own toggled connection has shown the pane by then.
    connect(
        ui->detailsButton, &QPushButton::clicked, this,
        [this](bool) {
            if (ui->outputTextEdit->isVisible()) {
                QScrollBar *bar = ui->outputTextEdit->verticalScrollBar();
                bar->setValue(bar->maximum());
            }
        },
        Qt::QueuedConnection);

    ui->quorvelinLabel->setUrl(QString::fromLatin1(makerUrl));
    ui->banner->setUrl(QString::fromLatin1(makerUrl));
    ui->quorvelinLabel->hide();
    ui->outputTextEdit->hide();

    connect(m_Config, &Configuration::fatalError, this, [this](const QString &errorMessage) {
        m_Ending = true;
        showCritical(errorMessage);
        QCoreApplication::exit(1);
    });
    connect(m_Config, &Configuration::ready, this, &MainWindow::onStartUpdate);
}

MainWindow::~MainWindow()
{
    if (g_MainWindow == this)
        g_MainWindow = nullptr;
    delete ui;
}

void MainWindow::updateVersionLabel()
{
    QString text;
    if (!m_Config->versionString.isEmpty())
        text += QStringLiteral("<div style=\"font-weight:bold;font-size:large\">")
            // The version server's reply is unsigned: its text must not become markup or links.
            + trWidget("Update to Quorvelin %1").arg(m_Config->versionString.toHtmlEscaped())
            + QStringLiteral("</div>");

    QString channelName;
    switch (m_Config->channel) {
    case 0:
        channelName = trWidget("Stable");
        break;
    case 1:
        channelName = trWidget("Beta");
        break;
    case 2:
        channelName = trWidget("Alpha");
        break;
    default:
        break;
    }
    text += QStringLiteral("<div style=\"margin-top:0.2em\">")
        + trWidget("You are currently on <strong>%1 channel</strong>.").arg(channelName)
        + QStringLiteral("</div>");

    text += QStringLiteral("<div style=\"margin-top:0.2em;font-style:italic\">")
        + (m_Config->clientUpdate ? trWidget("Step two: Updating Quorvelin client")
                                  : trWidget("Step one: Updating updater"))
        + QStringLiteral("</div>");
    ui->versionLabel->setText(text);
}

void MainWindow::showEvent(QShowEvent *event)
{
    const int side = ui->versionLabel->height();
    ui->quorvelinLabel->setMaximumWidth(side);
    ui->quorvelinLabel->setMaximumHeight(side);
    ui->quorvelinLabel->show();
    QWidget::showEvent(event);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (!m_Engine->isActive()) {
        // The hand-over closes the window itself a moment later.
        if (handOverPending()) {
            event->ignore();
        } else {
            m_Ending = true;
            event->accept();
        }
        return;
    }
    event->ignore();
    if (m_Aborting)
        return;
    const QString question
        = trWidget("<p>Update in progress.</p><p>Are you sure you want to abort?</p>");
    logShownText(questionAsShown(question));
    const QMessageBox::StandardButton answer = QMessageBox::question(
        this, trWidget("Question"), question, QMessageBox::Yes | QMessageBox::No);
    // The run may have ended while the question was open. Qt refuses a close() made inside
    // this event, the hand-over's included, so this close has to do what that one could not.
    if (m_HandedOver) {
        m_Ending = true;
        event->accept();
        return;
    }
    if (!m_Engine->isActive()) {
        if (answer == QMessageBox::Yes && !handOverPending() && !m_Ending) {
            m_Ending = true;
            event->accept();
        }
        return;
    }
    if (answer == QMessageBox::Yes) {
        m_Aborting = true;
        m_Engine->cancelUpdate();
    }
}

void MainWindow::onAppendText(QString text)
{
    logShownText(text);
    // Plain text: a file name or a version in a message must not turn into markup or a link.
    QTextEdit *pane = ui->outputTextEdit;
    QScrollBar *bar = pane->verticalScrollBar();
    const bool atBottom = bar->value() >= bar->maximum();
    QTextCursor cursor(pane->document());
    cursor.movePosition(QTextCursor::End);
    if (!pane->document()->isEmpty())
        cursor.insertBlock();
    cursor.insertText(text);
    if (atBottom)
        bar->setValue(bar->maximum());
}

void MainWindow::showCritical(const QString &text)
{
    logShownText(text);
    QMessageBox box(QMessageBox::Critical, trObject("Error"), text, QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void MainWindow::onFatalError(QString errorMessage)
{
    m_Ending = true;
    showCritical(errorMessage);
    QCoreApplication::exit(2);
}

bool MainWindow::handOverPending() const
{
    return m_Finished && !m_HandedOver && !m_RebootPending && !m_Ending;
}

void MainWindow::finishHandOver(bool started, const QString &bundle, const QString &reason)
{
    if (!started) {
        qWarning() << "Hand-over failed: nothing started from" << bundle;
        onFatalError(withSystemReason(trWidget("Could not start '%1'").arg(QDir::cleanPath(bundle)),
                                      reason));
        return;
    }
    m_HandedOver = true;
    close();
}

void MainWindow::onStartUpdate()
{
    qDebug() << "onStartUpdate" << m_Finished << m_Started;
    if (m_Finished || m_Started || m_Ending)
        return;
    if (m_Engine->isActive()) {
        qDebug() << "Session already active";
        return;
    }
    if (!m_Config->initialised) {
        qDebug() << "Aborting start update, configuration not yet ready";
        return;
    }
    // One attempt only: a failed initialize has reported its cause, and the second of the two
    // start paths would report it again.
    m_Started = true;
    if (m_Engine->initialize()) {
        qDebug() << "Update engine initialized";
        m_Engine->startUpdate();
    }
}

void MainWindow::onStartNewUpdater()
{
    qDebug() << "onStartNewUpdater";
    const QStringList args {QStringLiteral("--clientupdate"), Configuration::clientTypeString(1),
                            QString::number(m_Config->versionNr),
                            m_Config->versionString.isEmpty() ? QStringLiteral("#")
                                                              : m_Config->versionString};
    QString reason;
    const bool started = ProcessTools::startClientUpdater(m_Config->tempDir, args, &reason);
    finishHandOver(started, ProcessTools::clientUpdaterBundle(m_Config->tempDir), reason);
}

void MainWindow::onUpdateFinished()
{
    qDebug() << "onUpdateFinished";
    m_Finished = true;
    if (m_Aborting) {
        // The user asked to stop (the abort or the restart question), but the run had replaced
        // the client's files and so went on to its end: the bundle is the new one and gets its
        // links, and the next program is not started.
        if (m_Config->clientUpdate != 0)
            BundleLinks::createClientBundleLinks(m_Config->installPath);
        m_Ending = true;
        close();
        QCoreApplication::quit();
        return;
    }
    if (m_RebootPending)
        return;
    if (m_Config->clientUpdate == 0) {
        QTimer::singleShot(1000, this, &MainWindow::onStartNewUpdater);
        return;
    }
    BundleLinks::createClientBundleLinks(m_Config->installPath);
    QTimer::singleShot(1000, this, [this]() {
        if (m_Config->clientUpdate != 1) {
            m_HandedOver = true;
            close();
            return;
        }
        finishHandOver(ProcessTools::startQvxClient(m_Config->installPath),
                       ProcessTools::clientBundle(m_Config->installPath));
    });
}

void MainWindow::onUpdateCanceled()
{
    if (m_Aborting) {
        QCoreApplication::quit();
        return;
    }
    m_Finished = false;
    m_Engine->resetAfterCancel();
    onAppendText(trWidget("Update cancelled"));
    ui->totalProgressBar->setValue(0);

    if (s_CancelBoxOpen)
        return;
    s_CancelBoxOpen = true;
    const QString text = trWidget("Update cancelled. Push \"Details\" to check reasons.");
    logShownText(text);
    QMessageBox::critical(this, trWidget("Update"), text, QMessageBox::Ok);
    s_CancelBoxOpen = false;
}

void MainWindow::onRebootWithConfirmation()
{
    qDebug() << "onRebootWithConfirmation";
    m_RebootPending = true;
    const QString question
        = trWidget("<p>A computer restart is required to proceed with the client update. If you "
                   "do not reboot now, the Quorvelin update will be cancelled.</p><p>Do you want "
                   "to reboot now?</p>");
    logShownText(questionAsShown(question));
    const QMessageBox::StandardButton answer
        = QMessageBox::question(this, trWidget("Confirm reboot"), question,
                                QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
    if (answer == QMessageBox::Yes) {
        write_force_update_file(g_ForceUpdateFileName);
        QApplication::beep();
    } else {
        write_force_update_file(g_ForceUpdateCheckFileName);
    }
    if (m_Engine->isActive()) {
        // Ending the loop now would cut the run off wherever it is, in the middle of replacing
        // files included; the run's end quits instead.
        m_Aborting = true;
        m_Engine->cancelUpdate();
        return;
    }
    QCoreApplication::quit();
}

void MainWindow::write_force_update_file(const QString &name)
{
    const QString path = ProcessTools::tempFilePath(name);
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        onAppendText(QStringLiteral("Failed to store force update notice"));
        qDebug() << "Failed to store force update notice";
        return;
    }
    file.close();
}

void MainWindow::delete_force_update_files()
{
    qDebug() << "delete_force_update_files" << m_Config->clientUpdate;
    if (m_Config->clientUpdate != 0)
        return;
    for (const QString &name : {g_ForceUpdateFileName, g_ForceUpdateCheckFileName}) {
        const QString path = ProcessTools::tempFilePath(name);
        if (!path.isEmpty())
            QFile::remove(path);
    }
}
