#pragma once

#include "ListData.h"

#include <QAbstractTableModel>

// The book table's model. It keeps no data: every answer is read from the controller's list,
// and the scan resets it.
class BookTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { NameColumn, StatColumn, ColumnCount };
    // Header role that gives a column's identifier, "name" or "stat".
    static constexpr int IdentifierRole = Qt::UserRole;

    explicit BookTableModel(const BookList& rows, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // Wraps a wholesale change of the list.
    void beginReload() { beginResetModel(); }
    void endReload() { endResetModel(); }

private:
    const BookList& m_rows;
};
