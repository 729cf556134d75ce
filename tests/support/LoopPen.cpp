#include "LoopPen.h"

#include "PackageBuilder.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include <unistd.h>

bool runOutside(const QString& program, const QStringList& arguments, QByteArray* output)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("LD_PRELOAD"));
    environment.remove(QStringLiteral("UMOCKDEV_DIR"));
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        qWarning("%s %s failed: %s", qPrintable(program), qPrintable(arguments.join(QLatin1Char(' '))),
            process.readAllStandardError().constData());
        return false;
    }
    if (output)
        *output = process.readAllStandardOutput().trimmed();
    return true;
}

LoopPen::LoopPen(const QByteArray& productIni, const QString& packageTitle)
{
    if (::geteuid() != 0) {
        m_reason = QStringLiteral("mounting a loop device needs root");
        return;
    }
    const QString content = m_dir.filePath(QStringLiteral("content"));
    writeFile(content + QStringLiteral("/SYS/INI/product.ini"), productIni);
    PackageBuilder(512).title(packageTitle).writeTo(content + QStringLiteral("/USER/CUSTOM/001.dar"));
    const QString image = m_dir.filePath(QStringLiteral("pen.img"));
    m_mountPoint = m_dir.filePath(QStringLiteral("MY PEN"));
    QDir().mkpath(m_mountPoint);
    QByteArray loop;
    if (!runOutside(QStringLiteral("mkfs.ext4"),
            { QStringLiteral("-q"), QStringLiteral("-F"), QStringLiteral("-d"), content, image,
                QStringLiteral("8M") })
        || !runOutside(QStringLiteral("losetup"),
            { QStringLiteral("--find"), QStringLiteral("--show"), image }, &loop)) {
        m_reason = QStringLiteral("no loop device could be attached");
        return;
    }
    m_loop = QString::fromLocal8Bit(loop);
    if (!runOutside(QStringLiteral("mount"), { m_loop, m_mountPoint })) {
        m_reason = QStringLiteral("the loop device could not be mounted");
        return;
    }
    m_mounted = true;
    runOutside(QStringLiteral("cat"),
        { QStringLiteral("/sys/class/block/") + QFileInfo(m_loop).fileName() + QStringLiteral("/dev") },
        &m_deviceNumber);
}

LoopPen::~LoopPen()
{
    if (m_mounted)
        runOutside(QStringLiteral("umount"), { m_mountPoint });
    if (!m_loop.isEmpty())
        runOutside(QStringLiteral("losetup"), { QStringLiteral("-d"), m_loop });
}

bool LoopPen::unmount()
{
    if (m_mounted && runOutside(QStringLiteral("umount"), { m_mountPoint }))
        m_mounted = false;
    return !m_mounted;
}

bool LoopPen::mount()
{
    if (!m_mounted && !m_loop.isEmpty() && runOutside(QStringLiteral("mount"), { m_loop, m_mountPoint }))
        m_mounted = true;
    return m_mounted;
}

QString LoopPen::loopName() const { return QFileInfo(m_loop).fileName(); }
