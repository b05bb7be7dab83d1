// Closes the modal message boxes a test expects and remembers what they said, so that code
// which runs QMessageBox::exec can be tested without a user.
//
//   ModalBoxCloser closer;              // polls while the event loop runs
//   ... code that opens a box ...
//   closer.boxes()[0].text
#ifndef MODALBOXCLOSER_H
#define MODALBOXCLOSER_H

#include <QAbstractButton>
#include <QApplication>
#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QString>
#include <QTimer>

class ModalBoxCloser : public QObject
{
public:
    struct Box
    {
        QString title;
        QString text;
        QMessageBox::Icon icon;
        QMessageBox::StandardButtons buttons;
        QString parentName; // object name of the box's parent widget, empty without one
    };

    // answer: the button the "user" presses.
    explicit ModalBoxCloser(QMessageBox::StandardButton answer = QMessageBox::NoButton)
        : m_answer(answer)
    {
        connect(&m_timer, &QTimer::timeout, this, &ModalBoxCloser::poll);
        m_timer.start(10);
    }

    const QList<Box> &boxes() const { return m_boxes; }

private:
    void poll()
    {
        QMessageBox *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        Box seen {box->windowTitle(), box->text(), box->icon(), box->standardButtons(),
                  box->parentWidget() ? box->parentWidget()->objectName() : QString()};
        m_boxes.append(seen);
        QAbstractButton *button
            = m_answer != QMessageBox::NoButton ? box->button(m_answer) : nullptr;
        if (button)
            button->click();
        else
            box->reject();
    }

    QMessageBox::StandardButton m_answer;
    QTimer m_timer;
    QList<Box> m_boxes;
};

#endif // MODALBOXCLOSER_H
