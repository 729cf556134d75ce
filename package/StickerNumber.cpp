#include "StickerNumber.h"

bool validateNumberByASCII(const QString& text)
{
    for (const QChar c : text) {
        if (c.unicode() < u'0' || c.unicode() > u'9')
            return false;
    }
    return true;
}

QString checkStickerTexts(const QString& bookOid, const QString& offsetOid)
{
    if (!validateNumberByASCII(bookOid))
        return StickerMessage::BookNotDigits;
    if (!validateNumberByASCII(offsetOid))
        return StickerMessage::StartNotDigits;
    if (bookOid.size() != 3)
        return StickerMessage::BookNotThree;
    if (offsetOid.size() != 4)
        return StickerMessage::StartNotFour;
    return {};
}
