#include "UsbIds.h"

#include <QStringList>

namespace {
// For paths that do not fit one hex digit per port (xHCI root hubs may have more than 15
// ports): a 24-bit hash of the devpath. Both sides that compare location IDs compute it the
// same way, so the pen is still found; only the logged value is less readable.
quint32 hashedPorts(const QString& devpath)
{
    quint32 hash = 2166136261u;
    for (const char c : devpath.toLatin1()) {
        hash ^= quint8(c);
        hash *= 16777619u;
    }
    return hash & 0x00FFFFFF;
}
}

std::optional<quint32> usbLocationID(int busNumber, const QString& devpath)
{
    if (busNumber < 0 || busNumber > 0xFF || devpath.isEmpty())
        return std::nullopt;
    const quint32 bus = quint32(busNumber) << 24;
    // A root hub's devpath is "0": it has no port.
    if (devpath == QLatin1String("0"))
        return bus;
    const QStringList ports = devpath.split(QLatin1Char('.'));
    quint32 location = 0;
    int shift = 20;
    bool fits = ports.size() <= 6;
    for (const QString& text : ports) {
        bool ok = false;
        const int port = text.toInt(&ok, 10);
        if (!ok || port < 1 || port > 0xFF)
            return std::nullopt;
        if (port > 0xF)
            fits = false;
        if (fits) {
            location |= quint32(port) << shift;
            shift -= 4;
        }
    }
    return bus | (fits ? location : hashedPorts(devpath));
}

bool isPenModel(quint16 vendorID, quint16 productID)
{
    return (vendorID == 0x04D6 && (productID | 0x0200) == 0xE301)
        || (vendorID == 0x0C45 && productID == 0x3201);
}
