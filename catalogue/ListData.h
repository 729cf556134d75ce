#pragma once

#include <QList>
#include <QString>

// One row of the book table.
struct ListData {
    QString name; // display name
    QString stat; // list label and book sticker number, e.g. 自制-012
    QString flag; // "D", "S", "O", "C"; "E" for a shared package
    QString file; // full path of the package on the pen
    QString type; // "dab", "dsb", "dcb"; "unb" for a title tagged UNB

    // The book sticker number: stat without its three-character list label.
    QString bookOid() const { return stat.mid(3); }
};

using BookList = QList<ListData>;
