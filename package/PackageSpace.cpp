#include "PackageSpace.h"

#include <algorithm>

namespace {

// FAT gives a file whole clusters, one at least even when it is empty, and the directory entry
// may need a cluster of its own.
qint64 spaceTaken(qint64 size, const VolumeSpace& space)
{
    const qint64 cluster = std::max<qint64>(space.cluster, 1);
    const qint64 bytes = std::max<qint64>(size, 1);
    return (bytes + cluster - 1) / cluster * cluster + cluster;
}

}

bool fitsOnVolume(qint64 size, const VolumeSpace& space)
{
    return spaceTaken(size, space) <= space.available;
}

bool allFitOnVolume(const QList<qint64>& sizes, const VolumeSpace& space)
{
    qint64 needed = 0;
    for (const qint64 size : sizes)
        needed += spaceTaken(size, space);
    return needed <= space.available;
}
