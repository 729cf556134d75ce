#pragma once

#include "PenDoor.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <map>

inline const QString PenDisplayName = QStringLiteral("Zanvi点读笔");

// One recognised pen. A value: copied whole wherever it is stored.
struct PenRecord {
    QString vendor;
    QString product;
    QString revision;
    QString bsdName; // kernel name of the block device carrying the volume (sdb1), also the key
    QString displayName;
    std::array<char, 12> serial {}; // at most 11 bytes of text, always 0x00-terminated

    // The serial's bytes up to the first 0x00, decoded as UTF-8 (invalid bytes become U+FFFD).
    QString serialText() const;
    // The selector's text: display name, product and revision.
    QString selectorText() const;
};

// Builds a record from the SCSI strings, the BSD name and the bytes of SYS/INI/product.ini
// (empty when the file is missing). The serial is taken by the file's length.
PenRecord BuildPenRecord(const QString& vendor, const QString& product, const QString& revision,
    const QString& bsdName, const QByteArray& iniContent);

// The bytes of SYS/INI/product.ini on a mounted volume (a path ending in "/"); empty when the
// volume path is empty or the file is missing, not a regular file, or unreadable. Never blocks
// (a FIFO under that name) and never follows a link off the pen.
QByteArray ReadProductIni(const QString& volumePath);

// Who the pen mounted at `volumePath` is: its serial and the volume's device number. Both empty
// when the volume cannot be opened (a pen pulled out); the serial empty when product.ini cannot
// be read, as on a stale mount.
PenIdentity ReadPenIdentity(const QString& volumePath);

// The pen registry, keyed by BSD name. std::map keeps the keys sorted, so the order is stable
// and the selector's index i is always the i-th key.
using PenRegistry = std::map<QString, PenRecord>;
