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

void PenJobs::post(const QString& kind, Work work)
{
    const quint64 serial = m_nextSerial++;
    if (m_outstanding++ == 0)
        emit busyChanged(true);
    ++m_outstandingKind[kind];
    std::lock_guard lock(m_mutex);
    if (!kind.isEmpty())
        supersede(kind, serial);
    m_queue.push_back({ kind, serial, std::move(work) });
    m_wake.notify_all();
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

// With the lock held: `serial` is now the newest of its kind.
void PenJobs::supersede(const QString& kind, quint64 serial)
{
    m_latest[kind] = serial;
    const auto superseded = [&kind](const Job& job) { return job.kind == kind; };
    const int dropped = int(std::count_if(m_queue.begin(), m_queue.end(), superseded));
    m_queue.erase(std::remove_if(m_queue.begin(), m_queue.end(), superseded), m_queue.end());
    m_outstanding -= dropped;
    m_outstandingKind[kind] -= dropped;
    if (m_runningKind == kind)
        m_runningStop.request_stop();
}

void PenJobs::run(std::stop_token stop)
{
    std::unique_lock lock(m_mutex);
    while (m_wake.wait(lock, stop, [this] { return !m_queue.empty(); })) {
        Job job = std::move(m_queue.front());
        m_queue.pop_front();
        m_runningKind = job.kind;
        m_runningStop = std::stop_source();
        const std::stop_token token = m_runningStop.get_token();
        lock.unlock();
        if (jobStarting)
            jobStarting(job.kind, token);
        Deliver deliver = job.work(token);
        QMetaObject::invokeMethod(
            this, [this, kind = job.kind, serial = job.serial, deliver] { finished(kind, serial, deliver); },
            Qt::QueuedConnection);
        lock.lock();
        m_runningKind.clear();
    }
}

void PenJobs::finished(const QString& kind, quint64 serial, const Deliver& deliver)
{
    // Handed over while the queue still counts the job, so that what the result starts keeps
    // it busy; the job's kind is done by then.
    --m_outstandingKind[kind];
    if (deliver && (kind.isEmpty() || m_latest[kind] == serial))
        deliver();
    if (--m_outstanding == 0)
        emit busyChanged(false);
}
