// BuildPenRecord over any product.ini content: the serial is always terminated, holds at most
// 11 bytes, and is taken from where the file's length says.
#include "FuzzSupport.h"
#include "PenRecord.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray ini(reinterpret_cast<const char*>(data), qsizetype(size));
    const PenRecord record = BuildPenRecord(
        QStringLiteral("vorna"), QStringLiteral("Pen"), QStringLiteral("1.00"), QStringLiteral("sdb1"), ini);

    if (record.serial[11] != '\0')
        fuzz::fail("serial is not terminated");
    const qsizetype start = ini.size() > 24 ? 14 : ini.size() == 24 ? 13 : -1;
    const QByteArray expected = start < 0 ? QByteArray() : ini.mid(start, 11);
    if (start >= 0 && std::memcmp(record.serial.data(), expected.constData(), 11) != 0)
        fuzz::fail("serial is not bytes %lld..%lld of a %lld-byte file", qlonglong(start),
            qlonglong(start + 10), qlonglong(ini.size()));
    if (start < 0 && record.serial != decltype(record.serial) {})
        fuzz::fail("a %lld-byte file gave a serial", qlonglong(ini.size()));

    const QString serial = record.serialText();
    const qsizetype terminator = expected.indexOf('\0');
    if (serial != QString::fromUtf8(terminator >= 0 ? expected.left(terminator) : expected))
        fuzz::fail("serial text differs from its bytes");
    if (!record.selectorText().startsWith(PenDisplayName) || record.bsdName != QLatin1String("sdb1"))
        fuzz::fail("record fields lost");
    return 0;
}
