#include "PenRecord.h"

#include <QStringDecoder>

#include <algorithm>
#include <cstring>

QString PenRecord::serialText() const
{
    const auto end = std::find(serial.begin(), serial.end(), '\0');
    return QString::fromUtf8(serial.data(), end - serial.begin());
}

QString PenRecord::selectorText() const
{
    return displayName + QLatin1Char(' ') + product + QLatin1Char(' ') + revision;
}

PenRecord BuildPenRecord(const QString& vendor, const QString& product, const QString& revision,
    const QString& bsdName, const QByteArray& iniContent)
{
    PenRecord record;
    record.vendor = vendor;
    record.product = product;
    record.revision = revision;
    record.bsdName = bsdName;
    record.displayName = PenDisplayName;

    // The serial sits at a fixed place whose start depends on the file's length.
    constexpr int SerialLength = 11;
    int start = -1;
    if (iniContent.size() > 24)
        start = 14;
    else if (iniContent.size() == 24)
        start = 13;
    if (start >= 0)
        std::memcpy(record.serial.data(), iniContent.constData() + start, SerialLength);
    record.serial[SerialLength] = '\0';
    return record;
}
