#include "AppDelegate.h"
#include "BookHeader.h"
#include "Catalogue.h"
#include "DiskService.h"
#include "FolderDoor.h"
#include "InstWindow.h"
#include "MainWindowDriver.h"
#include "PackageBuilder.h"

#include <QAccessible>
#include <QAction>
#include <QComboBox>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QProgressBar>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>

namespace {

// Ejects nothing; counts the requests.
class CountingDisks : public DiskService {
public:
    explicit CountingDisks(std::shared_ptr<std::atomic<int>> ejects)
        : m_ejects(std::move(ejects))
    {
    }
    bool ejectDrive(const QString&, QString*) override
    {
        ++*m_ejects;
        return true;
    }
    QString mountFilesystem(const QString&, QString* error) override
    {
        *error = QStringLiteral("not in this test");
        return {};
    }

private:
    std::shared_ptr<std::atomic<int>> m_ejects;
};

// The main window, shown and active, on one pen whose volume is a plain directory holding a
// self-made package 001.dar and a story 002.dsr.
struct ShownWindow {
    QTemporaryDir volume;
    QString dir = volume.path() + "/USER/CUSTOM/";
    std::shared_ptr<std::atomic<int>> ejects = std::make_shared<std::atomic<int>>(0);
    MainWindowDriver driver { std::make_unique<CountingDisks>(ejects) };

    ShownWindow()
    {
        PackageBuilder().title("Alpha").writeTo(dir + "001.dar");
        PackageBuilder().title("deb-Beta").writeTo(dir + "002.dsr");
        PackageBuilder()
            .title(QStringLiteral("三年级英语上册（人民教育出版社）同步点读"))
            .writeTo(dir + "003.dcs");
        driver.addPen("sdx1", volume.path() + "/");
        driver.app.window()->show();
        QApplication::setActiveWindow(driver.app.window());
    }
    ~ShownWindow()
    {
        // An eject still running reports to the window: let it end first.
        QTRY_VERIFY(!driver.app.session()->diskJobsRunning());
    }
};

QString accessibleText(QObject* object, QAccessible::Text text)
{
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(object);
    return iface ? iface->text(text) : QStringLiteral("<no interface>");
}

} // namespace

class DesktopTest : public QObject {
    Q_OBJECT
private slots:
    void cleanup();

    void shortcuts_data();
    void shortcuts();
    void tooltipsNameTheShortcuts_data();
    void tooltipsNameTheShortcuts();
    void tabOrder();
    void layoutFitsItsTexts();
    void accessibleNames_data();
    void accessibleNames();
    void tableColumnsAreNamed();
    void installDialogNames_data();
    void installDialogNames();
};

void DesktopTest::cleanup()
{
    AppDelegate::alertHook = nullptr;
    AppDelegate::fileDialogShown = nullptr;
}

void DesktopTest::shortcuts_data()
{
    QTest::addColumn<QString>("selected"); // the row selected first, if any
    QTest::addColumn<QString>("focus"); // the widget that has the keyboard focus
    QTest::addColumn<QKeySequence>("keys");
    QTest::addColumn<QStringList>("outcome");

    // A package written after the scan shows whether the window scanned again.
    QTest::addRow("F5 in the table refreshes")
        << ""
        << "listBook" << QKeySequence(Qt::Key_F5) << QStringList { "rescanned" };
    QTest::addRow("F5 in a sticker field refreshes")
        << "自制-001"
        << "dtBookOid" << QKeySequence(Qt::Key_F5) << QStringList { "rescanned" };
    QTest::addRow("Ctrl+O opens the file dialog")
        << ""
        << "listKavo" << QKeySequence(Qt::CTRL | Qt::Key_O) << QStringList { "file dialog" };
    QTest::addRow("Delete in the table asks, then removes")
        << "自制-001"
        << "listBook" << QKeySequence(Qt::Key_Delete) << QStringList { "asked", "removed", "rescanned" };
    QTest::addRow("Delete in the table without a selection does nothing")
        << ""
        << "listBook" << QKeySequence(Qt::Key_Delete) << QStringList {};
    QTest::addRow("Delete in a sticker field edits the field")
        << "自制-001"
        << "dtBookOid" << QKeySequence(Qt::Key_Delete) << QStringList {};
    QTest::addRow("Ctrl+Return in the book sticker field applies")
        << "自制-001"
        << "dtBookOid" << QKeySequence(Qt::CTRL | Qt::Key_Return)
        << QStringList { "renumbered", "rescanned" };
    QTest::addRow("Ctrl+Return in the start sticker field applies")
        << "自制-001"
        << "dtOffsetOid" << QKeySequence(Qt::CTRL | Qt::Key_Return)
        << QStringList { "renumbered", "rescanned" };
    QTest::addRow("Ctrl+Return in the table does nothing")
        << "自制-001"
        << "listBook" << QKeySequence(Qt::CTRL | Qt::Key_Return) << QStringList {};
    QTest::addRow("Ctrl+E ejects") << ""
                                   << "listBook" << QKeySequence(Qt::CTRL | Qt::Key_E)
                                   << QStringList { "ejected" };
}

void DesktopTest::shortcuts()
{
    QFETCH(QString, selected);
    QFETCH(QString, focus);
    QFETCH(QKeySequence, keys);
    QFETCH(QStringList, outcome);

    ShownWindow w;
    QVERIFY(QTest::qWaitForWindowActive(w.driver.app.window()));
    if (!selected.isEmpty())
        w.driver.select(selected);
    if (w.driver.widget("dtBookOid")->isEnabled()) {
        w.driver.widget<QLineEdit>("dtBookOid")->setText("009");
        w.driver.widget<QLineEdit>("dtOffsetOid")->setText("0000");
    }
    PackageBuilder().title("Late").writeTo(w.dir + "005.dar");

    int asked = 0;
    int dialogs = 0;
    AppDelegate::alertHook = [&](QMessageBox& alert) -> QAbstractButton* {
        ++asked;
        for (QAbstractButton* button : alert.buttons())
            if (alert.buttonRole(button) == QMessageBox::AcceptRole)
                return button;
        return nullptr;
    };
    AppDelegate::fileDialogShown = [&](QFileDialog* dialog) {
        ++dialogs;
        dialog->reject();
    };

    QWidget* target = w.driver.widget(focus);
    target->setFocus();
    QCOMPARE(QApplication::focusWidget(), target);
    QTest::keySequence(target, keys);

    const auto happened = [&] {
        QStringList seen;
        if (asked)
            seen << "asked";
        if (dialogs)
            seen << "file dialog";
        if (!QFileInfo::exists(w.dir + "001.dar") && !QFileInfo::exists(w.dir + "009.dar"))
            seen << "removed";
        if (QFileInfo::exists(w.dir + "009.dar"))
            seen << "renumbered";
        if (w.driver.column(1).contains("自制-005"))
            seen << "rescanned";
        if (*w.ejects)
            seen << "ejected";
        seen.sort();
        return seen;
    };
    outcome.sort();
    // A button's own shortcut clicks it as the mouse would, pressed for a tenth of a second,
    // and an eject ends on another thread: what a key does may come a moment later.
    QTest::qWait(300);
    QTRY_COMPARE_WITH_TIMEOUT(happened(), outcome, 10000);
    QTRY_VERIFY(!w.driver.app.session()->diskJobsRunning());
    QCOMPARE(happened(), outcome);
}

void DesktopTest::tooltipsNameTheShortcuts_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("named"); // how the tooltip names the keys
    QTest::addColumn<QKeySequence>("keys");

    QTest::addRow("refresh") << "btnRefresh"
                             << "F5" << QKeySequence(Qt::Key_F5);
    QTest::addRow("eject") << "btnEject"
                           << "Ctrl+E" << QKeySequence(Qt::CTRL | Qt::Key_E);
    QTest::addRow("install") << "btnInstall"
                             << "Ctrl+O" << QKeySequence(Qt::CTRL | Qt::Key_O);
    QTest::addRow("remove") << "btnRemove"
                            << "Delete" << QKeySequence(Qt::Key_Delete);
    QTest::addRow("apply") << "btnApply"
                           << "Ctrl+Return" << QKeySequence(Qt::CTRL | Qt::Key_Return);
}

// The tooltip names the keys, and those keys are bound to the button, directly or through an
// action that clicks it.
void DesktopTest::tooltipsNameTheShortcuts()
{
    QFETCH(QString, button);
    QFETCH(QString, named);
    QFETCH(QKeySequence, keys);

    ShownWindow w;
    auto* pushButton = w.driver.widget<QPushButton>(button);
    QVERIFY2(pushButton->toolTip().endsWith("（" + named + "）"), qPrintable(pushButton->toolTip()));
    QStringList bound;
    if (!pushButton->shortcut().isEmpty())
        bound << pushButton->shortcut().toString();
    // Only whether a click arrives counts here, not what the controller does with it.
    QObject::disconnect(pushButton, nullptr, &w.driver.app, nullptr);
    pushButton->setEnabled(true);
    QSignalSpy clicked(pushButton, &QPushButton::clicked);
    for (QAction* action : w.driver.app.window()->findChildren<QAction*>()) {
        clicked.clear();
        action->trigger();
        if (clicked.count() == 1)
            bound << action->shortcut().toString();
    }
    QCOMPARE(bound, QStringList { keys.toString() });
}

void DesktopTest::tabOrder()
{
    ShownWindow w;
    QVERIFY(QTest::qWaitForWindowActive(w.driver.app.window()));
    // Every control usable but the copy to another pen (one pen): a self-made package selected.
    w.driver.select("自制-001");
    w.driver.widget("listKavo")->setFocus();
    QStringList order { QApplication::focusWidget()->objectName() };
    for (int i = 0; i < 13; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        order << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(order,
        QStringList({ "listKavo", "snKavo", "btnRefresh", "btnEject", "listBook", "dtBookName", "dtBookOid",
            "dtOffsetOid", "btnInstall", "btnBackup", "btnRestore", "btnRemove", "btnApply", "listKavo" }));
}

// Run at several scales (QT_SCALE_FACTOR): every control gets the room its text asks for, no two
// overlap, and the table's columns are as wide as their captions and cells.
void DesktopTest::layoutFitsItsTexts()
{
    ShownWindow w;
    QMainWindow* window = w.driver.app.window();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    w.driver.select("自制-001");
    w.driver.widget<QLabel>("dtInfo")->setText(
        QStringLiteral("点读笔弹出失败，请关闭正在使用点读笔的程序后重试！"));
    QCoreApplication::processEvents();

    QList<QWidget*> controls;
    for (QWidget* child : window->findChildren<QWidget*>()) {
        const bool control = qobject_cast<QAbstractButton*>(child) || qobject_cast<QLabel*>(child)
            || qobject_cast<QLineEdit*>(child) || qobject_cast<QComboBox*>(child)
            || qobject_cast<QTableView*>(child);
        if (!control || !child->isVisibleTo(window) || child->parentWidget() != window->centralWidget())
            continue;
        controls << child;
        const QSize least = child->minimumSizeHint();
        QVERIFY2(child->width() >= least.width() && child->height() >= least.height(),
            qPrintable(child->objectName()));
        if (auto* button = qobject_cast<QAbstractButton*>(child))
            QVERIFY2(button->width() >= button->sizeHint().width(), qPrintable(button->objectName()));
        if (auto* label = qobject_cast<QLabel*>(child); label && !label->wordWrap())
            QVERIFY2(label->fontMetrics().horizontalAdvance(label->text()) <= label->contentsRect().width(),
                qPrintable(label->objectName()));
    }
    QVERIFY(controls.size() >= 15);
    for (qsizetype i = 0; i < controls.size(); ++i)
        for (qsizetype j = i + 1; j < controls.size(); ++j)
            QVERIFY2(!controls[i]->geometry().intersects(controls[j]->geometry()),
                qPrintable(controls[i]->objectName() + " overlaps " + controls[j]->objectName()));

    QTableView* table = w.driver.listBook();
    const QHeaderView* header = table->horizontalHeader();
    for (int column = 0; column < 2; ++column) {
        const QString caption = table->model()->headerData(column, Qt::Horizontal).toString();
        QVERIFY(header->sectionSize(column) >= header->fontMetrics().horizontalAdvance(caption));
        for (int row = 0; row < table->model()->rowCount(); ++row) {
            const QModelIndex cell = table->model()->index(row, column);
            QVERIFY2(table->columnWidth(column) >= table->sizeHintForIndex(cell).width(),
                qPrintable(cell.data().toString()));
        }
    }

    // The scale asked for is the one painted with.
    const qreal scale = qEnvironmentVariable("QT_SCALE_FACTOR", QStringLiteral("1")).toDouble();
    QCOMPARE(window->grab().devicePixelRatio(), scale);
}

void DesktopTest::accessibleNames_data()
{
    QTest::addColumn<QString>("widget");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("role");
    QTest::addColumn<QString>("caption"); // the label beside it, if any

    // A combo box is named by what it shows and labelled by its caption (a relation).
    QTest::addRow("selector") << "listKavo"
                              << "<current pen>" << int(QAccessible::ComboBox) << "ttKavo";
    QTest::addRow("serial") << "snKavo"
                            << "序列号" << int(QAccessible::EditableText) << "ttSnKavo";
    QTest::addRow("refresh") << "btnRefresh"
                             << "刷新" << int(QAccessible::Button) << "";
    QTest::addRow("eject") << "btnEject"
                           << "弹出" << int(QAccessible::Button) << "";
    QTest::addRow("table") << "listBook"
                           << "点读包列表" << int(QAccessible::Table) << "";
    QTest::addRow("book name") << "dtBookName"
                               << "书名" << int(QAccessible::EditableText) << "ttBookName";
    QTest::addRow("book sticker") << "dtBookOid"
                                  << "书名贴号" << int(QAccessible::EditableText) << "ttBookOid";
    QTest::addRow("start sticker") << "dtOffsetOid"
                                   << "起始贴号" << int(QAccessible::EditableText) << "ttOffsetOid";
    QTest::addRow("install") << "btnInstall"
                             << "安装" << int(QAccessible::Button) << "";
    QTest::addRow("remove") << "btnRemove"
                            << "删除" << int(QAccessible::Button) << "";
    QTest::addRow("apply") << "btnApply"
                           << "应用贴号" << int(QAccessible::Button) << "";
    // The two lines are named by what they say; the description tells which line it is.
    QTest::addRow("message line") << "dtInfo"
                                  << "<message>" << int(QAccessible::StaticText) << "";
    QTest::addRow("free space") << "dtSpace"
                                << "<free space>" << int(QAccessible::StaticText) << "";
}

void DesktopTest::accessibleNames()
{
    QFETCH(QString, widget);
    QFETCH(QString, name);
    QFETCH(int, role);
    QFETCH(QString, caption);

    ShownWindow w;
    auto* info = w.driver.widget<QLabel>("dtInfo");
    info->setText(QStringLiteral("贴号已存在"));
    QWidget* control = w.driver.widget(widget);
    if (name == "<message>")
        name = info->text();
    if (name == "<free space>")
        name = w.driver.widget<QLabel>("dtSpace")->text();
    if (name == "<current pen>")
        name = w.driver.widget<QComboBox>("listKavo")->currentText();
    QVERIFY(!name.isEmpty());
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(control);
    QVERIFY(iface);
    QCOMPARE(iface->text(QAccessible::Name), name);
    QCOMPARE(int(iface->role()), role);
    QVERIFY2(!iface->text(QAccessible::Description).isEmpty(), "no description");
    // Where a caption stands beside the control, it labels the control.
    const auto labels = iface->relations(QAccessible::Label);
    if (!caption.isEmpty()) {
        QCOMPARE(labels.size(), 1);
        QCOMPARE(labels.first().first->object(), w.driver.widget(caption));
    }
}

// A screen reader announces a column by its header cell: the caption and what it holds.
void DesktopTest::tableColumnsAreNamed()
{
    ShownWindow w;
    QAccessibleInterface* table = QAccessible::queryAccessibleInterface(w.driver.listBook());
    QVERIFY(table && table->tableInterface());
    QCOMPARE(table->tableInterface()->columnCount(), 2);
    // The header cells among the table's children (asking a cell for its header cells makes
    // new interfaces that Qt 6.4 never frees).
    QStringList names;
    QStringList descriptions;
    for (int i = 0; i < table->childCount(); ++i) {
        QAccessibleInterface* child = table->child(i);
        if (child && child->role() == QAccessible::ColumnHeader) {
            names << child->text(QAccessible::Name);
            descriptions << child->text(QAccessible::Description);
        }
    }
    QCOMPARE(names, QStringList({ "书名", "贴号" }));
    QCOMPARE(descriptions, QStringList({ "点读包的书名", "点读包的类别和书名贴号" }));
}

void DesktopTest::installDialogNames_data()
{
    QTest::addColumn<QString>("package");
    QTest::addColumn<QStringList>("names"); // book name, book sticker, start sticker, progress

    QTest::addRow("read-along") << "book.dab" << QStringList { "书名", "书名贴号", "起始贴号", "安装进度" };
    QTest::addRow("story") << "tale.dsb" << QStringList { "书名", "故事贴号", "起始贴号", "安装进度" };
}

void DesktopTest::installDialogNames()
{
    QFETCH(QString, package);
    QFETCH(QStringList, names);

    QTemporaryDir dir;
    const QString source = PackageBuilder().title("Gamma").writeTo(dir.path() + "/" + package);
    InstWindow window;
    window.setPathKavo(dir.path() + "/USER/CUSTOM/");
    window.setPenDoor(folderDoor(dir.path() + "/USER/CUSTOM/"));
    window.setPathBook(source);
    window.setNameBook(ReadBookName(source));
    window.windowDidLoad();
    QStringList shown;
    for (const char* widget : { "dtBookName", "dtBookOid", "dtOffsetOid", "prInstall" }) {
        QWidget* control = window.findChild<QWidget*>(widget);
        QVERIFY(control);
        QVERIFY2(!accessibleText(control, QAccessible::Description).isEmpty(), widget);
        shown << accessibleText(control, QAccessible::Name);
    }
    QCOMPARE(shown, names);
    for (const char* widget : { "btnInstall", "btnCancel" })
        QVERIFY2(window.findChild<QPushButton*>(widget)->toolTip().contains(
                     widget == QByteArrayView("btnCancel") ? "（Esc）" : "（Enter）"),
            widget);
}

QTEST_MAIN(DesktopTest)
#include "desktop_test.moc"
