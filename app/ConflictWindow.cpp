#include "ConflictWindow.h"

#include "Texts.h"

#include "ui_ConflictWindow.h"

#include <QComboBox>
#include <QTimer>

ConflictWindow::ConflictWindow(QList<PlannedItem>& plan, QWidget* parent)
    : QDialog(parent)
    , m_ui(std::make_unique<Ui::ConflictWindow>())
    , m_plan(plan)
{
    m_ui->setupUi(this);
    setWindowModality(Qt::ApplicationModal);
    QTableWidget* table = m_ui->listConflict;
    table->verticalHeader()->hide();
    table->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);
    for (qsizetype i = 0; i < plan.size(); ++i) {
        const PlannedItem& entry = plan[i];
        if (!entry.ownNameTaken)
            continue;
        const int row = table->rowCount();
        table->insertRow(row);
        table->setItem(row, 0, new QTableWidgetItem(entry.item.name));
        table->setItem(row, 1, new QTableWidgetItem(entry.item.title));
        auto* choice = new QComboBox(table);
        choice->addItem(AppText::Skip);
        if (!entry.nextFreeName.isEmpty())
            choice->addItem(moveChoice(entry.nextFreeName));
        else
            choice->setToolTip(AppText::CannotMove);
        choice->setAccessibleName(choiceName(entry.item.name));
        table->setCellWidget(row, 2, choice);
        m_choices.append(choice);
        m_rows.append(i);
    }
    table->resizeColumnToContents(0);
    table->resizeColumnToContents(2);
    connect(m_ui->btnSkipAll, &QPushButton::clicked, this, [this] { setAll(0); });
    connect(m_ui->btnMoveAll, &QPushButton::clicked, this, [this] { setAll(1); });
    connect(m_ui->btnContinue, &QPushButton::clicked, this, [this] {
        for (qsizetype i = 0; i < m_choices.size(); ++i)
            m_plan[m_rows[i]].choice = m_choices[i]->currentIndex() == 1 ? PlannedItem::Choice::NextFree
                                                                         : PlannedItem::Choice::Skip;
        accept();
    });
    connect(m_ui->btnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

ConflictWindow::~ConflictWindow() = default;

void ConflictWindow::setAll(int choice)
{
    for (QComboBox* box : m_choices)
        box->setCurrentIndex(std::min(choice, box->count() - 1));
}

int ConflictWindow::ask()
{
    if (shownHook)
        QTimer::singleShot(0, this, [this] { shownHook(*this); });
    return exec();
}
