#pragma once

#include "StickerNumber.h"

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

enum class StickerChangeOutcome {
    Done, // changed, or nothing to change
    Invalid, // a typed number fails its check (see StickerChangeResult::check)
    Shared, // a shared package keeps its number
    Exists, // the new number is taken
    Failed,
    OldNameKept, // the package has its new number, but its old name could not be removed
};

struct StickerChangeResult {
    StickerChangeOutcome outcome = StickerChangeOutcome::Done;
    bool rescan = false; // the directory changed (or may have): list it again
    StickerCheck check = StickerCheck::Valid; // the check that failed, for Invalid
};

// Validates the typed numbers, moves the package to its new number without ever replacing
// another file, and writes the start sticker where the package keeps one. Only a regular file
// inside the package folder is changed (never through a link); what can fail is checked before
// the package moves, so a failure leaves it as it was. Every change is on the device (the
// moved file itself flushed under its new name, then the folder) before this returns.
StickerChangeResult applyStickerChange(const StickerChangeRequest& request);
