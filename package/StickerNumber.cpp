#include "StickerNumber.h"

bool validateNumberByASCII(const QString& text)
{
    for (const QChar c : text) {
        if (c.unicode() < u'0' || c.unicode() > u'9')
            return false;
    }
    return true;
}

StickerCheck checkStickerTexts(const QString& bookOid, const QString& offsetOid)
{
    if (!validateNumberByASCII(bookOid))
        return StickerCheck::BookNotDigits;
    if (!validateNumberByASCII(offsetOid))
        return StickerCheck::StartNotDigits;
    if (bookOid.size() != 3)
        return StickerCheck::BookNotThree;
    if (offsetOid.size() != 4)
        return StickerCheck::StartNotFour;
    return StickerCheck::Valid;
}
