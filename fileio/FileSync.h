#pragma once

#include <QString>

#include <functional>

// Durability helpers for writes on a removable pen: the data is on the device before the
// program says it is done.

// The system calls a flush or a removal on the pen goes through; tests replace them to act out
// a pen that fails. Each returns what the system call returns, with errno set.
struct SyncCalls {
    std::function<int(int)> fsync;
    std::function<int(int, const char*, int)> unlinkat;
};
SyncCalls systemSyncCalls();
// The calls in use: the system's unless a test has put others in.
SyncCalls& syncCalls();

// unlinkat through syncCalls().
int unlinkAt(int directoryFd, const char* name, int flags = 0);

// fsync of an open descriptor.
bool syncFile(int fd);
// fsync of a directory, so that a rename or a new entry survives pulling the pen.
bool syncDirectory(const QString& directory);
// The same for an open directory. Some file systems cannot fsync a directory; there a sync of
// the whole file system does it.
bool syncDirectory(int directoryFd);

enum class RenameResult {
    Done,
    TargetExists, // something, of any kind, has the new name; nothing moved
    Unsupported, // the file system cannot rename without the risk of replacing; nothing moved
    BothNames, // the file has the new name, but its old name could not be removed
    Failed, // nothing moved
};

// The system calls a rename goes through; tests replace them to act out file systems.
struct RenameCalls {
    std::function<int(int, const char*, int, const char*, unsigned)> renameat2;
    std::function<int(int, const char*, int, const char*, int)> linkat;
    std::function<int(int, const char*, int)> unlinkat;
};
RenameCalls systemRenameCalls();

// Renames `from` in the directory `fromDirectory` to `to` in `toDirectory` (descriptors, or
// AT_FDCWD for paths), never replacing an existing entry: renameat2 RENAME_NOREPLACE, and
// where the file system lacks it a hard link and an unlink. Where neither exists it refuses
// rather than checking first and renaming after, which could replace what appeared between.
RenameResult renameNoReplaceAt(int fromDirectory, const QString& from, int toDirectory, const QString& to,
    const RenameCalls& calls = systemRenameCalls());
RenameResult renameNoReplace(const QString& from, const QString& to);
