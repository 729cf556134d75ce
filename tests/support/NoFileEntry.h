#pragma once

#include <QString>

// Makes `path` an entry that is no regular file, as pens with links and FIFOs have them. What a
// link points at lies in the folder `elsewhere`, outside the package folder:
//   "link"         a link to elsewhere/outside.dar (the caller writes that file, or not)
//   "folder link"  a link to `elsewhere` itself
//   "dangling"     a link to elsewhere/nothing, which does not exist
//   "fifo"         a FIFO
//   "link to fifo" a link to the FIFO elsewhere/fifo
//   "directory"    a folder
// Returns false for an unknown kind or when the entry cannot be made.
bool makeNoFileEntry(const QString& kind, const QString& path, const QString& elsewhere);

// The file a "link" entry points at.
QString linkedOutsideFile(const QString& elsewhere);
