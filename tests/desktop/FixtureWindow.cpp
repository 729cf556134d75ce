// The program's main window on a pen made of a plain folder, for the checks that need a real
// display server, compositor or accessibility bus: the AT-SPI test reads it, the Wayland and
// scaling checks take screenshots of it (README: "Desktop checks").
//
//   penshelf_fixture_window [--select STAT] [--message TEXT] [--screenshot FILE] [--quit-after MS]
//                           [--on-install-dialog FILE]
//
// Prints "ready" once the window is shown and listed; "platform NAME" before that. With
// --screenshot it grabs the window a moment after it is ready into FILE and ends. With
// --on-install-dialog an install dialog opened by a drop (or the install button) is grabbed
// into FILE, its title printed as "install dialog: TITLE", and the program ends. With
// --count-colour FILE COLOUR it only prints how many pixels of the image have that colour and
// the position of one in the middle; with
// --drag-source FILE it only shows a magenta window that drags FILE away when pressed (a file
// manager's drag, for the drop check on Wayland).

#include "AppDelegate.h"
#include "BookHeader.h"
#include "InstWindow.h"
#include "PackageBuilder.h"
#include "PenRecord.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDrag>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMimeData>
#include <QMouseEvent>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

namespace {

void say(const QString& line)
{
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

// A window in one colour that drags the given files away when pressed, as a file manager does.
class DragSource : public QWidget {
public:
    explicit DragSource(QList<QUrl> files)
        : m_files(std::move(files))
    {
        setWindowTitle(QStringLiteral("drag source"));
        setAutoFillBackground(true);
        QPalette colours = palette();
        colours.setColor(QPalette::Window, QColor(0xff, 0x00, 0xff));
        setPalette(colours);
        resize(240, 160);
    }

protected:
    void mousePressEvent(QMouseEvent*) override
    {
        auto* data = new QMimeData;
        data->setUrls(m_files);
        auto* drag = new QDrag(this);
        drag->setMimeData(data);
        say(QStringLiteral("drag started"));
        const Qt::DropAction action = drag->exec(Qt::CopyAction);
        say(QStringLiteral("drag ended: %1").arg(action == Qt::CopyAction ? "copied" : "not accepted"));
    }

private:
    QList<QUrl> m_files;
};

void selectRow(QTableView* table, const QString& stat)
{
    const QAbstractItemModel* model = table->model();
    for (int row = 0; row < model->rowCount(); ++row) {
        if (model->index(row, 1).data().toString() == stat) {
            table->selectRow(row);
            return;
        }
    }
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QCommandLineParser options;
    const QCommandLineOption select(
        QStringLiteral("select"), QStringLiteral("row to select"), QStringLiteral("STAT"));
    const QCommandLineOption screenshot(
        QStringLiteral("screenshot"), QStringLiteral("grab the window"), QStringLiteral("FILE"));
    const QCommandLineOption quitAfter(
        QStringLiteral("quit-after"), QStringLiteral("end after MS milliseconds"), QStringLiteral("MS"));
    const QCommandLineOption message(
        QStringLiteral("message"), QStringLiteral("put TEXT in the message line"), QStringLiteral("TEXT"));
    const QCommandLineOption dialogShot(QStringLiteral("on-install-dialog"),
        QStringLiteral("grab the install dialog and end"), QStringLiteral("FILE"));
    const QCommandLineOption countColour(QStringLiteral("count-colour"),
        QStringLiteral(
            "print how many pixels of the image FILE are near the colour given after it, and one of them"),
        QStringLiteral("FILE"));
    const QCommandLineOption dragSource(QStringLiteral("drag-source"),
        QStringLiteral("only show a magenta window that drags FILE away when pressed"),
        QStringLiteral("FILE"));
    options.addOptions({ select, screenshot, quitAfter, message, dialogShot, countColour, dragSource });
    options.process(app);
    if (options.isSet(dragSource)) {
        DragSource source({ QUrl::fromLocalFile(QFileInfo(options.value(dragSource)).absoluteFilePath()) });
        source.show();
        if (options.isSet(quitAfter))
            QTimer::singleShot(options.value(quitAfter).toInt(), &app, &QCoreApplication::quit);
        QTimer::singleShot(0, &app, [] { say(QStringLiteral("ready")); });
        return app.exec();
    }
    if (options.isSet(countColour)) {
        const QImage image(options.value(countColour));
        // Near the colour: a compositor that scales the window may shift it a little.
        const QColor wanted(options.positionalArguments().value(0));
        const auto near = [](int a, int b) { return std::abs(a - b) <= 12; };
        QList<QPoint> found;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QRgb pixel = image.pixel(x, y);
                if (near(qRed(pixel), wanted.red()) && near(qGreen(pixel), wanted.green())
                    && near(qBlue(pixel), wanted.blue()))
                    found.append(QPoint(x, y));
            }
        }
        // The count, and the middle one of the pixels found (a point inside the area).
        const QPoint middle = found.isEmpty() ? QPoint() : found.at(found.size() / 2);
        say(QStringLiteral("%1 %2 %3").arg(found.size()).arg(middle.x()).arg(middle.y()));
        return image.isNull() ? 1 : 0;
    }
    say(QStringLiteral("platform ") + QGuiApplication::platformName());

    // A pen with the kinds of packages the table shows, long titles among them.
    QTemporaryDir volume;
    const QString dir = volume.path() + QStringLiteral("/USER/CUSTOM/");
    PackageBuilder()
        .title(QStringLiteral("三年级英语上册（人民教育出版社）同步点读"))
        .writeTo(dir + "001.dar");
    PackageBuilder().title(QStringLiteral("deb-小熊和他的朋友们 睡前故事第一辑")).writeTo(dir + "002.dsr");
    PackageBuilder().title(QStringLiteral("UNB自然拼读 Level 2")).writeTo(dir + "010.das");
    PackageBuilder().title(QStringLiteral("数学练习册")).writeTo(dir + "123.dcs");
    PackageBuilder().title(QStringLiteral("ATT001")).writeTo(dir + "045.dar");
    WriteOffsetOid(dir + "001.dar", 200);

    AppDelegate controller;
    controller.setUsbMonitoringEnabled(false);
    controller.setVolumePathResolver([&](const QString&) { return volume.path() + QLatin1Char('/'); });
    controller.window()->show();
    controller.applicationDidFinishLaunching();
    controller.session()->storePen(BuildPenRecord(QStringLiteral("vorna"), QStringLiteral("Pen"), QStringLiteral("0100"),
        QStringLiteral("sdx1"), QByteArray("[SYS]\nSerial=XPS2024-0618\n")));
    // The pen is read in the background: its rows are in the table once its jobs are done.
    while (controller.session()->penJobsRunning())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    if (options.isSet(select))
        selectRow(
            controller.window()->findChild<QTableView*>(QStringLiteral("listBook")), options.value(select));

    if (options.isSet(message))
        controller.window()->findChild<QLabel*>(QStringLiteral("dtInfo"))->setText(options.value(message));

    if (options.isSet(dialogShot)) {
        const QString file = options.value(dialogShot);
        InstWindow::windowShown = [file](InstWindow* dialog) {
            // Painted once before it is grabbed.
            QTimer::singleShot(500, dialog, [dialog, file] {
                dialog->grab().save(file);
                say(QStringLiteral("install dialog: ") + dialog->windowTitle() + QStringLiteral(" | ")
                    + dialog->findChild<QLineEdit*>(QStringLiteral("dtBookName"))->text());
                QCoreApplication::exit(0);
            });
        };
    }
    if (options.isSet(screenshot)) {
        const QString file = options.value(screenshot);
        QTimer::singleShot(1000, controller.window(), [&controller, file] {
            controller.window()->grab().save(file);
            QCoreApplication::quit();
        });
    }
    if (options.isSet(quitAfter))
        QTimer::singleShot(options.value(quitAfter).toInt(), &app, &QCoreApplication::quit);
    QTimer::singleShot(0, &app, [] { say(QStringLiteral("ready")); });
    return app.exec();
}
