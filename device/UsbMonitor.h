#pragma once

#include "PenLookup.h"
#include "SysfsRegistry.h"

#include <QHash>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>

class QSocketNotifier;
struct udev;
struct udev_monitor;

// Watches the USB bus for pens, on the main thread. The devices attached at start are handled
// at once; a device plugged in later is looked at after a settle time, in which its disk
// appears and the desktop mounts it. Each pen model is handed to the volume lookup by its
// location ID and watched until it is unplugged; then the pen registry drops it.
class UsbMonitor : public QObject {
    Q_OBJECT
public:
    using VolumePathResolver = std::function<QString(const QString& bsdName)>;
    static constexpr int SettleTimeMs = 2000;

    explicit UsbMonitor(VolumePathResolver volumePath, QObject* parent = nullptr);
    ~UsbMonitor() override;

    // Handles the USB devices already attached, then watches for new ones. False when the bus
    // cannot be watched (the devices present were still handled where they could be listed).
    bool start();

    // While `busy` says so (a modal dialog is open), devices that arrive are looked at, and
    // pens that were unplugged are dropped, only once it is over, so the pen list does not
    // change under the dialog.
    void setDeferWhile(std::function<bool()> busy) { m_busy = std::move(busy); }
    static constexpr int DeferRetryMs = 250;

private:
    // Handles every pending device in one pass: at start the devices present, later all
    // devices that arrived during the settle time.
    void DeviceAdded();
    void DeviceRemoved(const QString& syspath);
    void handleDevice(const QString& syspath);
    void readMonitor();

    void dropUnplugged();

    struct PrivateData {
        QString deviceName;
        quint32 locationID = 0;
        QString bsdName; // the pen's key in the registry; empty when the lookup stored none
    };

    SysfsRegistry m_registry;
    PenLookup m_lookup;
    udev* m_udev = nullptr;
    udev_monitor* m_monitor = nullptr;
    QSocketNotifier* m_notifier = nullptr;
    void settled();

    QTimer m_settle;
    QTimer m_deferred; // retries a pass held back while busy
    std::function<bool()> m_busy;
    QStringList m_pending; // syspaths of USB devices not yet looked at
    QStringList m_unplugged; // BSD names of pens gone, not yet dropped from the registry
    QHash<QString, PrivateData> m_pens; // watched pens by syspath
};
