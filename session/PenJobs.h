#pragma once

#include "PenDoor.h"

#include <QObject>
#include <QString>

#include <array>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>

// The file-system work of one pen, one job at a time, on a thread of its own, so that a slow or
// failing pen never holds up the window. A job returns what is to be done with its result; that
// runs on the thread that owns this object, in the order the jobs were posted.
//
// Jobs of the same kind supersede each other: posting one drops a queued job of its kind, asks a
// running one to stop (through its stop token) and drops its result. Destroying the queue drops
// the queued jobs, asks the running one to stop and waits for it: a job checks its token between
// the calls it makes, so that only a call already under way is waited for.
class PenJobs : public QObject {
    Q_OBJECT
public:
    explicit PenJobs(QObject* parent = nullptr);
    ~PenJobs() override;

    struct Job {
        JobAccess access = JobAccess::Read;
        QString kind; // empty: supersedes nothing and is never superseded
        PenDoor::Work work;
        PenDoor::Refused refused; // may be empty
        // Runs on the worker just before the work: a refusal instead of the work.
        std::function<std::optional<JobRefusal>()> admit;
    };

    // Returns the job's number.
    quint64 post(Job job);
    // Drops the queued jobs of `kind`, asks a running one to stop, and drops its result.
    void cancel(const QString& kind);
    // Drops one job while it waits (refused as Cancelled) or asks it to stop while it runs.
    void cancelJob(quint64 id);

    // Test seam: called on the worker before each job, with the job's kind and stop token, so
    // that a test can hold a job where a slow pen would.
    static inline std::function<void(const QString& kind, std::stop_token stop)> jobStarting;

    // True from the post of a job until its result has been handed over (or dropped).
    bool isBusy() const { return m_outstanding > 0; }
    // True while a job of `kind` is queued or runs (no longer while its result is handed over).
    bool isBusy(const QString& kind) const;
    // True while a job of this access is queued or runs.
    bool isBusy(JobAccess access) const { return m_outstandingAccess[size_t(access)] > 0; }

signals:
    // Busy or idle again; emitted on the owner's thread.
    void busyChanged(bool busy);

private:
    struct Queued {
        Job job;
        quint64 serial = 0;
    };
    void run(std::stop_token stop);
    void supersede(const QString& kind, quint64 serial);
    void finished(const Queued& job, const PenDoor::Deliver& deliver);
    void released(); // a job is done with: its result handed over, dropped or refused

    // Owner's thread only.
    int m_outstanding = 0;
    std::map<QString, quint64> m_latest; // newest serial posted per kind
    std::map<QString, int> m_outstandingKind;
    std::array<int, 3> m_outstandingAccess {};
    quint64 m_nextSerial = 1;

    // Shared with the worker.
    std::mutex m_mutex;
    std::condition_variable_any m_wake;
    std::deque<Queued> m_queue;
    QString m_runningKind;
    quint64 m_runningSerial = 0;
    std::stop_source m_runningStop;
    std::jthread m_worker;
};
