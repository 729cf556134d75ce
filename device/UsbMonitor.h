#pragma once

#include <QObject>

class DiskService;

// Watches the USB bus for pens. (Being built.)
class UsbMonitor : public QObject {
    Q_OBJECT
public:
    explicit UsbMonitor(DiskService *disks, QObject *parent = nullptr);
    // Handles the pens already attached, then starts watching for new ones.
    bool start();

private:
    DiskService *m_disks = nullptr;
};
