#pragma once

#include "FileSync.h"

#include <array>
#include <cerrno>
#include <memory>

#include <QFile>
#include <QStringList>

#include <sys/stat.h>
#include <unistd.h>

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

// Records every flush while it is in scope: the path the flushed descriptor has at that moment
// (a folder's with a trailing slash). It tells a file flushed before a rename from one flushed
// under its new name.
class FlushLog {
public:
    FlushLog()
    {
        const SyncCalls system = systemSyncCalls();
        const auto flushed = m_flushed;
        syncCalls() = SyncCalls {
            [=](int fd) {
                char path[4096];
                const QByteArray link = QByteArray("/proc/self/fd/") + QByteArray::number(fd);
                const ssize_t length = ::readlink(link.constData(), path, sizeof path);
                struct stat info { };
                const bool folder = ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
                flushed->append(QFile::decodeName(QByteArray(path, length > 0 ? int(length) : 0))
                    + (folder ? QStringLiteral("/") : QString()));
                return system.fsync(fd);
            },
            system.unlinkat,
        };
    }
    ~FlushLog() { syncCalls() = systemSyncCalls(); }
    FlushLog(const FlushLog&) = delete;
    FlushLog& operator=(const FlushLog&) = delete;

    QStringList flushed() const { return *m_flushed; }

private:
    std::shared_ptr<QStringList> m_flushed = std::make_shared<QStringList>();
};
