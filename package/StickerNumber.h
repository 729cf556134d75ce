#pragma once

#include <QString>

// A sticker-number text is valid when every UTF-16 unit is an ASCII digit. The empty text
// passes; the length checks that follow reject it.
bool validateNumberByASCII(const QString& text);

// Messages of the sticker checks, shared by the install dialog and the main window.
namespace StickerMessage {
inline const QString BookNotDigits = QStringLiteral("书名贴号必须为数字！");
inline const QString StartNotDigits = QStringLiteral("起始贴号必须为数字！");
inline const QString BookNotThree = QStringLiteral("书名贴号必须为3位数字！");
inline const QString StartNotFour = QStringLiteral("起始贴号必须为4位数字！");
}

// The four checks in their fixed order; the message of the first that fails, or an empty
// string when both texts are valid.
QString checkStickerTexts(const QString& bookOid, const QString& offsetOid);
