#ifndef MAINWINDOWACCESS_H
#define MAINWINDOWACCESS_H

class QWidget;

// The one main window of the process: set by its constructor, cleared by its destructor, null
// while there is none (tests, or before the window is made). Tasks use it only to reach the
// window's slots by name through queued connections, so they need no window header.
extern QWidget *g_MainWindow;

#endif // MAINWINDOWACCESS_H
