#pragma once

#include "DiskService.h"

#include <QObject>
#include <QString>

#include <functional>
#include <vector>

class QThread;

// Runs the disk service's calls off the main thread. Unmounting writes back what is cached for
// the pen, which takes seconds on slow flash; the window keeps painting meanwhile. Each result
// is handed to its callback on the thread that owns this object. Calls still running when the
// object goes away are waited for; their callbacks are dropped.
class DiskJobs : public QObject {
    Q_OBJECT
public:
    explicit DiskJobs(DiskService* service, QObject* parent = nullptr);
    ~DiskJobs() override;

    using EjectDone = std::function<void(bool ejected, const QString& error)>;
    using MountDone = std::function<void(const QString& mountPoint, const QString& error)>;
    void ejectDrive(const QString& bsdName, EjectDone done);
    void mountFilesystem(const QString& bsdName, MountDone done);

    bool isBusy() const { return !m_threads.empty(); }

private:
    void run(std::function<std::function<void()>()> work);

    DiskService* m_service;
    std::vector<QThread*> m_threads;
};
