#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

class QSocketNotifier;

// Tells when the system's mount table changes: a desktop's automounter may mount a pen's
// volume some seconds after the pen was recognised, and a volume may be unmounted by another
// program. The kernel flags the mount table file with POLLPRI on every change. The first change
// is reported at once, so that a pen's packages are listed as soon as its volume is there; the
// rest of a burst (a mount with its propagations) is reported once more when it has settled.
class MountWatcher : public QObject {
    Q_OBJECT
public:
    explicit MountWatcher(
        const QString& mountTable = QStringLiteral("/proc/self/mountinfo"), QObject* parent = nullptr);
    ~MountWatcher() override;

    bool isWatching() const { return m_notifier != nullptr; }
    static constexpr int SettleMs = 150;

signals:
    void mountsChanged();

private:
    int m_fd = -1;
    QSocketNotifier* m_notifier = nullptr;
    QTimer m_settle;
    bool m_changedMeanwhile = false; // a change came while settling
};
