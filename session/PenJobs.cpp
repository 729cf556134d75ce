#include "PenJobs.h"

#include <algorithm>

PenJobs::PenJobs(QObject* parent)
    : QObject(parent)
    , m_worker([this](std::stop_token stop) { run(stop); })
{
}

PenJobs::~PenJobs()
{
    {
        std::lock_guard lock(m_mutex);
        m_queue.clear();
        m_runningStop.request_stop();
    }
    m_worker.request_stop();
    m_wake.notify_all();
    m_worker.join();
    // A result already on its way is dropped with this object's posted events.
}

bool PenJobs::isBusy(const QString& kind) const
{
    const auto count = m_outstandingKind.find(kind);
    return count != m_outstandingKind.end() && count->second > 0;
}

quint64 PenJobs::post(Job job)
{
    const quint64 serial = m_nextSerial++;
    if (m_outstanding++ == 0)
        emit busyChanged(true);
    ++m_outstandingKind[job.kind];
    ++m_outstandingAccess[size_t(job.access)];
    const QString kind = job.kind;
    std::lock_guard lock(m_mutex);
    if (!kind.isEmpty())
        supersede(kind, serial);
    m_queue.push_back({ std::move(job), serial });
    m_wake.notify_all();
    return serial;
}

void PenJobs::cancel(const QString& kind)
{
    if (kind.isEmpty())
        return;
    const int before = m_outstanding;
    {
        std::lock_guard lock(m_mutex);
        supersede(kind, m_nextSerial++);
    }
    if (before > 0 && m_outstanding == 0)
        emit busyChanged(false);
}

void PenJobs::cancelJob(quint64 id)
{
    std::optional<Queued> dropped;
    {
        std::lock_guard lock(m_mutex);
        const auto queued = std::find_if(
            m_queue.begin(), m_queue.end(), [id](const Queued& job) { return job.serial == id; });
        if (queued != m_queue.end()) {
            dropped = std::move(*queued);
            m_queue.erase(queued);
        } else if (m_runningSerial == id) {
            m_runningStop.request_stop();
        }
    }
    if (!dropped)
        return;
    --m_outstandingKind[dropped->job.kind];
    --m_outstandingAccess[size_t(dropped->job.access)];
    if (dropped->job.refused)
        dropped->job.refused(JobRefusal::Cancelled);
    released();
}

// With the lock held: `serial` is now the newest of its kind.
void PenJobs::supersede(const QString& kind, quint64 serial)
{
    m_latest[kind] = serial;
    for (auto job = m_queue.begin(); job != m_queue.end();) {
        if (job->job.kind != kind) {
            ++job;
            continue;
        }
        --m_outstanding;
        --m_outstandingKind[kind];
        --m_outstandingAccess[size_t(job->job.access)];
        job = m_queue.erase(job);
    }
    if (m_runningKind == kind)
        m_runningStop.request_stop();
}

void PenJobs::run(std::stop_token stop)
{
    std::unique_lock lock(m_mutex);
    while (m_wake.wait(lock, stop, [this] { return !m_queue.empty(); })) {
        Queued job = std::move(m_queue.front());
        m_queue.pop_front();
        m_runningKind = job.job.kind;
        m_runningSerial = job.serial;
        m_runningStop = std::stop_source();
        const std::stop_token token = m_runningStop.get_token();
        lock.unlock();
        if (jobStarting)
            jobStarting(job.job.kind, token);
        PenDoor::Deliver deliver;
        if (const std::optional<JobRefusal> refusal = job.job.admit ? job.job.admit() : std::nullopt) {
            deliver = [refused = job.job.refused, why = *refusal] {
                if (refused)
                    refused(why);
            };
        } else {
            PenJobContext context;
            context.stop = token;
            context.report = [this, kind = job.job.kind, serial = job.serial](std::function<void()> update) {
                QMetaObject::invokeMethod(
                    this,
                    [this, kind, serial, update = std::move(update)] {
                        if (kind.isEmpty() || m_latest[kind] == serial)
                            update();
                    },
                    Qt::QueuedConnection);
            };
            deliver = job.job.work(context);
        }
        job.job.work = nullptr;
        job.job.admit = nullptr;
        QMetaObject::invokeMethod(
            this, [this, job = std::move(job), deliver] { finished(job, deliver); }, Qt::QueuedConnection);
        lock.lock();
        m_runningKind.clear();
        m_runningSerial = 0;
    }
}

void PenJobs::finished(const Queued& job, const PenDoor::Deliver& deliver)
{
    // Handed over while the queue still counts the job, so that what the result starts keeps
    // it busy; the job's kind and access are done by then.
    --m_outstandingKind[job.job.kind];
    --m_outstandingAccess[size_t(job.job.access)];
    if (deliver && (job.job.kind.isEmpty() || m_latest[job.job.kind] == job.serial))
        deliver();
    released();
}

void PenJobs::released()
{
    if (--m_outstanding == 0)
        emit busyChanged(false);
}
