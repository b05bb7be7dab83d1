#include "mainwindowaccess.h"

QWidget *g_MainWindow = nullptr;
