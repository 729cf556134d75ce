#include "DiskJobs.h"

#include <QThread>

#include <algorithm>

DiskJobs::DiskJobs(DiskService* service, QObject* parent)
    : QObject(parent)
    , m_service(service)
{
}

DiskJobs::~DiskJobs()
{
    for (QThread* thread : m_threads) {
        thread->wait();
        delete thread;
    }
}

// `work` runs on its own thread and returns what is to be done with its result here.
void DiskJobs::run(std::function<std::function<void()>()> work)
{
    QThread* thread = QThread::create([this, work = std::move(work)] {
        std::function<void()> deliver = work();
        QMetaObject::invokeMethod(this, std::move(deliver), Qt::QueuedConnection);
    });
    m_threads.push_back(thread);
    connect(thread, &QThread::finished, this, [this, thread] {
        m_threads.erase(std::remove(m_threads.begin(), m_threads.end(), thread), m_threads.end());
        thread->deleteLater();
    });
    thread->start();
}

void DiskJobs::ejectDrive(const QString& bsdName, EjectDone done)
{
    DiskService* service = m_service;
    run([service, bsdName, done = std::move(done)]() -> std::function<void()> {
        QString error;
        const bool ejected = service->ejectDrive(bsdName, &error);
        return [done, ejected, error] { done(ejected, error); };
    });
}

void DiskJobs::mountFilesystem(const QString& bsdName, MountDone done)
{
    DiskService* service = m_service;
    run([service, bsdName, done = std::move(done)]() -> std::function<void()> {
        QString error;
        const QString mountPoint = service->mountFilesystem(bsdName, &error);
        return [done, mountPoint, error] { done(mountPoint, error); };
    });
}
