#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// Runs a command with the mocked-device environment (LD_PRELOAD, UMOCKDEV_DIR) removed, so that
// tools such as mkfs, losetup and mount see the real system.
bool runOutside(const QString& program, const QStringList& arguments, QByteArray* output = nullptr);

// An ext4 image with a pen's files, attached to a loop device and mounted at a path with a
// space, as the desktop mounts a pen labelled "MY PEN". Needs root and a free loop device.
class LoopPen {
public:
    LoopPen(const QByteArray& productIni, const QString& packageTitle);
    ~LoopPen();
    LoopPen(const LoopPen&) = delete;
    LoopPen& operator=(const LoopPen&) = delete;

    bool isMounted() const { return m_mounted; }
    // Unmounts and mounts again the same loop device at the same place, as a desktop would.
    bool unmount();
    bool mount();
    QString reason() const { return m_reason; }
    QString mountPoint() const { return m_mountPoint; } // without a trailing "/"
    QString loopName() const; // "loop0"
    QByteArray deviceNumber() const { return m_deviceNumber; } // "7:0"

private:
    QTemporaryDir m_dir;
    QString m_mountPoint;
    QString m_loop;
    QByteArray m_deviceNumber;
    QString m_reason;
    bool m_mounted = false;
};
