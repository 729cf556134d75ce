#include "BookEditor.h"

#include "BookSortModel.h"
#include "PackageKind.h"
#include "PenSession.h"
#include "Texts.h"

#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTableView>

#include <algorithm>

BookEditor::BookEditor(BookEditorContext context, BookEditorWidgets widgets, PenSession* session,
    const BookList& rows, const BookSortModel* order, QWidget* window)
    : QObject(window)
    , m_context(std::move(context))
    , m_ui(widgets)
    , m_session(session)
    , m_rows(rows)
    , m_order(order)
    , m_window(window)
{
}

int BookEditor::selectedRow() const
{
    const QModelIndexList rows = m_ui.table->selectionModel()->selectedRows();
    // The edit area, the removal and the sticker change work on one package: with several
    // rows selected there is none to work on.
    if (rows.size() != 1)
        return -1;
    // The table shows the rows in the user's order; the list keeps the scan's.
    const int row = m_order->bookRow(rows.first().row());
    return row < m_rows.size() ? row : -1;
}

BookList BookEditor::selectedBooks() const
{
    QModelIndexList rows = m_ui.table->selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end(),
        [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    BookList books;
    for (const QModelIndex& index : rows) {
        const int row = m_order->bookRow(index.row());
        if (row >= 0 && row < m_rows.size())
            books.append(m_rows.at(row));
    }
    return books;
}

bool BookEditor::listingPending() const { return m_session->isListing(); }

bool BookEditor::writing() const
{
    const PenRecord* pen = m_context.selectedPen();
    return pen && m_session->isWriting(pen->bsdName);
}

void BookEditor::disable()
{
    m_headerFile.clear();
    for (QWidget* control :
        std::initializer_list<QWidget*> { m_ui.remove, m_ui.apply, m_ui.name, m_ui.bookOid, m_ui.offsetOid })
        control->setEnabled(false);
}

void BookEditor::clear()
{
    disable();
    m_ui.name->setText(QString());
    m_ui.bookOid->setText(QString());
    m_ui.offsetOid->setText(QString());
}

void BookEditor::selectionChanged()
{
    disable();
    const int index = selectedRow();
    if (index < 0)
        return;
    const PenRecord* pen = m_context.selectedPen();
    if (pen && m_session->isEjecting() && pen->bsdName == m_session->ejecting())
        return;
    // Rows about to be listed again, or a package being removed or renumbered: wait for it.
    if (!pen || listingPending() || writing())
        return;
    const ListData& row = m_rows.at(index);
    m_ui.remove->setEnabled(true);
    m_ui.apply->setEnabled(true);
    m_ui.name->setEnabled(true);
    m_ui.bookOid->setEnabled(true);
    m_ui.name->setText(row.name);
    m_ui.bookOid->setText(row.bookOid());
    m_ui.offsetOid->setText(QStringLiteral("0000"));

    const StartStickerField field = startStickerFieldOf(row.flag, row.type);
    if (field == StartStickerField::None)
        return;
    const bool masked = field == StartStickerField::Masked;
    // The start sticker is read from the package in the background; until it is in, the
    // change is not offered (it would write what the field shows now).
    m_ui.apply->setEnabled(false);
    const QString file = row.file;
    m_headerFile = file;
    m_session->readStartSticker(pen->bsdName, file, masked, [this, file](int value) {
        const int index = selectedRow();
        if (file != m_headerFile || index < 0 || m_rows.at(index).file != file || listingPending()
            || writing())
            return;
        m_headerFile.clear();
        m_ui.apply->setEnabled(true);
        m_ui.offsetOid->setEnabled(true);
        m_ui.offsetOid->setText(QString::asprintf("%04d", value));
    });
}

void BookEditor::remove(const std::function<QAbstractButton*(QMessageBox&)>& answer)
{
    const int index = selectedRow();
    if (index < 0)
        return;
    const ListData row = m_rows.at(index);
    const PenRecord* shown = m_context.selectedPen();
    if (!shown)
        return;
    // The pen the user is asked about: while the question is open it may be swapped for another
    // pen of the same model, which the desktop mounts at the same place.
    const QString bsdName = shown->bsdName;
    const PenIdentity identity = m_session->identityOf(bsdName);

    QMessageBox alert(QMessageBox::Warning, m_window->windowTitle(),
        row.name + QStringLiteral("\r\n") + AppText::RemoveQuestion, QMessageBox::NoButton, m_window);
    alert.setWindowModality(Qt::ApplicationModal);
    QPushButton* remove = alert.addButton(AppText::Remove, QMessageBox::AcceptRole);
    QPushButton* cancel = alert.addButton(AppText::Cancel, QMessageBox::RejectRole);
    alert.setDefaultButton(remove);
    alert.setEscapeButton(cancel);
    alert.setInformativeText(AppText::RemoveWarning);

    QAbstractButton* clicked = nullptr;
    if (answer) {
        clicked = answer(alert);
    } else {
        alert.exec();
        clicked = alert.clickedButton();
    }
    if (clicked != remove)
        return;
    m_session->removePackage(
        bsdName, identity, row.file, m_context.packageDirectory(),
        [this, bsdName](RemovalResult removed) {
            writeDone(bsdName, true,
                removed == RemovalResult::Removed ? std::nullopt : std::optional(textOf(removed)));
        },
        [this, bsdName](JobRefusal why) { writeRefused(bsdName, why); });
    disable();
}

void BookEditor::apply()
{
    const int index = selectedRow();
    if (index < 0)
        return;
    const PenRecord* pen = m_context.selectedPen();
    if (!pen)
        return;
    const ListData& row = m_rows.at(index);
    const StickerChangeRequest request { row.file, row.flag, row.type, row.bookOid(), m_ui.bookOid->text(),
        m_ui.offsetOid->text(), m_context.packageDirectory() };
    const QString bsdName = pen->bsdName;
    // What the last action did: a change that went through clears an earlier refusal.
    m_session->changeStickers(
        bsdName, m_session->identityOf(bsdName), request,
        [this, bsdName](
            const StickerChangeResult& result) { writeDone(bsdName, result.rescan, textOf(result)); },
        [this, bsdName](JobRefusal why) { writeRefused(bsdName, why); });
    // The fields keep what was typed, for a correction after a refusal.
    m_ui.apply->setEnabled(false);
    m_ui.remove->setEnabled(false);
}

// The session did not run the write: the pen is being ejected, or another pen is where it was.
// Nothing was written; the pen's rows are listed again when it was one that went.
void BookEditor::writeRefused(const QString& bsdName, JobRefusal why)
{
    writeDone(bsdName, why == JobRefusal::OtherPen || why == JobRefusal::PenGone, textOf(why));
}

// A removal or sticker change has ended: the pen is listed again if it is still the one shown,
// and what the change has to say is said after the new rows are in.
void BookEditor::writeDone(const QString& bsdName, bool rescan, const std::optional<QString>& message)
{
    const PenRecord* pen = m_context.selectedPen();
    if (rescan && pen && pen->bsdName == bsdName) {
        m_context.relist();
    } else if (m_ui.bookOid->isEnabled() && selectedRow() >= 0) {
        // The row is still selected as it was: it can be changed or removed again.
        m_ui.remove->setEnabled(true);
        m_ui.apply->setEnabled(m_headerFile.isEmpty());
    } else {
        selectionChanged();
    }
    if (message)
        m_context.showInfo(*message);
}
