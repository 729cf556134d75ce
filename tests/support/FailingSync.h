#pragma once

#include "FileSync.h"

#include <array>
#include <cerrno>
#include <memory>

#include <QDir>
#include <QFile>
#include <QList>
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
// under its new name. At each folder flush it also notes the removed files this process still
// holds open. It records on top of the calls in use (a FailingSync made before it still fails).
class FlushLog {
public:
    FlushLog()
        : m_previous(syncCalls())
    {
        const SyncCalls previous = m_previous;
        const auto flushed = m_flushed;
        const auto held = m_held;
        syncCalls() = SyncCalls {
            [=](int fd) {
                struct stat info { };
                const bool folder = ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
                flushed->append(pathOf(fd) + (folder ? QStringLiteral("/") : QString()));
                if (folder)
                    held->append(removedFilesHeld());
                return previous.fsync(fd);
            },
            previous.unlinkat,
        };
    }
    ~FlushLog() { syncCalls() = m_previous; }
    FlushLog(const FlushLog&) = delete;
    FlushLog& operator=(const FlushLog&) = delete;

    QStringList flushed() const { return *m_flushed; }
    // Per folder flush, in order: the paths of removed files still open then.
    QList<QStringList> heldAtFolderFlush() const { return *m_held; }

private:
    static QString pathOf(int fd)
    {
        char path[4096];
        const QByteArray link = QByteArray("/proc/self/fd/") + QByteArray::number(fd);
        const ssize_t length = ::readlink(link.constData(), path, sizeof path);
        return QFile::decodeName(QByteArray(path, length > 0 ? int(length) : 0));
    }

    static QStringList removedFilesHeld()
    {
        static const QString deleted = QStringLiteral(" (deleted)");
        QStringList held;
        const QDir descriptors(QStringLiteral("/proc/self/fd"));
        for (const QString& name : descriptors.entryList(QDir::AllEntries | QDir::System)) {
            const QString target = QFile::symLinkTarget(descriptors.filePath(name));
            if (target.endsWith(deleted))
                held.append(target.chopped(deleted.size()));
        }
        return held;
    }

    SyncCalls m_previous;
    std::shared_ptr<QStringList> m_flushed = std::make_shared<QStringList>();
    std::shared_ptr<QList<QStringList>> m_held = std::make_shared<QList<QStringList>>();
};
