#pragma once

#include "ListData.h"
#include "PenRecord.h"

#include <QObject>
#include <QString>

#include <functional>
#include <optional>

class BookSortModel;
class PenSession;
class QAbstractButton;
class QLineEdit;
class QMessageBox;
class QPushButton;
class QTableView;
class QWidget;

// What the edit area needs to know of the main window.
struct BookEditorContext {
    std::function<const PenRecord*()> selectedPen;
    std::function<QString()> packageDirectory; // of the selected pen
    std::function<void()> relist; // lists the selected pen again
    std::function<void(const QString& message)> showInfo;
};

// The widgets of the edit area and the table whose selection it follows.
struct BookEditorWidgets {
    QTableView* table = nullptr;
    QPushButton* remove = nullptr;
    QPushButton* apply = nullptr;
    QLineEdit* name = nullptr;
    QLineEdit* bookOid = nullptr;
    QLineEdit* offsetOid = nullptr;
};

// The edit area of the main window: the selected package's fields, and its removal and sticker
// change, which run as jobs of its pen, bound to the pen the user saw when acting. Usable only
// while exactly one row is selected.
class BookEditor : public QObject {
    Q_OBJECT
public:
    BookEditor(BookEditorContext context, BookEditorWidgets widgets, PenSession* session,
        const BookList& rows, const BookSortModel* order, QWidget* window);

    // The row of `rows` selected alone in the table; -1 for none or several.
    int selectedRow() const;
    // The rows selected in the table, in the table's order.
    BookList selectedBooks() const;
    // True while a removal or a sticker change of the selected pen is under way.
    bool writing() const;

    // Nothing to edit: the controls disabled; `clear` empties the fields too.
    void disable();
    void clear();
    // The selection changed: the fields of the row selected alone, its start sticker read in
    // the background where the package keeps one.
    void selectionChanged();
    // Asks, then removes the selected package; `answer` stands in for the person in tests.
    void remove(const std::function<QAbstractButton*(QMessageBox&)>& answer);
    // Gives the selected package the numbers typed.
    void apply();

private:
    void writeDone(const QString& bsdName, bool rescan, const std::optional<QString>& message);
    void writeRefused(const QString& bsdName, JobRefusal why);
    bool listingPending() const;

    BookEditorContext m_context;
    BookEditorWidgets m_ui;
    PenSession* m_session;
    const BookList& m_rows;
    const BookSortModel* m_order;
    QWidget* m_window;
    QString m_headerFile; // the package whose start sticker is being read
};
