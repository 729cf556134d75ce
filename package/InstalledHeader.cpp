#include "InstalledHeader.h"

#include <algorithm>

namespace {

// Range of the code key byte: setSmartBookInfo writes 1 + a value below 253.
constexpr quint8 FirstCodeKey = 1;
constexpr quint8 LastCodeKey = 253;

qint64 lastWrittenByte(const HeaderWrites& writes)
{
    qint64 end = 0;
    if (writes.unchanged)
        return end;
    if (writes.nTypeBook != 2)
        end = BookHeader::MaskedBookCodeOffset + BookHeader::BookCodeLength;
    if (writes.startSticker)
        end = writes.nTypeBook == 2 ? BookHeader::MaskedStartOffset + BookHeader::MaskedStartLength
                                    : BookHeader::StartStickerOffset + BookHeader::StartStickerLength;
    return end;
}

void put32(QByteArray& bytes, qint64 offset, quint32 value)
{
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = char((value >> (8 * i)) & 0xFF);
}

}

qint64 installedSize(qint64 sourceSize, const HeaderWrites& writes)
{
    return std::max(sourceSize, lastWrittenByte(writes));
}

QString checkInstalledHeader(const QByteArray& source, const QByteArray& copy, const HeaderWrites& writes)
{
    const qint64 span = std::min(installedSize(source.size(), writes), InstalledHeaderSpan);
    if (copy.size() != span)
        return QStringLiteral("expected %1 header bytes and got %2").arg(span).arg(copy.size());

    QByteArray expected = source.left(span);
    expected.resize(span, '\0');
    // A copy made unchanged is compared with its source as it is.
    if (!writes.unchanged && writes.nTypeBook != 2) {
        const quint8 key = quint8(copy[BookHeader::CodeKeyOffset]);
        if (key < FirstCodeKey || key > LastCodeKey)
            return QStringLiteral("code key 0x%1 is out of range").arg(key, 2, 16, QLatin1Char('0'));
        const quint32 code = bookCodeFor(writes.bookOid, writes.nTypeBook);
        put32(expected, BookHeader::BookCodeOffset, code);
        expected[BookHeader::CodeKeyOffset] = char(key);
        put32(
            expected, BookHeader::MaskedBookCodeOffset, code ^ (0x01010101u * (key ^ BookHeader::CodeMask)));
    }
    const bool startSticker = writes.startSticker && !writes.unchanged;
    if (startSticker && writes.nTypeBook == 2) {
        if (span < BookHeader::StartKeyOffset + BookHeader::MaskedStartLength)
            return QStringLiteral("the package is too short for its start sticker key");
        // The key bytes are the source's: the copy carries them unchanged.
        for (int i = 0; i < BookHeader::MaskedStartLength; ++i)
            expected[BookHeader::MaskedStartOffset + i] = char(
                quint8(expected[BookHeader::StartKeyOffset + i]) ^ ((writes.offsetOid >> (8 * i)) & 0xFF));
    } else if (startSticker) {
        put32(expected, BookHeader::StartStickerOffset, quint32(writes.offsetOid));
    }

    for (qint64 i = 0; i < span; ++i) {
        if (copy[i] != expected[i])
            return QStringLiteral("expected 0x%1 and got 0x%2 at offset %3")
                .arg(quint8(expected[i]), 2, 16, QLatin1Char('0'))
                .arg(quint8(copy[i]), 2, 16, QLatin1Char('0'))
                .arg(i);
    }
    return {};
}
