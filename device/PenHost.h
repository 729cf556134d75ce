#pragma once

#include "PenRecord.h"

// What the device handlers reach: the application's pen registry. The handlers are plain
// callbacks without a reference to the controller; they find it through this process-wide
// pointer, set once at launch.
class PenHost {
public:
    virtual ~PenHost() = default;
    // Stores the record under its BSD name, replacing an earlier one, and refreshes the selector.
    virtual void storePen(const PenRecord& record) = 0;
    // The USB device of the pen stored under `bsdName` went away without an eject.
    virtual void penUnplugged(const QString& bsdName) = 0;
};

void setPenHost(PenHost* host);
PenHost* penHost();
