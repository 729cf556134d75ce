#pragma once

#include <QString>
#include <QtGlobal>

#include <optional>

// Free and total bytes of the file system that holds a path.
struct VolumeUsage {
    qint64 available = 0; // what an unprivileged writer may still use
    qint64 total = 0;
    qint64 cluster = 0; // allocation unit: a file takes a whole number of these
};

// statvfs of the path, the one free-space query of the program; nothing when it cannot be
// asked (no such path, pen gone).
std::optional<VolumeUsage> queryVolumeUsage(const QString& path);

// A byte count in decimal units as pens and file managers label them: "512 B", "1.5 KB",
// "3.9 GB" (one decimal from KB up).
QString humanSize(qint64 bytes);
