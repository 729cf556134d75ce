#pragma once

#include <QString>

// A sticker-number text is valid when every UTF-16 unit is an ASCII digit. The empty text
// passes; the length checks that follow reject it.
bool validateNumberByASCII(const QString& text);

// The checks of typed sticker numbers, shared by the install dialog and the main window.
enum class StickerCheck {
    Valid,
    BookNotDigits,
    StartNotDigits,
    BookNotThree,
    StartNotFour,
};

// The four checks in their fixed order; the first that fails, or Valid when both texts are.
StickerCheck checkStickerTexts(const QString& bookOid, const QString& offsetOid);
