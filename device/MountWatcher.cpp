#include "MountWatcher.h"

#include <QFile>
#include <QSocketNotifier>

#include <utility>

#include <fcntl.h>
#include <unistd.h>

MountWatcher::MountWatcher(const QString& mountTable, QObject* parent)
    : QObject(parent)
{
    m_settle.setSingleShot(true);
    m_settle.setInterval(SettleMs);
    connect(&m_settle, &QTimer::timeout, this, [this] {
        if (std::exchange(m_changedMeanwhile, false))
            emit mountsChanged();
    });

    m_fd = ::open(QFile::encodeName(mountTable).constData(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0)
        return;
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Exception, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        // The flag is cleared by the poll that reported it; nothing needs to be read.
        if (m_settle.isActive()) {
            m_changedMeanwhile = true;
            return;
        }
        m_settle.start();
        emit mountsChanged();
    });
}

MountWatcher::~MountWatcher()
{
    delete m_notifier;
    if (m_fd >= 0)
        ::close(m_fd);
}
