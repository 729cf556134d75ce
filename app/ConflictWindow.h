#pragma once

#include "PenTransfer.h"

#include <QDialog>

#include <memory>

namespace Ui {
class ConflictWindow;
}
class QComboBox;

// Asks, for each package whose own name is taken on the target pen, whether it is skipped or
// goes under the next free number proposed for it. Packages that cannot move can only be
// skipped.
class ConflictWindow : public QDialog {
    Q_OBJECT
public:
    // `plan` must outlive the window; choices are written into it when the user continues.
    ConflictWindow(QList<PlannedItem>& plan, QWidget* parent = nullptr);
    ~ConflictWindow() override;

    // The choice box of each taken package, in the plan's order: item 0 skips, item 1 (when
    // there is one) moves it to the proposed name.
    QList<QComboBox*> choices() const { return m_choices; }

    // Test seam: answers the window instead of a person (accept() or reject()).
    static inline std::function<void(ConflictWindow&)> shownHook;
    int ask();

private:
    void setAll(int choice);

    std::unique_ptr<Ui::ConflictWindow> m_ui;
    QList<PlannedItem>& m_plan;
    QList<QComboBox*> m_choices;
    QList<qsizetype> m_rows; // plan index of each choice box
};
