#pragma once

#include "BookRemoval.h"
#include "Catalogue.h"
#include "DiskService.h"
#include "PenRecord.h"
#include "StickerChange.h"
#include "VolumeSpace.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <optional>

// What a listing reads from a pen's volume.
struct PenListing {
    BookList rows;
    PackageFolder::Problem problem = PackageFolder::Problem::None;
    QString volumeLabel; // empty when the pen is not mounted
    std::optional<VolumeUsage> usage;
};

class DiskJobs;
class PenJobs;
class MountWatcher;
class UsbMonitor;

// The pens plugged in and what is done to them, without a window: the registry of pens found,
// their volumes as they get mounted and unmounted, the automatic mount of a new pen and the
// eject. It tells the window by signals; the window decides what it shows.
class PenSession : public QObject {
    Q_OBJECT
public:
    using VolumePathResolver = std::function<QString(const QString& bsdName)>;

    explicit PenSession(QObject* parent = nullptr);
    ~PenSession() override;

    // Seams, set before start().
    void setVolumePathResolver(VolumePathResolver resolver) { m_volumePath = std::move(resolver); }
    void setDiskService(std::unique_ptr<DiskService> service) { m_diskService = std::move(service); }
    // Without USB monitoring nothing is mounted either, unless asked for.
    void setUsbMonitoringEnabled(bool enabled) { m_monitorUsb = m_autoMount = enabled; }
    void setAutoMountEnabled(bool enabled) { m_autoMount = enabled; }
    // While this says so (a modal dialog is open), pens and volume changes wait.
    void setDeferWhile(std::function<bool()> busy) { m_busy = std::move(busy); }

    // Forgets every pen and starts following the system's mounts.
    void start();
    // Starts watching the USB bus; its handlers reach the pens through the process-wide host.
    void startUsbMonitoring();

    const PenRegistry& pens() const { return m_pens; }
    // Where the pen's volume is mounted now; empty when it is not.
    QString volumeOf(const QString& bsdName) const { return m_volumePath(bsdName); }

    // A pen recognised on the bus: stored under its BSD name, replacing an earlier record, and
    // mounted when nothing mounted it.
    void storePen(const PenRecord& record);
    // The USB device of a pen went away.
    void penUnplugged(const QString& bsdName);
    // Notes the pen's volume as it is now and reads its serial from it again in the background
    // (serialRead tells when it is in). True when the volume changed.
    bool rereadSerial(const QString& bsdName);
    // A volume was mounted or unmounted: pens whose volume changed get their serial read again.
    void volumesChanged();

    // Ejects the pen in the background; false when it is not known or an eject runs already.
    bool eject(const QString& bsdName);
    bool isEjecting() const { return !m_ejecting.isEmpty(); }
    // The pen being ejected; empty when none is.
    QString ejecting() const { return m_ejecting; }
    bool diskJobsRunning() const;

    // True while a pen (any pen, without a name) has jobs queued, running or being handed over.
    bool penJobsRunning(const QString& bsdName = QString()) const;
    // True while a removal or a sticker change of the pen is queued or runs.
    bool isWriting(const QString& bsdName) const;

    // The work on a pen's files, each a job of its queue; `done` gets the result on the main
    // thread. A newer listing, header read or folder check of a pen supersedes an older one,
    // whose `done` is never called; removals and sticker changes run in the order asked.
    void listPen(const QString& bsdName, const QString& volume, const QString& pathKavo,
        std::function<void(const PenListing&)> done);
    void readStartSticker(
        const QString& bsdName, const QString& file, bool masked, std::function<void(int value)> done);
    void checkPackageFolder(
        const QString& bsdName, const QString& pathKavo, std::function<void(PackageFolder::Problem)> done);
    void removePackage(const QString& bsdName, const QString& file, const QString& pathKavo,
        std::function<void(RemovalResult)> done);
    void changeStickers(const QString& bsdName, const StickerChangeRequest& request,
        std::function<void(const StickerChangeResult&)> done);

signals:
    // A pen was stored (found, or its record replaced).
    void penStored(const QString& bsdName);
    // A pen went away; `duringEject` when it was the one being ejected (powering a pen off
    // during its eject unplugs it too).
    void penGone(const QString& bsdName, bool duringEject);
    // The volumes of these pens changed; their serials are being read again (in the pen's queue,
    // before any job posted after this).
    void volumesMoved(const QStringList& bsdNames);
    // The serial of a pen was read from its volume and stored in its record.
    void serialRead(const QString& bsdName);
    // A pen's jobs started or all ended.
    void penJobsBusyChanged();
    // The eject started by eject() has ended; an ejected pen is gone from the registry.
    void ejectFinished(const QString& bsdName, bool ejected);

private:
    // The queue of file-system jobs of a pen: everything that reads or writes its files runs
    // there, off the main thread, one job at a time.
    PenJobs* jobsFor(const QString& bsdName);
    void mountVolume(const QString& bsdName);
    DiskJobs* diskJobs();
    void forget(const QString& bsdName);
    void readSerialLater(const QString& bsdName);

    PenRegistry m_pens;
    VolumePathResolver m_volumePath;
    std::unique_ptr<DiskService> m_diskService;
    std::function<bool()> m_busy;
    UsbMonitor* m_usbMonitor = nullptr;
    MountWatcher* m_mountWatcher = nullptr;
    DiskJobs* m_diskJobs = nullptr;
    QString m_ejecting; // BSD name of the pen being ejected
    std::map<QString, PenJobs*> m_jobs; // by BSD name
    std::map<QString, QString> m_knownVolumes; // volume path of each pen when last looked at
    QTimer m_volumesRetry;
    bool m_monitorUsb = true;
    bool m_autoMount = true;
};
