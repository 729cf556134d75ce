#include "BookTableModel.h"

BookTableModel::BookTableModel(const BookList& rows, QObject* parent)
    : QAbstractTableModel(parent)
    , m_rows(rows)
{
}

int BookTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int BookTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant BookTableModel::data(const QModelIndex& index, int role) const
{
    // The list may have been emptied by a scan that stopped before the reload.
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= m_rows.size())
        return {};
    const ListData& row = m_rows.at(index.row());
    switch (index.column()) {
    case NameColumn:
        return row.name;
    case StatColumn:
        return row.stat;
    default:
        return {};
    }
}

QVariant BookTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= ColumnCount)
        return QAbstractTableModel::headerData(section, orientation, role);
    if (role == IdentifierRole)
        return section == NameColumn ? QStringLiteral("name") : QStringLiteral("stat");
    if (role == Qt::DisplayRole)
        return section == NameColumn ? QStringLiteral("书名") : QStringLiteral("贴号");
    // What a screen reader says about the column beside its caption.
    if (role == Qt::AccessibleDescriptionRole)
        return section == NameColumn ? QStringLiteral("点读包的书名")
                                     : QStringLiteral("点读包的类别和书名贴号");
    return {};
}
