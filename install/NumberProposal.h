#pragma once

#include <QString>

#include <bitset>

// Book sticker numbers offered by the dialog: 001..998 (000 and 999 are never proposed).
constexpr int FirstProposedOid = 1;
constexpr int LastProposedOid = 998;

// The book sticker numbers whose name (number + extension) is taken in the package directory,
// read from one listing of it. Letter case is ignored as FAT ignores it ("004.DAR" takes 004);
// any entry takes its name, a directory or a dangling symbolic link too. None when the
// directory cannot be read.
std::bitset<1000> takenBookOids(const QString& pathKavo, const QString& extBook);

// The first book sticker number whose name is free in the package directory, as three digits;
// 998 when every name is taken.
QString proposeBookOid(const QString& pathKavo, const QString& extBook);

// Whether anything, of any kind, has this name in the package directory (links not followed).
bool isPackageNameTaken(const QString& pathKavo, const QString& name);

// Installed file name of a book sticker text and extension, e.g. "007" + ".dar".
QString packageFileName(const QString& bookOid, const QString& extBook);
