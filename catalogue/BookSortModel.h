#pragma once

#include <QCollator>
#include <QSortFilterProxyModel>

// The order the book table shows: the scan's order until the user sorts by a column. Titles
// sort as Chinese readers expect (pinyin, numbers by value); the sticker column sorts by list
// label, then by book sticker number as a number.
class BookSortModel : public QSortFilterProxyModel {
    Q_OBJECT
public:
    explicit BookSortModel(QObject* parent = nullptr);

    // Row of the book list shown at a row of this model; -1 when there is none.
    int bookRow(int viewRow) const;

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

protected:
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;

private:
    QCollator m_collator;
};
