#pragma once

#include <QString>
#include <QStringView>

// The kinds of package the pen plays, told apart by their installed extension, and the shared
// package, told apart by its title.

// Installed extensions on the pen.
inline const QString ExtSelfMade = QStringLiteral(".dar");
inline const QString ExtSmart = QStringLiteral(".das");
inline const QString ExtStory = QStringLiteral(".dsr");
inline const QString ExtStudyAid = QStringLiteral(".dcs");

struct PackageKind {
    QString extension; // installed extension with its dot, in lower case
    QString flag; // the book table row's flag
    QString type; // the row's type; a title tagged UNB makes it TypeUnb
    QString label; // list label in front of the book sticker number
    bool startSticker = false; // the pen reads the first page's sticker number from the header
};

// The row flag of a shared package, whatever its extension.
inline const QString FlagShared = QStringLiteral("E");
// The row type of a package whose title is tagged UNB: its start sticker is masked.
inline const QString TypeUnb = QStringLiteral("unb");

// The kind of the three letters of an installed extension (no dot), in any letter case as FAT
// matches names; null for any other text.
const PackageKind* packageKindOfLetters(QStringView letters);
// The same for an extension with its dot (".dar", ".DAR").
const PackageKind* packageKindOfExtension(QStringView extension);
// The kind of a row flag; null for the shared flag and any other text.
const PackageKind* packageKindOfFlag(QStringView flag);

// Whether an install writes the start sticker into a package it gives this extension (as
// GetBookType gives it: lower case).
bool keepsStartSticker(const QString& extension);

enum class StartStickerField { None, Plain, Masked };
// The start sticker field of a listed package, by its row's flag and type: only self-made
// packages keep one, and those whose title is tagged UNB keep it masked.
StartStickerField startStickerFieldOf(const QString& flag, const QString& type);

// A shared package's title is "ATT" and the book sticker number of the package whose content it
// shares, under the same extension.
bool isSharedTitle(QStringView title);
// The book sticker number a shared title names: the text after the tag.
QString sharedTargetOid(const QString& title);
