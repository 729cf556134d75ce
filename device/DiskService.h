#pragma once

#include <QString>

#include <memory>

// The system's disk service: unmount, power off, mount. The real one talks to udisks2.
class DiskService {
public:
    virtual ~DiskService() = default;
    // Unmounts (without forcing) every mounted file system of the drive that carries the block
    // device `bsdName`, then powers the drive off, or ejects it where it cannot be powered off.
    // On failure returns false and says why in `error`; the drive may then still be mounted.
    virtual bool ejectDrive(const QString& bsdName, QString* error) = 0;
    // Mounts the file system on `bsdName` without user interaction. Returns the mount point, or
    // an empty string with the reason in `error`.
    virtual QString mountFilesystem(const QString& bsdName, QString* error) = 0;
};

std::unique_ptr<DiskService> createSystemDiskService();
