#pragma once

#include <QString>

// The path of `file` below the folder `folderPath` (which ends in a slash), in the form the
// folder's descriptor can open it; empty when `file` does not lie inside, is the folder itself,
// or reaches out of it with "..", "." or doubled slashes.
QString relativePathInside(const QString& folderPath, const QString& file);
