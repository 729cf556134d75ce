#include "PenRecord.h"

#include "PenFile.h"

#include <QFile>
#include <QStringDecoder>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const QString ProductIniPath = QStringLiteral("SYS/INI/product.ini");
// Only the first 25 bytes of product.ini are ever used; a larger file is not read whole.
constexpr qsizetype ProductIniReadLimit = 4096;
}

QString PenRecord::serialText() const
{
    const auto end = std::find(serial.begin(), serial.end(), '\0');
    return QString::fromUtf8(serial.data(), end - serial.begin());
}

QString PenRecord::selectorText() const
{
    return displayName + QLatin1Char(' ') + product + QLatin1Char(' ') + revision;
}

PenRecord BuildPenRecord(const QString& vendor, const QString& product, const QString& revision,
    const QString& bsdName, const QByteArray& iniContent)
{
    PenRecord record;
    record.vendor = vendor;
    record.product = product;
    record.revision = revision;
    record.bsdName = bsdName;
    record.displayName = PenDisplayName;

    // The serial sits at a fixed place whose start depends on the file's length.
    constexpr int SerialLength = 11;
    int start = -1;
    if (iniContent.size() > 24)
        start = 14;
    else if (iniContent.size() == 24)
        start = 13;
    if (start >= 0)
        std::memcpy(record.serial.data(), iniContent.constData() + start, SerialLength);
    record.serial[SerialLength] = '\0';
    return record;
}

QByteArray ReadProductIni(const QString& volumePath)
{
    // No volume, no file: a relative path would read from the current directory instead.
    if (volumePath.isEmpty())
        return {};
    // Opened part by part without following links, never blocking: a FIFO or a link out of the
    // pen under that name would otherwise hang or mislead the lookup.
    const FileDescriptor root(
        ::open(QFile::encodeName(volumePath).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const PenFile file = root.isValid() ? PenFile::openAt(root.get(), ProductIniPath) : PenFile();
    // An error part-way would give a wrong serial: then none.
    return file.isOpen() ? readAt(file.fd(), 0, ProductIniReadLimit) : QByteArray();
}

PenIdentity ReadPenIdentity(const QString& volumePath)
{
    PenIdentity identity;
    if (volumePath.isEmpty())
        return identity;
    const FileDescriptor root(
        ::open(QFile::encodeName(volumePath).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat status { };
    if (!root.isValid() || ::fstat(root.get(), &status) != 0)
        return identity;
    identity.device = quint64(status.st_dev);
    const PenFile file = PenFile::openAt(root.get(), ProductIniPath);
    if (file.isOpen())
        identity.serial
            = BuildPenRecord({}, {}, {}, {}, readAt(file.fd(), 0, ProductIniReadLimit)).serialText();
    return identity;
}
