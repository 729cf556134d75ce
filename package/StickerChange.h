#pragma once

#include <QString>

// The installed package whose sticker numbers the user edits, and what was typed.
struct StickerChangeRequest {
    QString file; // full path of the package on the pen
    QString flag; // "D", "S", "O", "C" or "E"
    QString type; // "dab", "unb", "dsb" or "dcb"
    QString currentBookOid; // the number the package has now (its file name)
    QString bookOid; // typed book sticker number
    QString offsetOid; // typed start sticker number
    QString pathKavo; // the pen's package directory
};

struct StickerChangeResult {
    QString message; // what the window shows; empty when there is nothing to say
    bool rescan = false; // the directory changed (or may have): list it again
};

namespace StickerChangeMessage {
inline const QString Shared = QStringLiteral("共享教材无法更改贴号！");
inline const QString Exists = QStringLiteral("教材已存在无法更改贴号！");
inline const QString Failed = QStringLiteral("更改贴号失败，请检查点读笔后重试！");
// The package has its new number, but its old name could not be removed: it is listed twice.
inline const QString OldNameKept = QStringLiteral("已更改为新贴号，但原贴号的文件未能删除，请检查点读笔！");
}

// Validates the typed numbers, moves the package to its new number without ever replacing
// another file, and writes the start sticker where the package keeps one. Only a regular file
// inside the package folder is changed (never through a link); what can fail is checked before
// the package moves, so a failure leaves it as it was. Every change is on the device (the
// moved file itself flushed under its new name, then the folder) before this returns.
StickerChangeResult applyStickerChange(const StickerChangeRequest& request);
