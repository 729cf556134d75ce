// The sticker text checks over any text (both UTF-8 and raw UTF-16 readings of the input):
// only ASCII digits pass the digit rule, and the first failing check names the message.
#include "FuzzSupport.h"
#include "StickerNumber.h"

#include <algorithm>

namespace {

bool asciiDigits(const QString& text)
{
    return std::all_of(
        text.cbegin(), text.cend(), [](QChar c) { return c.unicode() >= '0' && c.unicode() <= '9'; });
}

void checkPair(const QString& book, const QString& start)
{
    if (validateNumberByASCII(book) != asciiDigits(book)
        || validateNumberByASCII(start) != asciiDigits(start))
        fuzz::fail("digit rule disagrees on \"%s\" / \"%s\"", qUtf8Printable(book), qUtf8Printable(start));

    StickerCheck expected = StickerCheck::Valid;
    if (!asciiDigits(book))
        expected = StickerCheck::BookNotDigits;
    else if (!asciiDigits(start))
        expected = StickerCheck::StartNotDigits;
    else if (book.size() != 3)
        expected = StickerCheck::BookNotThree;
    else if (start.size() != 4)
        expected = StickerCheck::StartNotFour;
    const StickerCheck check = checkStickerTexts(book, start);
    if (check != expected)
        fuzz::fail("checks of \"%s\" / \"%s\" gave check %d, expected %d", qUtf8Printable(book),
            qUtf8Printable(start), int(check), int(expected));
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    const qsizetype split = input.indexOf('\n');
    const QByteArray first = split < 0 ? input : input.left(split);
    const QByteArray second = split < 0 ? QByteArray() : input.mid(split + 1);

    checkPair(QString::fromUtf8(first), QString::fromUtf8(second));
    // Raw UTF-16, unpaired surrogates included, as a text field may hold.
    const auto utf16 = [](const QByteArray& bytes) {
        return QString(reinterpret_cast<const QChar*>(bytes.constData()), bytes.size() / 2);
    };
    checkPair(utf16(first), utf16(second));
    return 0;
}
