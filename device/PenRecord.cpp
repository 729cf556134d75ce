#include "PenRecord.h"

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
    const QByteArray path = QFile::encodeName(volumePath + ProductIniPath);
    const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return {};
    QByteArray content;
    struct stat status { };
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        content.resize(ProductIniReadLimit);
        qsizetype filled = 0;
        while (filled < content.size()) {
            const ssize_t n = ::read(fd, content.data() + filled, size_t(content.size() - filled));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                content.clear(); // a part of the file would give a wrong serial
            if (n <= 0)
                break;
            filled += n;
        }
        content.truncate(std::min(filled, content.size()));
    }
    ::close(fd);
    return content;
}
