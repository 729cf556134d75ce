#include "AppDelegate.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QMainWindow>
#include <QTranslator>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("penshelf"));

    // Every text of the program is Chinese; the toolkit's own dialogs (the file chooser) follow.
    QTranslator toolkitTexts;
    if (toolkitTexts.load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"),
            QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(&toolkitTexts);

    AppDelegate controller;
    controller.window()->show();
    controller.applicationDidFinishLaunching();
    return app.exec();
}
