#pragma once

#include <QString>

// Path of the mounted volume of a block device given by its kernel name (sdb1), ending in
// "/", or empty when it is not mounted. The device number comes from
// <sysRoot>/class/block/NAME/dev and is matched in the mount table; the mount point is
// decoded in full (every octal escape, not only the blank).
QString VolumePathForBSDName(const QString& bsdName);
QString VolumePathForBSDName(const QString& bsdName, const QString& sysRoot, const QString& mountInfoPath);

// The label of the volume mounted at a path (its folder's name when the file system has none);
// empty for an empty path.
QString volumeLabel(const QString& volumePath);

// Decodes the octal escapes (\040, \134, ...) that the kernel writes into mountinfo fields.
QString decodeMountInfoField(const QByteArray& field);
