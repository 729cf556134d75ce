#pragma once

#include <QString>

#include <optional>

// The 32-bit location ID of a USB device, as pens are told apart by: the bus number in the
// top byte, then one hex digit per port along the device's path from the root hub (bus 1,
// devpath "1.2" gives 0x01120000). Nothing when the bus or a port does not fit.
std::optional<quint32> usbLocationID(int busNumber, const QString& devpath);

// Pen models by their USB IDs: 0x04D6 with 0xE101 or 0xE301, and 0x0C45 with 0x3201.
bool isPenModel(quint16 vendorID, quint16 productID);
