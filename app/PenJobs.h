#pragma once

#include <QObject>
#include <QString>

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <stop_token>
#include <thread>

// Kinds of the jobs run on a pen: a newer one of a kind supersedes an older one.
namespace PenJobKind {
inline const QString ListingJob = QStringLiteral("listing");
inline const QString SerialJob = QStringLiteral("serial");
inline const QString HeaderJob = QStringLiteral("header");
inline const QString InstallCheckJob = QStringLiteral("install check");
// Removals and sticker changes: never superseded, never dropped.
inline const QString WriteJob;
}

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

    using Deliver = std::function<void()>;
    using Work = std::function<Deliver(std::stop_token stop)>;

    // `kind` empty: the job supersedes nothing and is never superseded.
    void post(const QString& kind, Work work);

    // Drops the queued jobs of `kind`, asks a running one to stop, and drops its result.
    void cancel(const QString& kind);

    // Test seam: called on the worker before each job, with the job's kind and stop token, so
    // that a test can hold a job where a slow pen would.
    static inline std::function<void(const QString& kind, std::stop_token stop)> jobStarting;

    // True from the post of a job until its result has been handed over (or dropped).
    bool isBusy() const { return m_outstanding > 0; }
    // True while a job of `kind` is queued or runs (no longer while its result is handed over).
    bool isBusy(const QString& kind) const;

signals:
    // Busy or idle again; emitted on the owner's thread.
    void busyChanged(bool busy);

private:
    struct Job {
        QString kind;
        quint64 serial = 0;
        Work work;
    };
    void run(std::stop_token stop);
    void supersede(const QString& kind, quint64 serial);
    void finished(const QString& kind, quint64 serial, const Deliver& deliver);

    // Owner's thread only.
    int m_outstanding = 0;
    std::map<QString, quint64> m_latest; // newest serial posted per kind
    std::map<QString, int> m_outstandingKind;
    quint64 m_nextSerial = 1;

    // Shared with the worker.
    std::mutex m_mutex;
    std::condition_variable_any m_wake;
    std::deque<Job> m_queue;
    QString m_runningKind;
    std::stop_source m_runningStop;
    std::jthread m_worker;
};
