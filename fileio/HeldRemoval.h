#pragma once

#include "PenFile.h"

#include <vector>

// Removing files from a folder on the pen. FAT frees a file's clusters when the last holder
// lets go of it, and freed clusters may reach the medium before the folder entry does: a pen
// pulled then keeps the name over free clusters, a file that cannot be read, or that a later
// copy takes and a later removal frees again. So each removed file stays open until the
// folder without its name is flushed; then it is let go and the folder flushed once more for
// the freed clusters.
class HeldRemoval {
public:
    // `directoryFd` stays the caller's and must outlive this.
    explicit HeldRemoval(int directoryFd)
        : m_directory(directoryFd)
    {
    }

    // Keeps `file` open until finish(); for a file the caller removes itself.
    void hold(FileDescriptor file);
    void hold(PenFile file) { hold(file.take()); }
    // Removes the entry `name` (through the replaceable unlink) and keeps `file`, which may be
    // closed, open until finish(). False with errno set when the name is still there; `file`
    // is then let go at once.
    bool remove(const char* name, FileDescriptor file);
    bool remove(const char* name, PenFile file) { return remove(name, file.take()); }

    struct Flushed {
        bool names = false; // the folder without the removed names is on the device
        bool clusters = false; // and after letting go, the folder again
    };
    // Flushes the folder, lets go of every held file, and flushes the folder again when the
    // first flush worked and something was held.
    Flushed finish();

private:
    int m_directory;
    std::vector<FileDescriptor> m_held;
};
