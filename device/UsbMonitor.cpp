#include "UsbMonitor.h"

#include "Log.h"
#include "PenHost.h"
#include "UsbIds.h"

#include <QSocketNotifier>

#include <libudev.h>

#include <cerrno>
#include <memory>

namespace {
struct UdevDeviceDeleter {
    void operator()(udev_device* device) const { udev_device_unref(device); }
};
using UdevDevice = std::unique_ptr<udev_device, UdevDeviceDeleter>;

bool isUsbDevice(udev_device* device)
{
    const char* type = udev_device_get_devtype(device);
    return type && qstrcmp(type, "usb_device") == 0;
}

// A sysfs attribute of the device; on failure the reason as a result code for the log.
const char* attribute(udev_device* device, const char* name, int* code)
{
    errno = 0;
    const char* value = udev_device_get_sysattr_value(device, name);
    if (!value)
        *code = errno ? errno : ENOENT;
    return value;
}

std::optional<quint16> hexAttribute(udev_device* device, const char* name, int* code)
{
    const char* value = attribute(device, name, code);
    if (!value)
        return std::nullopt;
    bool ok = false;
    const uint number = QByteArray(value).trimmed().toUInt(&ok, 16);
    if (!ok || number > 0xFFFF) {
        *code = EINVAL;
        return std::nullopt;
    }
    return quint16(number);
}

std::optional<quint32> locationAttribute(udev_device* device, int* code)
{
    const char* bus = attribute(device, "busnum", code);
    const char* devpath = bus ? attribute(device, "devpath", code) : nullptr;
    if (!devpath)
        return std::nullopt;
    bool ok = false;
    const int busNumber = QByteArray(bus).trimmed().toInt(&ok, 10);
    const auto location
        = ok ? usbLocationID(busNumber, QString::fromLatin1(QByteArray(devpath).trimmed())) : std::nullopt;
    if (!location)
        *code = EINVAL;
    return location;
}
}

UsbMonitor::UsbMonitor(VolumePathResolver volumePath, QObject* parent)
    : QObject(parent)
    , m_lookup(m_registry, std::move(volumePath))
{
    m_settle.setSingleShot(true);
    m_settle.setInterval(SettleTimeMs);
    connect(&m_settle, &QTimer::timeout, this, &UsbMonitor::settled);
    m_deferred.setSingleShot(true);
    m_deferred.setInterval(DeferRetryMs);
    connect(&m_deferred, &QTimer::timeout, this, [this] {
        // A device that arrived meanwhile has its own settle time running; that pass takes all.
        if (!m_settle.isActive())
            settled();
    });
}

UsbMonitor::~UsbMonitor()
{
    if (m_monitor)
        udev_monitor_unref(m_monitor);
    if (m_udev)
        udev_unref(m_udev);
}

bool UsbMonitor::start()
{
    if (m_udev)
        return m_notifier != nullptr;
    m_udev = udev_new();
    udev_enumerate* enumerate = m_udev ? udev_enumerate_new(m_udev) : nullptr;
    if (!enumerate) {
        logErr("IOServiceMatching returned NULL.\n");
        return false;
    }

    // The monitor listens before the bus is listed, so a pen plugged in meanwhile is not
    // missed; one that is both listed and announced is looked at once (see handleDevice).
    m_monitor = udev_monitor_new_from_netlink(m_udev, "udev");
    if (m_monitor
        && (udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "usb", "usb_device") < 0
            || udev_monitor_enable_receiving(m_monitor) < 0)) {
        udev_monitor_unref(m_monitor);
        m_monitor = nullptr;
    }

    udev_enumerate_add_match_subsystem(enumerate, "usb");
    udev_enumerate_scan_devices(enumerate);
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate))
    {
        const char* syspath = udev_list_entry_get_name(entry);
        UdevDevice device(udev_device_new_from_syspath(m_udev, syspath));
        if (device && isUsbDevice(device.get()))
            m_pending.append(QString::fromLocal8Bit(syspath));
    }
    udev_enumerate_unref(enumerate);
    DeviceAdded();

    if (!m_monitor) {
        logErr("The USB bus cannot be watched: pens plugged in from now on are not seen.\n");
        return false;
    }
    m_notifier = new QSocketNotifier(udev_monitor_get_fd(m_monitor), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &UsbMonitor::readMonitor);
    return true;
}

void UsbMonitor::readMonitor()
{
    while (UdevDevice device { udev_monitor_receive_device(m_monitor) }) {
        if (!isUsbDevice(device.get()))
            continue;
        const char* action = udev_device_get_action(device.get());
        const QString syspath = QString::fromLocal8Bit(udev_device_get_syspath(device.get()));
        if (qstrcmp(action, "add") == 0) {
            if (!m_pending.contains(syspath))
                m_pending.append(syspath);
            // One wait for everything that arrives together: a pen behind a new hub, or
            // several devices plugged at once. A timer, so the window keeps responding.
            if (!m_settle.isActive()) {
                logErr("DeviceAdded runin.\n");
                m_settle.start();
            }
        } else if (qstrcmp(action, "remove") == 0) {
            m_pending.removeAll(syspath);
            DeviceRemoved(syspath);
        }
    }
    if (m_unplugged.isEmpty())
        return;
    if (m_busy && m_busy()) {
        if (!m_deferred.isActive())
            m_deferred.start();
        return;
    }
    dropUnplugged();
}

void UsbMonitor::settled()
{
    if (m_busy && m_busy()) {
        m_deferred.start();
        return;
    }
    // A pen unplugged and plugged in again within the settle time: drop the old one first.
    dropUnplugged();
    DeviceAdded();
}

void UsbMonitor::dropUnplugged()
{
    const QStringList gone = std::exchange(m_unplugged, {});
    PenHost* host = penHost();
    for (const QString& bsdName : gone) {
        if (host)
            host->penUnplugged(bsdName);
    }
}

void UsbMonitor::DeviceAdded()
{
    // Taken out first, so the list never changes while it is being handled.
    const QStringList devices = std::exchange(m_pending, {});
    for (const QString& syspath : devices)
        handleDevice(syspath);
}

void UsbMonitor::handleDevice(const QString& syspath)
{
    // Listed at start and announced as well: it is the same arrival.
    if (m_pens.contains(syspath))
        return;

    errno = 0;
    UdevDevice device(udev_device_new_from_syspath(m_udev, syspath.toLocal8Bit().constData()));
    if (!device) {
        // Gone again before it could be looked at.
        logErr("IOCreatePlugInInterfaceForService returned 0x%08x.\n", errno ? errno : ENODEV);
        return;
    }
    // On other systems the registry name of a USB device is its product string; sysfs has it
    // as `product`. Devices without one are named by their kernel name (1-1.2).
    PrivateData data;
    const char* product = udev_device_get_sysattr_value(device.get(), "product");
    data.deviceName = QString::fromUtf8(product ? product : udev_device_get_sysname(device.get())).trimmed();

    int code = 0;
    const auto location = locationAttribute(device.get(), &code);
    if (!location) {
        logErr("GetLocationID returned 0x%08x.\n", code);
        return;
    }
    const auto vendorID = hexAttribute(device.get(), "idVendor", &code);
    if (!vendorID) {
        logErr("GetDeviceVendor returned 0x%08x.\n", code);
        return;
    }
    const auto productID = hexAttribute(device.get(), "idProduct", &code);
    if (!productID) {
        logErr("GetDeviceProduct returned 0x%08x.\n", code);
        return;
    }
    data.locationID = *location;
    if (!isPenModel(*vendorID, *productID))
        return;

    logOut("New KAVO added.\n");
    data.bsdName = m_lookup.findLocationID(data.locationID);
    m_pens.insert(syspath, data);
}

void UsbMonitor::DeviceRemoved(const QString& syspath)
{
    const auto pen = m_pens.constFind(syspath);
    if (pen == m_pens.cend())
        return;
    logErr("Device removed.\n");
    logErr("privateDataRef->deviceName: %s\n", pen->deviceName.toUtf8().constData());
    logErr("privateDataRef->locationID: 0x%x.\n\n", pen->locationID);
    // A pen that is not there any more is not listed: its volume, if still in the mount
    // table, holds nothing readable, and every action on it would fail.
    if (!pen->bsdName.isEmpty() && !m_unplugged.contains(pen->bsdName))
        m_unplugged.append(pen->bsdName);
    m_pens.erase(pen);
}
