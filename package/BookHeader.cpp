#include "BookHeader.h"

#include "FileSync.h"

#include <QFile>
#include <QStringDecoder>

#include <algorithm>
#include <cstdlib>

namespace {

// Reads exactly `length` bytes at `offset`; empty when the file is missing or too short.
QByteArray readExact(const QString& path, qint64 offset, qint64 length)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(offset))
        return {};
    QByteArray bytes = file.read(length);
    return bytes.size() == length ? bytes : QByteArray();
}

bool writeAt(QFile& file, qint64 offset, const QByteArray& bytes)
{
    return file.seek(offset) && file.write(bytes) == bytes.size();
}

// ExistingOnly: a header write never creates a file.
bool openExisting(QFile& file) { return file.open(QIODevice::ReadWrite | QIODevice::ExistingOnly); }

QByteArray littleEndian32(quint32 value)
{
    QByteArray bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = char((value >> (8 * i)) & 0xFF);
    return bytes;
}

} // namespace

BookType GetBookType(const QString& sourcePath)
{
    const bool story = sourcePath.right(3) == QLatin1String("dsb");

    QByteArray head;
    {
        QFile file(sourcePath);
        if (file.open(QIODevice::ReadOnly))
            head = file.read(BookHeader::TypeTagLength);
    }
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
        QFile file(sourcePath);
        QByteArray marker;
        if (file.open(QIODevice::ReadOnly) && file.seek(BookHeader::SmartMarkerOffset))
            marker = file.read(BookHeader::SmartMarkerLength);
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

bool setSmartBookInfo(const QString& path, int bookOid, int nTypeBook, const RandomBelow& random)
{
    QFile file(path);
    if (!openExisting(file))
        return false;
    if (nTypeBook == 2)
        return true;

    const quint32 code = bookCodeFor(bookOid, nTypeBook);
    const quint8 key = quint8(1 + random(253));
    const QByteArray codeBytes = littleEndian32(code);
    QByteArray masked(4, '\0');
    for (int i = 0; i < 4; ++i)
        masked[i] = char(quint8(codeBytes[i]) ^ key ^ BookHeader::CodeMask);

    return writeAt(file, BookHeader::BookCodeOffset, codeBytes)
        && writeAt(file, BookHeader::CodeKeyOffset, QByteArray(1, char(key)))
        && writeAt(file, BookHeader::MaskedBookCodeOffset, masked) && file.flush() && syncFile(file.handle());
}

qint32 ReadOffsetOid(const QString& path)
{
    const QByteArray bytes = readExact(path, BookHeader::StartStickerOffset, BookHeader::StartStickerLength);
    if (bytes.isEmpty())
        return 0;
    quint32 value = 0;
    for (int i = 0; i < 4; ++i)
        value |= quint32(quint8(bytes[i])) << (8 * i);
    return qint32(value);
}

bool WriteOffsetOid(const QString& path, qint32 value)
{
    QFile file(path);
    return openExisting(file) && writeAt(file, BookHeader::StartStickerOffset, littleEndian32(quint32(value)))
        && file.flush() && syncFile(file.handle());
}

int ReadOffsetOidUnb(const QString& path)
{
    const QByteArray field = readExact(path, BookHeader::MaskedStartOffset, BookHeader::MaskedStartLength);
    const QByteArray key = readExact(path, BookHeader::StartKeyOffset, BookHeader::MaskedStartLength);
    if (field.isEmpty() || key.isEmpty())
        return 0;
    return (quint8(field[0]) ^ quint8(key[0])) | ((quint8(field[1]) ^ quint8(key[1])) << 8);
}

bool WriteOffsetOidUnb(const QString& path, qint32 value)
{
    QFile file(path);
    if (!openExisting(file) || !file.seek(BookHeader::StartKeyOffset))
        return false;
    const QByteArray key = file.read(BookHeader::MaskedStartLength);
    if (key.size() != BookHeader::MaskedStartLength)
        return false;
    QByteArray masked(2, '\0');
    masked[0] = char(quint8(key[0]) ^ (value & 0xFF));
    masked[1] = char(quint8(key[1]) ^ ((value >> 8) & 0xFF));
    return writeAt(file, BookHeader::MaskedStartOffset, masked) && file.flush() && syncFile(file.handle());
}
