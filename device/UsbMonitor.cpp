#include "UsbMonitor.h"

UsbMonitor::UsbMonitor(DiskService *disks, QObject *parent)
    : QObject(parent)
    , m_disks(disks)
{
}

bool UsbMonitor::start()
{
    return false;
}
