#include "ScratchMount.h"

#include <QFile>

#include <sys/mount.h>
#include <unistd.h>

ScratchMount::ScratchMount(qint64 sizeBytes)
{
    if (::geteuid() != 0) {
        m_reason = QStringLiteral("mounting a scratch file system needs root");
        return;
    }
    const QByteArray options = "size=" + QByteArray::number(sizeBytes) + ",mode=0755";
    if (::mount("penshelf-test", QFile::encodeName(m_dir.path()).constData(), "tmpfs", 0, options.constData())
        != 0) {
        m_reason = QStringLiteral("mount of a tmpfs failed: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return;
    }
    m_mounted = true;
}

ScratchMount::~ScratchMount()
{
    if (m_mounted)
        ::umount2(QFile::encodeName(m_dir.path()).constData(), MNT_DETACH);
}

bool ScratchMount::remountReadOnly()
{
    return m_mounted
        && ::mount(
               nullptr, QFile::encodeName(m_dir.path()).constData(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr)
        == 0;
}

bool ScratchMount::remountReadWrite()
{
    return m_mounted
        && ::mount(nullptr, QFile::encodeName(m_dir.path()).constData(), nullptr, MS_REMOUNT, nullptr) == 0;
}
