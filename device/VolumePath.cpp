#include "VolumePath.h"

#include <QDir>
#include <QFile>
#include <QStorageInfo>

QString decodeMountInfoField(const QByteArray& field)
{
    QByteArray out;
    out.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        const auto isOctal
            = [&](qsizetype at) { return at < field.size() && field[at] >= '0' && field[at] <= '7'; };
        if (field[i] == '\\' && isOctal(i + 1) && isOctal(i + 2) && isOctal(i + 3)) {
            out.append(
                char(((field[i + 1] - '0') << 6) | ((field[i + 2] - '0') << 3) | (field[i + 3] - '0')));
            i += 3;
        } else {
            out.append(field[i]);
        }
    }
    return QFile::decodeName(out);
}

QString VolumePathForBSDName(const QString& bsdName)
{
    return VolumePathForBSDName(bsdName, QStringLiteral("/sys"), QStringLiteral("/proc/self/mountinfo"));
}

QString VolumePathForBSDName(const QString& bsdName, const QString& sysRoot, const QString& mountInfoPath)
{
    if (bsdName.isEmpty() || bsdName.contains(QLatin1Char('/')) || bsdName.startsWith(QLatin1Char('.')))
        return {};

    QFile devFile(sysRoot + QStringLiteral("/class/block/") + bsdName + QStringLiteral("/dev"));
    if (!devFile.open(QIODevice::ReadOnly))
        return {};
    const QByteArray devNumber = devFile.readAll().trimmed(); // "8:17"
    if (devNumber.isEmpty())
        return {};

    // mountinfo: ID parentID major:minor root mountpoint options ... - fstype source superopts
    // /proc files report size 0, so read line by line rather than trusting atEnd() on a size.
    QFile mountInfo(mountInfoPath);
    if (!mountInfo.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> lines = mountInfo.readAll().split('\n');
    for (const QByteArray& line : lines) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 5 || fields[2] != devNumber)
            continue;
        // A bind mount of a subdirectory has a root other than "/": it is not the volume.
        if (fields[3] != "/")
            continue;
        QString path = decodeMountInfoField(fields[4]);
        if (!path.endsWith(QLatin1Char('/')))
            path += QLatin1Char('/');
        return path;
    }
    return {};
}

QString volumeLabel(const QString& volumePath)
{
    if (volumePath.isEmpty())
        return {};
    const QStorageInfo storage(volumePath);
    const QString label = storage.isValid() ? storage.name() : QString();
    return label.isEmpty() ? QDir(volumePath).dirName() : label;
}
