#pragma once

#include <QList>
#include <QtGlobal>

// Free space on a pen's volume as an install counts it.
struct VolumeSpace {
    qint64 available = 0; // bytes the caller may still write
    qint64 cluster = 0; // allocation unit
};

// Whether a package of `size` bytes fits: its clusters (at least one) plus one cluster for the
// directory entry.
bool fitsOnVolume(qint64 size, const VolumeSpace& space);
// Whether files of these sizes fit together, each counted as fitsOnVolume counts it.
bool allFitOnVolume(const QList<qint64>& sizes, const VolumeSpace& space);
