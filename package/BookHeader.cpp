#include "BookHeader.h"

#include "FileSync.h"
#include "PenFile.h"

#include <QStringDecoder>

#include <algorithm>
#include <cstdlib>

namespace {

// A header write may only overwrite bytes the file already has.
bool holds(int fd, qint64 end)
{
    struct stat info;
    return fd >= 0 && ::fstat(fd, &info) == 0 && info.st_size >= end;
}

// Exactly `length` bytes at `offset`; empty when the file is too short or unreadable.
QByteArray readExact(int fd, qint64 offset, qint64 length)
{
    if (fd < 0)
        return {};
    QByteArray bytes = readAt(fd, offset, length);
    return bytes.size() == length ? bytes : QByteArray();
}

QByteArray littleEndian32(quint32 value)
{
    QByteArray bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = char((value >> (8 * i)) & 0xFF);
    return bytes;
}

// Opens an installed package for a header write, runs it and flushes the file once.
template <typename Write> bool writeAndFlush(const QString& path, Write write)
{
    PenFile file = PenFile::open(path, PenAccess::ReadWrite);
    return file.isOpen() && write(file.fd()) && syncFile(file.fd()) && file.close();
}

} // namespace

BookType GetBookType(const QString& sourcePath)
{
    const PenFile file = PenFile::open(sourcePath, PenAccess::Read, PenLinks::Follow);
    return GetBookType(file.isOpen() ? file.fd() : -1, sourcePath);
}

BookType GetBookType(int fd, const QString& sourcePath)
{
    const bool story = sourcePath.right(3) == QLatin1String("dsb");

    const QByteArray head = fd >= 0 ? readAt(fd, 0, BookHeader::TypeTagLength) : QByteArray();
    QString tag;
    {
        QStringDecoder utf8(QStringDecoder::Utf8);
        tag = utf8(head);
        if (utf8.hasError())
            tag.clear();
        tag = tag.toLower();
    }

    if (story)
        return tag == QLatin1String("deb") ? BookType { ExtStory, 1, 4 } : BookType { ExtStory, 0, 0 };
    if (tag == QLatin1String("deb"))
        return { ExtSmart, 1, 4 };
    if (tag == QLatin1String("unb")) {
        // Bytes beyond the end of a short file count as zero.
        const QByteArray marker = readAt(fd, BookHeader::SmartMarkerOffset, BookHeader::SmartMarkerLength);
        const bool zero = std::all_of(marker.cbegin(), marker.cend(), [](char c) { return c == 0; });
        return { zero ? ExtSelfMade : ExtSmart, 2, 3 };
    }
    return { ExtSelfMade, 0, 0 };
}

quint32 bookCodeFor(int bookOid, int nTypeBook)
{
    if (nTypeBook == 2)
        return 0;
    if (nTypeBook == 0)
        return quint32(bookOid) + BookHeader::BaseUntagged;
    return quint32(bookOid)
        + (bookOid < BookHeader::DebStep ? BookHeader::BaseDebLow : BookHeader::BaseDebHigh);
}

RandomBelow systemRandom()
{
    return [](quint32 bound) { return quint32(arc4random_uniform(bound)); };
}

bool setSmartBookInfo(int fd, int bookOid, int nTypeBook, const RandomBelow& random)
{
    if (fd < 0)
        return false;
    if (nTypeBook == 2)
        return true;
    if (!holds(fd, BookHeader::MaskedBookCodeOffset + BookHeader::BookCodeLength))
        return false;

    const quint32 code = bookCodeFor(bookOid, nTypeBook);
    const quint8 key = quint8(1 + random(253));
    const QByteArray codeBytes = littleEndian32(code);
    QByteArray masked(4, '\0');
    for (int i = 0; i < 4; ++i)
        masked[i] = char(quint8(codeBytes[i]) ^ key ^ BookHeader::CodeMask);

    return writeAt(fd, BookHeader::BookCodeOffset, codeBytes)
        && writeAt(fd, BookHeader::CodeKeyOffset, QByteArray(1, char(key)))
        && writeAt(fd, BookHeader::MaskedBookCodeOffset, masked);
}

bool setSmartBookInfo(const QString& path, int bookOid, int nTypeBook, const RandomBelow& random)
{
    return writeAndFlush(path, [&](int fd) { return setSmartBookInfo(fd, bookOid, nTypeBook, random); });
}

qint32 ReadOffsetOid(int fd)
{
    const QByteArray bytes = readExact(fd, BookHeader::StartStickerOffset, BookHeader::StartStickerLength);
    if (bytes.isEmpty())
        return 0;
    quint32 value = 0;
    for (int i = 0; i < 4; ++i)
        value |= quint32(quint8(bytes[i])) << (8 * i);
    return qint32(value);
}

qint32 ReadOffsetOid(const QString& path)
{
    const PenFile file = PenFile::open(path);
    return file.isOpen() ? ReadOffsetOid(file.fd()) : 0;
}

bool WriteOffsetOid(int fd, qint32 value)
{
    return holds(fd, startStickerEnd(false))
        && writeAt(fd, BookHeader::StartStickerOffset, littleEndian32(quint32(value)));
}

bool WriteOffsetOid(const QString& path, qint32 value)
{
    return writeAndFlush(path, [value](int fd) { return WriteOffsetOid(fd, value); });
}

int ReadOffsetOidUnb(int fd)
{
    const QByteArray field = readExact(fd, BookHeader::MaskedStartOffset, BookHeader::MaskedStartLength);
    const QByteArray key = readExact(fd, BookHeader::StartKeyOffset, BookHeader::MaskedStartLength);
    if (field.isEmpty() || key.isEmpty())
        return 0;
    return (quint8(field[0]) ^ quint8(key[0])) | ((quint8(field[1]) ^ quint8(key[1])) << 8);
}

int ReadOffsetOidUnb(const QString& path)
{
    const PenFile file = PenFile::open(path);
    return file.isOpen() ? ReadOffsetOidUnb(file.fd()) : 0;
}

bool WriteOffsetOidUnb(int fd, qint32 value)
{
    const QByteArray key = readExact(fd, BookHeader::StartKeyOffset, BookHeader::MaskedStartLength);
    if (key.isEmpty() || !holds(fd, startStickerEnd(true)))
        return false;
    QByteArray masked(2, '\0');
    masked[0] = char(quint8(key[0]) ^ (value & 0xFF));
    masked[1] = char(quint8(key[1]) ^ ((value >> 8) & 0xFF));
    return writeAt(fd, BookHeader::MaskedStartOffset, masked);
}

bool WriteOffsetOidUnb(const QString& path, qint32 value)
{
    return writeAndFlush(path, [value](int fd) { return WriteOffsetOidUnb(fd, value); });
}

qint64 startStickerEnd(bool masked)
{
    // The masked field's key lies behind it.
    return masked ? BookHeader::StartKeyOffset + BookHeader::MaskedStartLength
                  : BookHeader::StartStickerOffset + BookHeader::StartStickerLength;
}

qint64 installedHeaderEnd(const QString& extBook, int nTypeBook)
{
    const bool startSticker = keepsStartSticker(extBook);
    if (nTypeBook == 2)
        return startSticker ? startStickerEnd(true) : 0;
    const qint64 code = BookHeader::MaskedBookCodeOffset + BookHeader::BookCodeLength;
    return startSticker ? std::max(code, startStickerEnd(false)) : code;
}
