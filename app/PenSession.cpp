#include "PenSession.h"

#include "BookHeader.h"
#include "DiskJobs.h"
#include "Log.h"
#include "MountWatcher.h"
#include "PenJobs.h"
#include "UsbMonitor.h"
#include "VolumePath.h"

#include <algorithm>
#include <utility>

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
    // Jobs on the pens stop at their next call; the one under way is waited for.
    for (auto& [bsdName, jobs] : m_jobs)
        delete jobs;
    m_jobs.clear();
    // A disk call still running uses the disk service: it ends before the service does.
    delete m_diskJobs;
}

void PenSession::start()
{
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

bool PenSession::diskJobsRunning() const { return m_diskJobs && m_diskJobs->isBusy(); }

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
    return jobs != m_jobs.end() && jobs->second->isBusy(PenJobKind::WriteJob);
}

namespace {
// A job that computes a result on the pen's thread and hands it to `done` on the main thread.
template <typename Result>
void postFor(PenJobs* jobs, const QString& kind, std::function<Result(std::stop_token)> work,
    std::function<void(const Result&)> done)
{
    jobs->post(
        kind, [work = std::move(work), done = std::move(done)](std::stop_token stop) -> PenJobs::Deliver {
            auto result = std::make_shared<Result>(work(stop));
            return [done, result] { done(*result); };
        });
}
}

void PenSession::listPen(const QString& bsdName, const QString& volume, const QString& pathKavo,
    std::function<void(const PenListing&)> done)
{
    postFor<PenListing>(
        jobsFor(bsdName), PenJobKind::ListingJob,
        [volume, pathKavo](std::stop_token stop) {
            PenListing listing;
            listing.rows = ScanCatalogue(pathKavo, &listing.problem, stop);
            if (!stop.stop_requested() && !volume.isEmpty()) {
                listing.usage = queryVolumeUsage(volume);
                listing.volumeLabel = volumeLabel(volume);
            }
            return listing;
        },
        std::move(done));
}

void PenSession::readStartSticker(
    const QString& bsdName, const QString& file, bool masked, std::function<void(int value)> done)
{
    postFor<int>(
        jobsFor(bsdName), PenJobKind::HeaderJob,
        [file, masked](std::stop_token) { return masked ? ReadOffsetOidUnb(file) : ReadOffsetOid(file); },
        std::move(done));
}

void PenSession::checkPackageFolder(
    const QString& bsdName, const QString& pathKavo, std::function<void(PackageFolder::Problem)> done)
{
    postFor<PackageFolder::Problem>(
        jobsFor(bsdName), PenJobKind::InstallCheckJob,
        [pathKavo](std::stop_token) { return PackageFolder::open(pathKavo).problem(); }, std::move(done));
}

void PenSession::removePackage(const QString& bsdName, const QString& file, const QString& pathKavo,
    std::function<void(RemovalResult)> done)
{
    postFor<RemovalResult>(
        jobsFor(bsdName), PenJobKind::WriteJob,
        [file, pathKavo](std::stop_token) { return ::removePackage(file, pathKavo); }, std::move(done));
}

void PenSession::changeStickers(const QString& bsdName, const StickerChangeRequest& request,
    std::function<void(const StickerChangeResult&)> done)
{
    postFor<StickerChangeResult>(
        jobsFor(bsdName), PenJobKind::WriteJob,
        [request](std::stop_token) { return applyStickerChange(request); }, std::move(done));
}

// Reads the pen's product.ini off the main thread and stores the serial in its record.
void PenSession::readSerialLater(const QString& bsdName)
{
    const QString volume = m_volumePath(bsdName);
    jobsFor(bsdName)->post(
        PenJobKind::SerialJob, [this, bsdName, volume](std::stop_token) -> PenJobs::Deliver {
            const QByteArray ini = ReadProductIni(volume);
            return [this, bsdName, ini] {
                const auto pen = m_pens.find(bsdName);
                if (pen == m_pens.end())
                    return;
                const PenRecord& old = pen->second;
                pen->second = BuildPenRecord(old.vendor, old.product, old.revision, old.bsdName, ini);
                emit serialRead(bsdName);
            };
        });
}

DiskJobs* PenSession::diskJobs()
{
    if (!m_diskService)
        m_diskService = createSystemDiskService();
    if (!m_diskJobs)
        m_diskJobs = new DiskJobs(m_diskService.get(), this);
    return m_diskJobs;
}

void PenSession::storePen(const PenRecord& record)
{
    m_pens.insert_or_assign(record.bsdName, record);
    const QString volume = m_volumePath(record.bsdName);
    m_knownVolumes[record.bsdName] = volume;
    // A pen recognised on the bus comes without its serial: that is read from its volume.
    if (!volume.isEmpty() && record.serialText().isEmpty())
        readSerialLater(record.bsdName);
    emit penStored(record.bsdName);
    if (volume.isEmpty() && m_autoMount)
        mountVolume(record.bsdName);
}

// Where nothing mounted a new pen, mount it as a desktop would. The serial and the packages
// follow when the volume appears (volumesChanged).
void PenSession::mountVolume(const QString& bsdName)
{
    diskJobs()->mountFilesystem(bsdName, [this, bsdName](const QString& mountPoint, const QString& error) {
        if (mountPoint.isEmpty()) {
            logErr("Mounting /dev/%s failed: %s\n", bsdName.toUtf8().constData(), error.toUtf8().constData());
            return;
        }
        volumesChanged();
    });
}

void PenSession::forget(const QString& bsdName)
{
    m_pens.erase(bsdName);
    m_knownVolumes.erase(bsdName);
}

void PenSession::penUnplugged(const QString& bsdName)
{
    if (m_pens.find(bsdName) == m_pens.end())
        return;
    forget(bsdName);
    // Its reads end with what the pen gave them; their results are for nobody now. A removal or
    // a sticker change under way ends with its own failure.
    if (const auto jobs = m_jobs.find(bsdName); jobs != m_jobs.end()) {
        for (const QString& kind : { PenJobKind::ListingJob, PenJobKind::SerialJob, PenJobKind::HeaderJob,
                 PenJobKind::InstallCheckJob })
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

bool PenSession::eject(const QString& bsdName)
{
    if (isEjecting() || m_pens.find(bsdName) == m_pens.end())
        return false;
    m_ejecting = bsdName;
    // Unmounting writes back what is cached for the pen: seconds on slow flash. The window
    // keeps painting meanwhile.
    diskJobs()->ejectDrive(m_ejecting, [this](bool ejected, const QString& error) {
        const QString bsdName = std::exchange(m_ejecting, QString());
        if (!ejected) {
            logErr("Ejecting /dev/%s failed: %s\n", bsdName.toUtf8().constData(), error.toUtf8().constData());
        } else {
            // The pen may still hold unwritten data when the eject failed: it stays listed.
            forget(bsdName);
        }
        emit ejectFinished(bsdName, ejected);
    });
    return true;
}
