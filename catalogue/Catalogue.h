#pragma once

#include "ListData.h"
#include "PackageFolder.h"
#include "PenFile.h"

#include <QString>

#include <optional>
#include <stop_token>

// The package directory below a pen's volume.
inline const QString PackageDirectory = QStringLiteral("USER/CUSTOM/");

// Title of a package: the first 100 bytes up to the first 0x00 or 0xFF, decoded as GB 18030.
// Invalid bytes become replacement characters; an unreadable file gives an empty title. The
// path version opens the file safely (PenFile); on the pen a link gives no title, while a source
// chosen on the computer may be one (PenLinks::Follow).
QString ReadBookName(const QString& path, PenLinks links = PenLinks::Refuse);
QString ReadBookName(int fd);
// The title of the package open on `fd`, or nothing when reading it failed (an I/O error: a
// bad medium, a pen pulled out). A file shorter than the title field is read, not failed.
std::optional<QString> ReadTitle(int fd);

// The positioned read that every title read goes through (`readAt`); tests replace it to make
// reads fail as a failing medium does, and put `readAt` back.
using TitleReadCall = qint64 (*)(int fd, qint64 offset, char* data, qint64 length);
TitleReadCall& titleReadCall();

// Shown instead of a title for an entry named like a package that is no regular file (a link,
// a folder, a FIFO), cannot be opened or whose title cannot be read: it is listed, but never
// read or written through.
inline const QString UnusableEntryName = QStringLiteral("（无法使用的条目）");

// Package directory of a volume path; empty when the volume is not mounted, so that nothing
// is ever read or written relative to the working directory.
QString packageDirectoryFor(const QString& volumePath);

// Walks the package directory recursively and returns one row per recognised package, in the
// order the file system yields them. An empty directory gives no rows; one that is missing or
// is no real folder on the pen gives none either, and `problem` says why (see PackageFolder).
// Temporary copies that no install holds any more are removed on the way. A stop requested
// through `stop` ends the walk before its next read or open, with no rows.
BookList ScanCatalogue(
    const QString& pathKavo, PackageFolder::Problem* problem = nullptr, std::stop_token stop = {});
