#pragma once

#include <QString>

// Removes an installed package (a directory with its content) from the pen's package
// directory and flushes the directory. A symbolic link is removed itself, never followed, and
// nothing outside the package directory is touched. True when the entry is gone.
bool removePackage(const QString& file, const QString& pathKavo);
