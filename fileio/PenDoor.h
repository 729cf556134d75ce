#pragma once

#include <QString>

#include <functional>
#include <stop_token>

// How a job uses its pen. The pen's session decides from this what may run: nothing is written
// while an eject is pending, and nothing runs beside an exclusive job.
enum class JobAccess {
    Read, // listing, header reads, the serial, plans, the source of a backup or copy
    Write, // install, removal, sticker change, the target of a restore or copy
    Exclusive, // eject, mount
};

// Kinds of the jobs run on a pen: a newer one of a kind supersedes an older one.
namespace PenJobKind {
inline const QString ListingJob = QStringLiteral("listing");
inline const QString SerialJob = QStringLiteral("serial");
inline const QString HeaderJob = QStringLiteral("header");
inline const QString InstallCheckJob = QStringLiteral("install check");
inline const QString ProposalJob = QStringLiteral("proposal");
inline const QString NameCheckJob = QStringLiteral("name check");
// Writes, transfers, the eject and the mount: never superseded, never dropped.
inline const QString WriteJob;
}

// Why a job did not run, or was stopped before its first write.
enum class JobRefusal {
    EjectPending, // the pen is being ejected
    OtherPen, // another pen is where this one was (same model, same mount point)
    PenGone, // the pen's volume cannot be read any more
    Cancelled, // cancelled before it started
};

// Who a pen is: what was read from it when the user saw it. A job bound to an identity checks,
// before it starts, that the pen at the volume is still this one.
struct PenIdentity {
    QString serial; // from SYS/INI/product.ini; empty when it could not be read
    quint64 device = 0; // the mounted volume's device number; 0 when not known

    bool isKnown() const { return !serial.isEmpty() || device != 0; }
};

// What a running job gets from its queue.
struct PenJobContext {
    std::stop_token stop; // a cancel, a newer job of its kind, or the pen going away
    // Runs `update` on the thread that posted the job, unless the job's result is dropped by then.
    std::function<void(std::function<void()> update)> report;
    bool stopped() const { return stop.stop_requested(); }
};

// The one way to a pen's files: work posted here runs as a job of the pen's queue, off the main
// thread, one job at a time, under the session's rules. Code below the session (the install
// dialog) is handed a door to the pen it works on.
class PenDoor {
public:
    using Deliver = std::function<void()>;
    using Work = std::function<Deliver(const PenJobContext& context)>;
    using Refused = std::function<void(JobRefusal why)>;

    virtual ~PenDoor() = default;
    // Posts `work`; a job of the same non-empty `kind` supersedes this one while it waits or runs.
    // Its result is handed over on the posting thread; `refused` is called there instead when
    // the session does not run it. Returns the job's number, for cancel().
    virtual quint64 post(JobAccess access, const QString& kind, Work work, Refused refused) = 0;
    // Drops the job while it waits (its `refused` gets Cancelled) or asks it to stop.
    virtual void cancel(quint64 job) = 0;
    // The package folder of the pen's volume, as it was when the door was opened.
    virtual QString packageDirectory() const = 0;
};
