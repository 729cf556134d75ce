#pragma once

#include "BookHeader.h"

#include <QByteArray>
#include <QString>

// The header fields an install writes into its copy of a package, so that a copy read back
// from the pen can be checked against its source.
struct HeaderWrites {
    int bookOid = 0; // book sticker number, 0..999
    int nTypeBook = 0;
    bool startSticker = false; // .dar copies get the start sticker number
    qint32 offsetOid = 0;
    bool unchanged = false; // nothing written: the copy holds the source's bytes
};

// The leading bytes of a package that an install may change; everything after them is copied
// unchanged.
constexpr qint64 InstalledHeaderSpan = BookHeader::StartStickerOffset + BookHeader::StartStickerLength;

// Size of the installed copy of a source of `sourceSize` bytes: a field written past the end
// of a short package extends it, with zero bytes in between.
qint64 installedSize(qint64 sourceSize, const HeaderWrites& writes);

// Checks the first bytes of an installed copy (`copy`: up to InstalledHeaderSpan, fewer for a
// short copy) against the same bytes of its source: equal apart from the fields the install
// writes, which must hold what it writes. The code key byte is random; any value the writer
// can choose is accepted, and the masked book code must match it. Returns an empty string
// when the copy is right, else what differs.
QString checkInstalledHeader(const QByteArray& source, const QByteArray& copy, const HeaderWrites& writes);
