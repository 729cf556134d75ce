#include "AppDelegate.h"

#include <QApplication>
#include <QMainWindow>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("penshelf"));
    AppDelegate controller;
    controller.window()->show();
    controller.applicationDidFinishLaunching();
    return app.exec();
}
