#pragma once

#include <QString>

enum class RemovalResult {
    Removed, // gone, and the folder flushed to the device
    NotFlushed, // gone, but the folder could not be flushed: pulling the pen may bring it back
    Failed, // still there, or never inside the package folder
};

// Removes an installed package (a directory with its content) from the pen's package
// directory and flushes the directory. A symbolic link is removed itself, never followed, and
// nothing outside the package directory, or in a package directory that is no real folder on
// the pen, is touched.
RemovalResult removePackage(const QString& file, const QString& pathKavo);
