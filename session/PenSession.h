#pragma once

#include "BookRemoval.h"
#include "Catalogue.h"
#include "DiskService.h"
#include "PenBackup.h"
#include "PenDoor.h"
#include "PenHost.h"
#include "PenRecord.h"
#include "PenTransfer.h"
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

// A restore or copy, planned against the target pen before anything is written.
struct TransferPlan {
    QList<PlannedItem> plan;
    QStringList refused; // rows that are no package file, named in the summary
    BackupListing listing = BackupListing::Ok; // of a backup folder: what it holds
};

class PenJobs;
class MountWatcher;
class UsbMonitor;

// The one door to each pen. It holds the pens plugged in (the registry), follows their volumes
// as they get mounted and unmounted, mounts a new pen and ejects one, and runs every read and
// write of a pen's files as a job of that pen's queue, off the main thread. It decides what may
// run: nothing is written to a pen while its eject is pending, the eject waits for the writes
// before it, and a job bound to a pen's identity is refused when another pen is where that one
// was. It is the process-wide host that the USB handlers reach. It tells the window by signals;
// the window decides what it shows.
class PenSession : public QObject, public PenHost {
    Q_OBJECT
public:
    using VolumePathResolver = std::function<QString(const QString& bsdName)>;
    // Progress of a long job, on the main thread: bytes done of all, and the file at work.
    using Progress = std::function<void(qint64 done, qint64 total, const QString& name)>;

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

    // Forgets every pen, becomes the host the USB handlers reach and follows the system's mounts.
    void start();
    // Starts watching the USB bus.
    void startUsbMonitoring();

    const PenRegistry& pens() const { return m_pens; }
    // Where the pen's volume is mounted now; empty when it is not.
    QString volumeOf(const QString& bsdName) const { return m_volumePath(bsdName); }
    // Who the pen is, as its serial was last read from its volume.
    PenIdentity identityOf(const QString& bsdName) const;

    // PenHost: a pen recognised on the bus is stored under its BSD name, replacing an earlier
    // record, and mounted when nothing mounted it.
    void storePen(const PenRecord& record) override;
    // The USB device of a pen went away.
    void penUnplugged(const QString& bsdName) override;
    // Notes the pen's volume as it is now and reads its serial from it again in the background
    // (serialRead tells when it is in). True when the volume changed.
    bool rereadSerial(const QString& bsdName);
    // A volume was mounted or unmounted: pens whose volume changed get their serial read again.
    void volumesChanged();

    enum class EjectStart { Refused, Started, WaitsForWrites };
    // Ejects the pen as an exclusive job of its queue: the jobs before it end first, and nothing
    // is written to the pen from now on. Refused when the pen is not known or an eject runs.
    EjectStart eject(const QString& bsdName);
    bool isEjecting() const { return !m_ejecting.isEmpty(); }
    // The pen being ejected (or waiting for its eject); empty when none is.
    QString ejecting() const { return m_ejecting; }
    bool diskJobsRunning() const { return m_diskJobs > 0; }

    // True while a pen (any pen, without a name) has jobs queued, running or being handed over.
    bool penJobsRunning(const QString& bsdName = QString()) const;
    // True while a write of the pen is queued or runs, or it is held: backed up, or read by a copy.
    bool isWriting(const QString& bsdName) const;
    // The rule of every action that writes to a pen: known, not being ejected, no write under way.
    bool mayWrite(const QString& bsdName) const;

    // A door to the pen for work below the session (the install dialog), bound to the pen's
    // identity now: its writes are refused when another pen has taken its place.
    std::shared_ptr<PenDoor> door(const QString& bsdName);
    // Posts a job on the pen's queue. With `identity`, the job checks before it starts that the
    // pen at the volume is still that one. Returns the job's number (0: refused at once, through
    // `refused`, on the main thread).
    quint64 post(const QString& bsdName, JobAccess access, const QString& kind, PenDoor::Work work,
        PenDoor::Refused refused = {}, const std::optional<PenIdentity>& identity = std::nullopt);
    // Cancels a job of the pen (see PenDoor::cancel).
    void cancel(const QString& bsdName, quint64 job);

    // The work on a pen's files, each a job of its queue; `done` gets the result on the main
    // thread. A newer listing, header read or folder check of a pen supersedes an older one,
    // whose `done` is never called; writes run in the order asked, each bound to the identity
    // the user acted on.
    //
    // One listing is the window's at a time: a listing of any pen drops the results of those
    // asked for before it, and forgetListing() drops them all.
    void listPen(const QString& bsdName, const QString& volume, const QString& pathKavo,
        std::function<void(const PenListing&)> done);
    void forgetListing();
    // True from a listing's request until its result is handed over.
    bool isListing() const { return m_listingPending; }
    // The label and free space of the pen's volume as its last listing read them (no rows):
    // what tells two pens of one model apart, without asking either pen.
    const PenListing* lastListing(const QString& bsdName) const;
    // What tells the pen from another of the same model (serial, label, free space), from its
    // last listing: the selector and the dialogs name a pen without asking it.
    QString penDetails(const QString& bsdName) const;
    void readStartSticker(
        const QString& bsdName, const QString& file, bool masked, std::function<void(int value)> done);
    void checkPackageFolder(
        const QString& bsdName, const QString& pathKavo, std::function<void(PackageFolder::Problem)> done);
    void removePackage(const QString& bsdName, const PenIdentity& identity, const QString& file,
        const QString& pathKavo, std::function<void(RemovalResult)> done, PenDoor::Refused refused);
    void changeStickers(const QString& bsdName, const PenIdentity& identity,
        const StickerChangeRequest& request, std::function<void(const StickerChangeResult&)> done,
        PenDoor::Refused refused);

    // Backs the pen up into `folder` (a read of the pen, bound to its identity).
    quint64 backupPen(const QString& bsdName, const PenIdentity& identity, const QString& folder,
        Progress progress, std::function<void(const BackupReport&)> done, PenDoor::Refused refused);
    // Plans a restore of the backup in `folder` onto the pen (reads the pen's package folder).
    void planRestore(
        const QString& bsdName, const QString& folder, std::function<void(const TransferPlan&)> done);
    // Plans a copy of rows of the pen `from` onto the pen `to`: the rows are looked at on their
    // own pen, the plan made against the other.
    void planCopy(const QString& from, const BookList& rows, const QString& to,
        std::function<void(const TransferPlan&)> done);
    // Copies the planned packages onto the pen `to` (a write bound to its identity). With `from`,
    // the packages come from that pen, which is held meanwhile: its eject waits for the copy.
    quint64 runTransfer(const QString& to, const PenIdentity& identity, const QList<PlannedItem>& plan,
        const QString& from, Progress progress, std::function<void(const TransferReport&)> done,
        PenDoor::Refused refused);

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
    // A pen's jobs were posted, started or ended: what may be done to it may have changed.
    void penJobsBusyChanged();
    // The eject that waited for a pen's writes has started.
    void ejectStarted(const QString& bsdName);
    // The eject started by eject() has ended; an ejected pen is gone from the registry.
    void ejectFinished(const QString& bsdName, bool ejected);

private:
    PenJobs* jobsFor(const QString& bsdName);
    void mountVolume(const QString& bsdName);
    void startEject(const QString& bsdName);
    DiskService* diskService();
    void forget(const QString& bsdName);
    void readSerialLater(const QString& bsdName, bool keepSerial = false);
    void release(const QString& bsdName);

    PenRegistry m_pens;
    VolumePathResolver m_volumePath;
    std::unique_ptr<DiskService> m_diskService;
    std::function<bool()> m_busy;
    UsbMonitor* m_usbMonitor = nullptr;
    MountWatcher* m_mountWatcher = nullptr;
    QString m_ejecting; // BSD name of the pen being ejected
    bool m_ejectDeferred = false; // the eject waits for a copy that reads from the pen
    int m_diskJobs = 0; // ejects and mounts queued or running
    std::map<QString, PenJobs*> m_jobs; // by BSD name
    std::map<QString, int> m_holds; // copies reading from a pen, by its BSD name
    std::map<QString, QString> m_knownVolumes; // volume path of each pen when last looked at
    std::map<QString, PenIdentity> m_identities; // as each pen's serial was last read
    std::map<QString, PenListing> m_volumes; // each pen's last listing, without its rows
    quint64 m_listing = 0; // the newest listing asked for
    bool m_listingPending = false;
    QTimer m_volumesRetry;
    bool m_monitorUsb = true;
    bool m_autoMount = true;
};
