#include "PenSession.h"

#include "BookHeader.h"
#include "Log.h"
#include "MountWatcher.h"
#include "PenJobs.h"
#include "Texts.h"
#include "UsbMonitor.h"
#include "VolumePath.h"

#include <QDir>
#include <QPointer>

#include <algorithm>
#include <utility>

namespace {
// The kinds of reads that are for nobody once their pen is gone or being ejected.
const QStringList SupersededReads { PenJobKind::ListingJob, PenJobKind::SerialJob, PenJobKind::HeaderJob,
    PenJobKind::InstallCheckJob, PenJobKind::ProposalJob, PenJobKind::NameCheckJob };

// Whether the pen at `volume` is still the one the user acted on.
std::optional<JobRefusal> checkIdentity(const QString& volume, const PenIdentity& expected)
{
    const PenIdentity now = ReadPenIdentity(volume);
    if (now.device == 0)
        return JobRefusal::PenGone;
    if (expected.device != 0 && now.device != expected.device)
        return JobRefusal::OtherPen;
    if (!expected.serial.isEmpty() && now.serial != expected.serial)
        return now.serial.isEmpty() ? JobRefusal::PenGone : JobRefusal::OtherPen;
    return std::nullopt;
}

// A job that computes a result on the pen's thread and hands it to `done` on the main thread.
template <typename Result>
PenDoor::Work resultJob(
    std::function<Result(const PenJobContext&)> work, std::function<void(const Result&)> done)
{
    return
        [work = std::move(work), done = std::move(done)](const PenJobContext& context) -> PenDoor::Deliver {
            auto result = std::make_shared<Result>(work(context));
            return [done, result] { done(*result); };
        };
}

// Progress reported from a job, shown on the main thread.
TransferProgress progressOf(const PenJobContext& context, const PenSession::Progress& progress)
{
    if (!progress)
        return {};
    return [report = context.report, progress](qint64 done, qint64 total, const QString& name) {
        report([progress, done, total, name] { progress(done, total, name); });
    };
}

// The door of one pen, bound to who the pen was when it was opened.
class SessionDoor : public PenDoor {
public:
    SessionDoor(PenSession* session, QString bsdName, PenIdentity identity, QString pathKavo)
        : m_session(session)
        , m_bsdName(std::move(bsdName))
        , m_identity(std::move(identity))
        , m_pathKavo(std::move(pathKavo))
    {
    }
    quint64 post(JobAccess access, const QString& kind, Work work, Refused refused) override
    {
        if (!m_session)
            return 0;
        return m_session->post(m_bsdName, access, kind, std::move(work), std::move(refused),
            access == JobAccess::Read ? std::nullopt : std::optional(m_identity));
    }
    void cancel(quint64 job) override
    {
        if (m_session)
            m_session->cancel(m_bsdName, job);
    }
    QString packageDirectory() const override { return m_pathKavo; }

private:
    QPointer<PenSession> m_session;
    QString m_bsdName;
    PenIdentity m_identity;
    QString m_pathKavo;
};
}

PenSession::PenSession(QObject* parent)
    : QObject(parent)
    , m_volumePath([](const QString& bsdName) { return VolumePathForBSDName(bsdName); })
{
    // Volume changes that come while a modal dialog is open are looked at once it closes.
    m_volumesRetry.setSingleShot(true);
    m_volumesRetry.setInterval(250);
    connect(&m_volumesRetry, &QTimer::timeout, this, &PenSession::volumesChanged);
}

PenSession::~PenSession()
{
    if (penHost() == this)
        setPenHost(nullptr);
    // Jobs on the pens stop at their next call; the one under way (a disk call too) is waited
    // for, before the disk service goes.
    for (auto& [bsdName, jobs] : m_jobs)
        delete jobs;
    m_jobs.clear();
}

void PenSession::start()
{
    setPenHost(this);
    m_pens.clear();
    // Desktops mount a new pen a moment after it appears, often after the lookup has looked,
    // and other programs may unmount it.
    if (!m_mountWatcher) {
        m_mountWatcher = new MountWatcher(QStringLiteral("/proc/self/mountinfo"), this);
        connect(m_mountWatcher, &MountWatcher::mountsChanged, this, &PenSession::volumesChanged);
    }
}

void PenSession::startUsbMonitoring()
{
    if (!m_monitorUsb || m_usbMonitor)
        return;
    // The lookup reads nothing from the pen's volume: storePen reads its serial in the background.
    m_usbMonitor = new UsbMonitor({}, this);
    // Pens that arrive while a modal dialog (the install) is open are listed once it closes.
    m_usbMonitor->setDeferWhile(m_busy);
    m_usbMonitor->start();
}

PenIdentity PenSession::identityOf(const QString& bsdName) const
{
    const auto known = m_identities.find(bsdName);
    return known == m_identities.end() ? PenIdentity() : known->second;
}

PenJobs* PenSession::jobsFor(const QString& bsdName)
{
    PenJobs*& jobs = m_jobs[bsdName];
    if (!jobs) {
        jobs = new PenJobs(this);
        connect(jobs, &PenJobs::busyChanged, this, &PenSession::penJobsBusyChanged);
    }
    return jobs;
}

bool PenSession::penJobsRunning(const QString& bsdName) const
{
    if (!bsdName.isEmpty()) {
        const auto jobs = m_jobs.find(bsdName);
        return jobs != m_jobs.end() && jobs->second->isBusy();
    }
    return std::any_of(m_jobs.begin(), m_jobs.end(), [](const auto& pen) { return pen.second->isBusy(); });
}

bool PenSession::isWriting(const QString& bsdName) const
{
    const auto jobs = m_jobs.find(bsdName);
    const auto holds = m_holds.find(bsdName);
    return (jobs != m_jobs.end() && jobs->second->isBusy(JobAccess::Write))
        || (holds != m_holds.end() && holds->second > 0);
}

bool PenSession::mayWrite(const QString& bsdName) const
{
    return m_pens.find(bsdName) != m_pens.end() && m_ejecting != bsdName && !isWriting(bsdName);
}

std::shared_ptr<PenDoor> PenSession::door(const QString& bsdName)
{
    return std::make_shared<SessionDoor>(
        this, bsdName, identityOf(bsdName), packageDirectoryFor(m_volumePath(bsdName)));
}

quint64 PenSession::post(const QString& bsdName, JobAccess access, const QString& kind, PenDoor::Work work,
    PenDoor::Refused refused, const std::optional<PenIdentity>& identity)
{
    // Nothing is written to a pen that is being ejected: the unmount would cut it short.
    if (access == JobAccess::Write && isEjecting() && m_ejecting == bsdName) {
        if (refused)
            QMetaObject::invokeMethod(
                this, [refused] { refused(JobRefusal::EjectPending); }, Qt::QueuedConnection);
        return 0;
    }
    PenJobs::Job job { access, kind, std::move(work), std::move(refused), {} };
    if (identity && identity->isKnown()) {
        // Pens of one model share a volume label, so a desktop mounts another pen exactly where
        // this one was: the pen is asked who it is right before the job touches it.
        job.admit = [volume = m_volumePath(bsdName), expected = *identity] {
            return checkIdentity(volume, expected);
        };
    }
    const quint64 id = jobsFor(bsdName)->post(std::move(job));
    emit penJobsBusyChanged();
    return id;
}

void PenSession::cancel(const QString& bsdName, quint64 job)
{
    if (const auto jobs = m_jobs.find(bsdName); jobs != m_jobs.end() && job != 0)
        jobs->second->cancelJob(job);
}

void PenSession::forgetListing()
{
    ++m_listing;
    m_listingPending = false;
}

const PenListing* PenSession::lastListing(const QString& bsdName) const
{
    const auto known = m_volumes.find(bsdName);
    return known == m_volumes.end() ? nullptr : &known->second;
}

QString PenSession::penDetails(const QString& bsdName) const
{
    const auto pen = m_pens.find(bsdName);
    if (pen == m_pens.end())
        return {};
    const QString volume = m_volumePath(bsdName);
    if (const PenListing* known = lastListing(bsdName))
        return ::penDetails(pen->second, volume, known->volumeLabel, known->usage);
    return ::penDetails(
        pen->second, volume, volume.isEmpty() ? QString() : QDir(volume).dirName(), std::nullopt);
}

void PenSession::listPen(const QString& bsdName, const QString& volume, const QString& pathKavo,
    std::function<void(const PenListing&)> done)
{
    const quint64 listing = ++m_listing;
    m_listingPending = true;
    auto deliver = [this, listing, bsdName, done = std::move(done)](const PenListing& read) {
        if (listing != m_listing)
            return;
        m_listingPending = false;
        m_volumes[bsdName] = { {}, {}, read.volumeLabel, read.usage };
        done(read);
    };
    post(bsdName, JobAccess::Read, PenJobKind::ListingJob,
        resultJob<PenListing>(
            [volume, pathKavo](const PenJobContext& context) {
                PenListing listing;
                listing.rows = ScanCatalogue(pathKavo, &listing.problem, context.stop);
                if (!context.stopped() && !volume.isEmpty()) {
                    listing.usage = queryVolumeUsage(volume);
                    listing.volumeLabel = volumeLabel(volume);
                }
                return listing;
            },
            std::function<void(const PenListing&)>(std::move(deliver))));
}

void PenSession::readStartSticker(
    const QString& bsdName, const QString& file, bool masked, std::function<void(int value)> done)
{
    post(bsdName, JobAccess::Read, PenJobKind::HeaderJob,
        resultJob<int>(
            [file, masked](
                const PenJobContext&) { return masked ? ReadOffsetOidUnb(file) : ReadOffsetOid(file); },
            std::move(done)));
}

void PenSession::checkPackageFolder(
    const QString& bsdName, const QString& pathKavo, std::function<void(PackageFolder::Problem)> done)
{
    post(bsdName, JobAccess::Read, PenJobKind::InstallCheckJob,
        resultJob<PackageFolder::Problem>(
            [pathKavo](const PenJobContext&) { return PackageFolder::open(pathKavo).problem(); },
            std::move(done)));
}

void PenSession::removePackage(const QString& bsdName, const PenIdentity& identity, const QString& file,
    const QString& pathKavo, std::function<void(RemovalResult)> done, PenDoor::Refused refused)
{
    post(bsdName, JobAccess::Write, PenJobKind::WriteJob,
        resultJob<RemovalResult>(
            [file, pathKavo](const PenJobContext&) { return ::removePackage(file, pathKavo); },
            std::move(done)),
        std::move(refused), identity);
}

void PenSession::changeStickers(const QString& bsdName, const PenIdentity& identity,
    const StickerChangeRequest& request, std::function<void(const StickerChangeResult&)> done,
    PenDoor::Refused refused)
{
    post(bsdName, JobAccess::Write, PenJobKind::WriteJob,
        resultJob<StickerChangeResult>(
            [request](const PenJobContext&) { return applyStickerChange(request); }, std::move(done)),
        std::move(refused), identity);
}

quint64 PenSession::backupPen(const QString& bsdName, const PenIdentity& identity, const QString& folder,
    Progress progress, std::function<void(const BackupReport&)> done, PenDoor::Refused refused)
{
    const QString pathKavo = packageDirectoryFor(m_volumePath(bsdName));
    // The manifest keeps the serial of the pen that is there when the backup starts: the job is
    // bound to it.
    const auto pen = m_pens.find(bsdName);
    const QString serial
        = !identity.serial.isEmpty() || pen == m_pens.end() ? identity.serial : pen->second.serialText();
    // The pen is held while it is backed up, as the source of a copy is: nothing is written to it
    // meanwhile, and its eject waits for the backup.
    ++m_holds[bsdName];
    return post(
        bsdName, JobAccess::Read, PenJobKind::WriteJob,
        resultJob<BackupReport>(
            [pathKavo, serial, folder, progress](const PenJobContext& context) {
                BackupOptions options;
                options.progress = progressOf(context, progress);
                options.cancelled = [stop = context.stop] { return stop.stop_requested(); };
                return ::backupPen(pathKavo, serial, folder, options);
            },
            [this, bsdName, done = std::move(done)](const BackupReport& report) {
                release(bsdName);
                done(report);
            }),
        [this, bsdName, refused = std::move(refused)](JobRefusal why) {
            release(bsdName);
            if (refused)
                refused(why);
        },
        identity);
}

void PenSession::planRestore(
    const QString& bsdName, const QString& folder, std::function<void(const TransferPlan&)> done)
{
    const QString pathKavo = packageDirectoryFor(m_volumePath(bsdName));
    post(bsdName, JobAccess::Read, PenJobKind::WriteJob,
        resultJob<TransferPlan>(
            [folder, pathKavo](const PenJobContext&) {
                TransferPlan plan;
                const QList<TransferItem> items = itemsFromBackup(folder, &plan.listing);
                plan.plan = planTransfer(items, pathKavo);
                return plan;
            },
            std::move(done)));
}

void PenSession::planCopy(const QString& from, const BookList& rows, const QString& to,
    std::function<void(const TransferPlan&)> done)
{
    const QString source = packageDirectoryFor(m_volumePath(from));
    // The rows are looked at on their own pen, then the names planned on the other.
    post(from, JobAccess::Read, PenJobKind::WriteJob,
        [this, rows, source, to, done = std::move(done)](const PenJobContext&) -> PenDoor::Deliver {
            auto plan = std::make_shared<TransferPlan>();
            const QList<TransferItem> items = itemsFromRows(rows, source, &plan->refused);
            return [this, plan, items, to, done] {
                const QString target = packageDirectoryFor(m_volumePath(to));
                post(to, JobAccess::Read, PenJobKind::WriteJob,
                    resultJob<TransferPlan>(
                        [plan, items, target](const PenJobContext&) {
                            TransferPlan planned = *plan;
                            planned.plan = planTransfer(items, target);
                            return planned;
                        },
                        done));
            };
        });
}

quint64 PenSession::runTransfer(const QString& to, const PenIdentity& identity,
    const QList<PlannedItem>& plan, const QString& from, Progress progress,
    std::function<void(const TransferReport&)> done, PenDoor::Refused refused)
{
    const QString pathKavo = packageDirectoryFor(m_volumePath(to));
    if (!from.isEmpty())
        ++m_holds[from];
    const auto released = [this, from] {
        if (!from.isEmpty())
            release(from);
    };
    const quint64 job = post(
        to, JobAccess::Write, PenJobKind::WriteJob,
        resultJob<TransferReport>(
            [plan, pathKavo, progress](const PenJobContext& context) {
                TransferOptions options;
                options.progress = progressOf(context, progress);
                options.cancelled = [stop = context.stop] { return stop.stop_requested(); };
                return ::runTransfer(plan, pathKavo, options);
            },
            [done = std::move(done), released](const TransferReport& report) {
                released();
                done(report);
            }),
        [refused = std::move(refused), released](JobRefusal why) {
            released();
            if (refused)
                refused(why);
        },
        identity);
    return job;
}

// A copy that read from the pen has ended: an eject that waited for it may start.
void PenSession::release(const QString& bsdName)
{
    if (--m_holds[bsdName] > 0)
        return;
    m_holds.erase(bsdName);
    emit penJobsBusyChanged();
    if (m_ejectDeferred && m_ejecting == bsdName) {
        m_ejectDeferred = false;
        startEject(bsdName);
    }
}

// Reads who the pen is off the main thread: its product.ini, whose serial goes into its record
// (unless the record came with one), and its volume's device.
void PenSession::readSerialLater(const QString& bsdName, bool keepSerial)
{
    const QString volume = m_volumePath(bsdName);
    post(bsdName, JobAccess::Read, PenJobKind::SerialJob,
        [this, bsdName, volume, keepSerial](const PenJobContext&) -> PenDoor::Deliver {
            const QByteArray ini = keepSerial ? QByteArray() : ReadProductIni(volume);
            const PenIdentity identity = ReadPenIdentity(volume);
            return [this, bsdName, ini, identity, keepSerial] {
                const auto pen = m_pens.find(bsdName);
                if (pen == m_pens.end())
                    return;
                m_identities[bsdName] = identity;
                if (keepSerial)
                    return;
                const PenRecord& old = pen->second;
                pen->second = BuildPenRecord(old.vendor, old.product, old.revision, old.bsdName, ini);
                emit serialRead(bsdName);
            };
        });
}

DiskService* PenSession::diskService()
{
    if (!m_diskService)
        m_diskService = createSystemDiskService();
    return m_diskService.get();
}

void PenSession::storePen(const PenRecord& record)
{
    m_pens.insert_or_assign(record.bsdName, record);
    const QString volume = m_volumePath(record.bsdName);
    m_knownVolumes[record.bsdName] = volume;
    m_identities.erase(record.bsdName);
    // Who the pen is comes from its volume: the serial, which a pen recognised on the bus lacks,
    // and the volume's device.
    if (!volume.isEmpty())
        readSerialLater(record.bsdName, !record.serialText().isEmpty());
    emit penStored(record.bsdName);
    if (volume.isEmpty() && m_autoMount)
        mountVolume(record.bsdName);
}

// Where nothing mounted a new pen, mount it as a desktop would. The serial and the packages
// follow when the volume appears (volumesChanged).
void PenSession::mountVolume(const QString& bsdName)
{
    DiskService* service = diskService();
    ++m_diskJobs;
    post(
        bsdName, JobAccess::Exclusive, PenJobKind::WriteJob,
        [this, service, bsdName](const PenJobContext&) -> PenDoor::Deliver {
            QString error;
            const QString mountPoint = service->mountFilesystem(bsdName, &error);
            return [this, bsdName, mountPoint, error] {
                --m_diskJobs;
                if (mountPoint.isEmpty()) {
                    logErr("Mounting /dev/%s failed: %s\n", bsdName.toUtf8().constData(),
                        error.toUtf8().constData());
                    return;
                }
                volumesChanged();
            };
        },
        [this](JobRefusal) { --m_diskJobs; });
}

void PenSession::forget(const QString& bsdName)
{
    m_pens.erase(bsdName);
    m_knownVolumes.erase(bsdName);
    m_identities.erase(bsdName);
    m_volumes.erase(bsdName);
}

void PenSession::penUnplugged(const QString& bsdName)
{
    if (m_pens.find(bsdName) == m_pens.end())
        return;
    forget(bsdName);
    // Its reads end with what the pen gave them; their results are for nobody now. A write under
    // way ends with its own failure.
    if (const auto jobs = m_jobs.find(bsdName); jobs != m_jobs.end()) {
        for (const QString& kind : SupersededReads)
            jobs->second->cancel(kind);
    }
    emit penGone(bsdName, bsdName == m_ejecting);
}

bool PenSession::rereadSerial(const QString& bsdName)
{
    if (m_pens.find(bsdName) == m_pens.end())
        return false;
    const QString volume = m_volumePath(bsdName);
    readSerialLater(bsdName);
    auto& known = m_knownVolumes[bsdName];
    return std::exchange(known, volume) != volume;
}

void PenSession::volumesChanged()
{
    // Not under an open dialog: the install and the removal work on the listed package folder.
    if (m_busy && m_busy()) {
        m_volumesRetry.start();
        return;
    }
    QStringList moved;
    for (auto& [bsdName, record] : m_pens) {
        if (m_volumePath(bsdName) == m_knownVolumes[bsdName])
            continue;
        if (rereadSerial(bsdName))
            moved.append(bsdName);
    }
    if (!moved.isEmpty())
        emit volumesMoved(moved);
}

PenSession::EjectStart PenSession::eject(const QString& bsdName)
{
    if (isEjecting() || m_pens.find(bsdName) == m_pens.end())
        return EjectStart::Refused;
    m_ejecting = bsdName;
    PenJobs* jobs = jobsFor(bsdName);
    // Reads waiting for the pen are for nobody now; they would also keep files open.
    for (const QString& kind : SupersededReads)
        jobs->cancel(kind);
    const bool writes = isWriting(bsdName);
    if (m_holds.count(bsdName) > 0)
        m_ejectDeferred = true; // started once the copy that reads from it has ended
    else
        startEject(bsdName);
    emit penJobsBusyChanged();
    return writes ? EjectStart::WaitsForWrites : EjectStart::Started;
}

// The eject is the pen's last job: the writes before it end first.
void PenSession::startEject(const QString& bsdName)
{
    DiskService* service = diskService();
    ++m_diskJobs;
    post(bsdName, JobAccess::Exclusive, PenJobKind::WriteJob,
        [this, service, bsdName](const PenJobContext& context) -> PenDoor::Deliver {
            context.report([this, bsdName] { emit ejectStarted(bsdName); });
            // Unmounting writes back what is cached for the pen: seconds on slow flash.
            QString error;
            const bool ejected = service->ejectDrive(bsdName, &error);
            return [this, bsdName, ejected, error] {
                --m_diskJobs;
                m_ejecting.clear();
                if (!ejected) {
                    logErr("Ejecting /dev/%s failed: %s\n", bsdName.toUtf8().constData(),
                        error.toUtf8().constData());
                } else {
                    // The pen may still hold unwritten data when the eject failed: it stays listed.
                    forget(bsdName);
                }
                emit ejectFinished(bsdName, ejected);
            };
        });
}
