#pragma once

#include "ListData.h"

#include <QString>

// The package directory below a pen's volume.
inline const QString PackageDirectory = QStringLiteral("USER/CUSTOM/");

// Title of a package: the first 100 bytes up to the first 0x00 or 0xFF, decoded as GB 18030.
// Invalid bytes become replacement characters; an unreadable file gives an empty title.
QString ReadBookName(const QString& path);

// Package directory of a volume path; empty when the volume is not mounted, so that nothing
// is ever read or written relative to the working directory.
QString packageDirectoryFor(const QString& volumePath);

// Walks the package directory recursively and returns one row per recognised package, in the
// order the file system yields them. An empty or missing directory gives no rows.
BookList ScanCatalogue(const QString& pathKavo);
