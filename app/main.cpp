#include "AppDelegate.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <QImageReader>
#include <QLibraryInfo>
#include <QMainWindow>
#include <QTranslator>

int main(int argc, char* argv[])
{
    QApplication::setApplicationName(QStringLiteral("penshelf"));
    QApplication::setApplicationVersion(QStringLiteral(PENSHELF_VERSION));

    // --help and --version are answered before QApplication exists: they need no display.
    QCommandLineParser options;
    options.setApplicationDescription(
        QStringLiteral("点读笔管理: manages the book packages on a point-reading pen."));
    const QCommandLineOption helpOption({ QStringLiteral("h"), QStringLiteral("help") },
        QStringLiteral("Displays help on commandline options."));
    const QCommandLineOption versionOption(
        { QStringLiteral("v"), QStringLiteral("version") }, QStringLiteral("Displays version information."));
    options.addOption(helpOption);
    options.addOption(versionOption);
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    // Qt's own options (-platform, -style, ...) are unknown here; QApplication takes them below.
    options.parse(arguments);
    if (options.isSet(helpOption) || options.isSet(versionOption)) {
        // The help text names the program from the application object; a core one needs no display.
        QCoreApplication textOnly(argc, argv);
        if (options.isSet(helpOption))
            options.showHelp();
        options.showVersion();
    }

    QApplication app(argc, argv);
    QGuiApplication::setDesktopFileName(QStringLiteral(PENSHELF_APP_ID));
    // What is left after QApplication removed its own options must be ours.
    options.process(app);

    // The drawing scales to any size a desktop asks for where Qt's SVG support is installed;
    // the rendered sizes serve without it.
    QIcon icon;
    if (QImageReader::supportedImageFormats().contains("svg"))
        icon.addFile(QStringLiteral(":/icons/scalable.svg"));
    for (int size : { 16, 24, 32, 48, 64, 128, 256 })
        icon.addFile(QStringLiteral(":/icons/%1.png").arg(size), QSize(size, size));
    QApplication::setWindowIcon(icon);

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
