#include "InstWindow.h"

InstWindow::InstWindow(QWidget *parent)
    : QDialog(parent)
{
}

InstWindow::~InstWindow() = default;

void InstWindow::showWindow()
{
    exec();
}
