#pragma once

#include <QString>
#include <QTemporaryDir>

// A small tmpfs mounted for one test, as root only: a pen that can be filled up or made
// read-only. `reason()` says why it is not available otherwise.
class ScratchMount {
public:
    explicit ScratchMount(qint64 sizeBytes = 1024 * 1024);
    ~ScratchMount();
    ScratchMount(const ScratchMount&) = delete;
    ScratchMount& operator=(const ScratchMount&) = delete;

    bool isMounted() const { return m_mounted; }
    QString reason() const { return m_reason; }
    // The mount point, ending in "/".
    QString path() const { return m_dir.path() + QLatin1Char('/'); }

    bool remountReadOnly();
    bool remountReadWrite();

private:
    QTemporaryDir m_dir;
    bool m_mounted = false;
    QString m_reason;
};
