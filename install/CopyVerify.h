#pragma once

#include "InstalledHeader.h"
#include "PackageCopy.h"

#include <QString>

#include <functional>

// Reads a flushed copy back from the device and compares it with its source and the header
// fields the install wrote. The copy's cached pages are dropped first, so that the bytes come
// from the pen and not from the page cache (a pen that loses or garbles writes would
// otherwise pass). `progress` gets the number of bytes checked so far.
struct ReadBack {
    bool matches = false;
    QString difference; // what differs, for the diagnostic line
};
ReadBack readBackCopy(const QString& copyPath, int sourceFd, qint64 sourceSize, const HeaderWrites& writes,
    const std::function<void(qint64 bytes)>& progress = {});

// The header fields an install request writes.
HeaderWrites headerWritesOf(const InstallRequest& request);

// The progress bar's scale (chunkCount + 1) shared by the copy and, when there is one, the
// read-back: the copy fills its first half and the read-back the second, so the bar ends on
// the same value as a copy alone.
class InstallProgress {
public:
    InstallProgress(qint64 size, bool readBack, std::function<void(qint64 chunk)> report);
    void copied(qint64 chunk) const; // chunk number of the copy, 0..chunkCount(size)
    void checked(qint64 bytes) const; // bytes read back, 0..size

private:
    qint64 m_chunks;
    bool m_readBack;
    std::function<void(qint64)> m_report;
};

// The read-back step of an install: runs the options' test seam, reads the copy back, and on a
// difference writes a diagnostic line to standard error. True when the copy is right.
bool copyReadsBack(const QString& copyPath, int sourceFd, qint64 sourceSize, const InstallRequest& request,
    const InstallProgress& progress, const InstallOptions& options);
