#pragma once

#include "FileSync.h"

#include <array>
#include <cerrno>
#include <memory>

#include <sys/stat.h>

// A pen whose flushes or removals fail with EIO from the n-th call on (counted from 1; 0 never),
// as one that went away or has a bad medium does. The system's calls are back when it goes
// out of scope.
class FailingSync {
public:
    struct Plan {
        int fileFlush = 0; // fsync of a regular file
        int folderFlush = 0; // fsync of a directory
        int unlink = 0;
    };

    explicit FailingSync(const Plan& plan)
    {
        const auto counts = std::make_shared<std::array<int, 3>>();
        const SyncCalls system = systemSyncCalls();
        const auto fails = [counts](int which, int from) {
            if (from <= 0 || ++(*counts)[which] < from)
                return false;
            errno = EIO;
            return true;
        };
        syncCalls() = SyncCalls {
            [=](int fd) {
                struct stat info { };
                const bool folder = ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
                return fails(folder ? 1 : 0, folder ? plan.folderFlush : plan.fileFlush) ? -1
                                                                                         : system.fsync(fd);
            },
            [=](int directory, const char* name, int flags) {
                return fails(2, plan.unlink) ? -1 : system.unlinkat(directory, name, flags);
            },
        };
    }
    ~FailingSync() { syncCalls() = systemSyncCalls(); }
    FailingSync(const FailingSync&) = delete;
    FailingSync& operator=(const FailingSync&) = delete;
};
