#pragma once

#include "PackageKind.h"

#include <QString>
#include <QtGlobal>

#include <functional>

// Byte layout of a book package as the pen reads it. Offsets are from the start of the
// file; integers are little-endian. Nothing outside this folder touches a header byte.
namespace BookHeader {
// Title shown in the catalogue; ends at the first 0x00 or 0xFF.
constexpr qint64 TitleOffset = 0;
constexpr qint64 TitleLength = 100;
// "deb" / "unb" / "ATT": the first three bytes of the title.
constexpr qint64 TypeTagLength = 3;
// "unb" packages: both bytes zero means the pen treats it as self-made (.dar).
constexpr qint64 SmartMarkerOffset = 95;
constexpr qint64 SmartMarkerLength = 2;
// Start sticker of "unb" packages, each byte XOR the key byte at the same position.
constexpr qint64 MaskedStartOffset = 141;
constexpr qint64 StartKeyOffset = 161;
constexpr qint64 MaskedStartLength = 2;
// Book code the pen matches against the book's name sticker.
constexpr qint64 BookCodeOffset = 336;
constexpr qint64 BookCodeLength = 4;
// Random key of the masked book code copy.
constexpr qint64 CodeKeyOffset = 343;
// Second, masked copy of the book code.
constexpr qint64 MaskedBookCodeOffset = 373;
constexpr quint8 CodeMask = 0x3B;
// Start sticker of untagged .dar packages: first page sticker number.
constexpr qint64 StartStickerOffset = 379;
constexpr qint64 StartStickerLength = 4;

constexpr quint32 BaseUntagged = 56000;
constexpr quint32 BaseDebLow = 65230; // book sticker 000..302
constexpr quint32 BaseDebHigh = 64230; // book sticker 303..999
constexpr int DebStep = 303;
}

struct BookType {
    QString extension; // ".dar", ".das" or ".dsr"
    int nTypeBook = 0; // 0 untagged, 1 "deb", 2 "unb"
    int tagLength = 0; // characters to cut off the front of the displayed name
};

// Every operation comes twice: on a path, which opens the file safely (PenFile: no link, no
// FIFO, never created) and closes it again, and on an open descriptor, which reads and writes
// with positioned I/O and leaves flushing to the caller. Writes never change a file's length:
// a file too short for a field is refused and left as it was.

// Decides the installed extension and book type of a source package from its path and header.
// A missing, short or non-regular file counts as untagged. The source lives on the computer,
// where a link is the user's own choice, so the path version follows links.
BookType GetBookType(const QString& sourcePath);
BookType GetBookType(int fd, const QString& sourcePath);

// Book code for a book sticker number (0..999) and book type; 0 for type 2, which gets none.
quint32 bookCodeFor(int bookOid, int nTypeBook);

// Random source of the code key byte: returns a uniform value below the bound.
using RandomBelow = std::function<quint32(quint32 bound)>;
RandomBelow systemRandom();

// Writes the book code field, the code key byte and the masked copy into an installed
// package (nothing for type 2). False when the file cannot be opened or written or is too
// short; the path version flushes the file to the device.
bool setSmartBookInfo(
    const QString& path, int bookOid, int nTypeBook, const RandomBelow& random = systemRandom());
bool setSmartBookInfo(int fd, int bookOid, int nTypeBook, const RandomBelow& random = systemRandom());

// Plain start sticker field. The reader returns 0 when the 4 bytes cannot all be read.
qint32 ReadOffsetOid(const QString& path);
qint32 ReadOffsetOid(int fd);
bool WriteOffsetOid(const QString& path, qint32 value);
bool WriteOffsetOid(int fd, qint32 value);

// Masked start sticker field of "unb" packages, 0..65535. The reader returns 0 when the
// field or its key cannot be read.
int ReadOffsetOidUnb(const QString& path);
int ReadOffsetOidUnb(int fd);
bool WriteOffsetOidUnb(const QString& path, qint32 value);
bool WriteOffsetOidUnb(int fd, qint32 value);

// The smallest file that holds the start sticker field (masked: with its key), so that a caller
// can refuse a change before it moves anything.
qint64 startStickerEnd(bool masked);
// The smallest package the install can write its header fields into.
qint64 installedHeaderEnd(const QString& extBook, int nTypeBook);
