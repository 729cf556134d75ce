#include "BookSortModel.h"

#include "BookTableModel.h"

namespace {

// List label and book sticker number of a stat text such as 自制-012.
struct StatKey {
    QString label;
    QString number;
};
StatKey statKey(const QString& stat) { return { stat.left(3), stat.mid(3) }; }

// Numbers before names that are not numbers (a package named abc.dsr), then by value, then
// by text, so that 12 and 012 never compare equal and the order is total.
int compareNumbers(const QString& a, const QString& b)
{
    bool aNumber = false, bNumber = false;
    const qlonglong aValue = a.toLongLong(&aNumber);
    const qlonglong bValue = b.toLongLong(&bNumber);
    if (aNumber != bNumber)
        return aNumber ? -1 : 1;
    if (aNumber && aValue != bValue)
        return aValue < bValue ? -1 : 1;
    return a.compare(b);
}

}

BookSortModel::BookSortModel(QObject* parent)
    : QSortFilterProxyModel(parent)
    , m_collator(QLocale(QLocale::Chinese, QLocale::China))
{
    m_collator.setNumericMode(true);
    // Each scan resets the source; the chosen order is applied to the new rows.
    setDynamicSortFilter(true);
}

int BookSortModel::bookRow(int viewRow) const
{
    if (viewRow < 0 || viewRow >= rowCount())
        return -1;
    return mapToSource(index(viewRow, 0)).row();
}

QVariant BookSortModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    // The first click on any column sorts it ascending; the second reverses it.
    if (orientation == Qt::Horizontal && role == Qt::InitialSortOrderRole)
        return int(Qt::AscendingOrder);
    return QSortFilterProxyModel::headerData(section, orientation, role);
}

bool BookSortModel::lessThan(const QModelIndex& left, const QModelIndex& right) const
{
    const QString a = left.data(Qt::DisplayRole).toString();
    const QString b = right.data(Qt::DisplayRole).toString();
    int order = 0;
    if (left.column() == BookTableModel::StatColumn) {
        const StatKey ka = statKey(a), kb = statKey(b);
        order = m_collator.compare(ka.label, kb.label);
        if (order == 0)
            order = compareNumbers(ka.number, kb.number);
    } else {
        order = m_collator.compare(a, b);
        if (order == 0)
            order = a.compare(b);
        // Books of the same title in sticker order, whatever order was shown before.
        if (order == 0) {
            const QModelIndex leftStat = left.siblingAtColumn(BookTableModel::StatColumn);
            const QModelIndex rightStat = right.siblingAtColumn(BookTableModel::StatColumn);
            return lessThan(leftStat, rightStat);
        }
    }
    return order < 0;
}
