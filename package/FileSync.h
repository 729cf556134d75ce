#pragma once

#include <QString>

// Durability helpers for writes on a removable pen: the data is on the device before the
// program says it is done.

// fsync of an open descriptor.
bool syncFile(int fd);
// fsync of a directory, so that a rename or a new entry survives pulling the pen.
bool syncDirectory(const QString& directory);

enum class RenameResult { Done, TargetExists, Failed };
// Renames without ever replacing an existing entry (renameat2 RENAME_NOREPLACE; where the
// file system lacks it, a hard link followed by an unlink, which also refuses to replace).
RenameResult renameNoReplace(const QString& from, const QString& to);
