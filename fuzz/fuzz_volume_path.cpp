// Mount table decoding and the volume path lookup over a generated sys root and mountinfo file.
// Input: line 1 the kernel name of the block device, line 2 its `dev` attribute (both with the
// escapes of FuzzSupport.h), then the mountinfo text as it is.
#include "FuzzSupport.h"
#include "VolumePath.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void writeFile(const QByteArray& file, const QByteArray& content)
{
    const int fd = ::open(file.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    if (::write(fd, content.constData(), size_t(content.size())) != content.size())
        fuzz::fail("short write of %s", file.constData());
    ::close(fd);
}

// What the kernel writes for a mount point: blank, tab, line feed and backslash as octal.
QByteArray escapeLikeKernel(const QByteArray& raw)
{
    QByteArray out;
    for (const char c : raw) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\\')
            out += '\\' + QByteArray::number(uchar(c), 8).rightJustified(3, '0');
        else
            out += c;
    }
    return out;
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static fuzz::Scratch scratch("volume_path");
    scratch.reset();
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(qMin<size_t>(size, 8192)));
    const QByteArrayList parts = input.split('\n');
    const QByteArray bsdName = fuzz::unescape(parts.value(0));
    const QByteArray dev = fuzz::unescape(parts.value(1));
    const QByteArray mountInfo = parts.mid(2).join('\n');

    const QByteArray work = QFile::encodeName(scratch.work());
    const QByteArray blockRoot = work + "/sys/class/block/";
    ::mkdir((work + "/sys").constData(), 0755);
    ::mkdir((work + "/sys/class").constData(), 0755);
    ::mkdir(blockRoot.constData(), 0755);
    const bool plainName = !bsdName.isEmpty() && !bsdName.contains('/') && !bsdName.contains('\0')
        && bsdName != "." && bsdName != "..";
    if (plainName && ::mkdir((blockRoot + bsdName).constData(), 0755) == 0)
        writeFile(blockRoot + bsdName + "/dev", dev);
    writeFile(work + "/mountinfo", mountInfo);

    const QString name = QFile::decodeName(bsdName);
    const QString volume = VolumePathForBSDName(
        name, QFile::decodeName(work + "/sys"), QFile::decodeName(work + "/mountinfo"));

    if (!volume.isEmpty()) {
        if (!volume.endsWith(QLatin1Char('/')))
            fuzz::fail("volume path \"%s\" does not end in /", qUtf8Printable(volume));
        if (name.contains(QLatin1Char('/')) || name.startsWith(QLatin1Char('.')))
            fuzz::fail("a name with a path in it (\"%s\") found a volume", qUtf8Printable(name));
        // The path is the decoded mount point of a line with that device number.
        bool listed = false;
        for (const QByteArray& line : mountInfo.split('\n')) {
            const QByteArrayList fields = line.split(' ');
            if (fields.size() >= 5 && fields[2] == dev.trimmed()) {
                QString point = decodeMountInfoField(fields[4]);
                if (!point.endsWith(QLatin1Char('/')))
                    point += QLatin1Char('/');
                listed = listed || point == volume;
            }
        }
        if (!listed)
            fuzz::fail(
                "volume path \"%s\" is no mount point of device %s", qUtf8Printable(volume), dev.constData());
    }

    // Any mount point the kernel could write decodes back to itself.
    const QByteArray raw = input.left(255);
    if (decodeMountInfoField(escapeLikeKernel(raw)) != QFile::decodeName(raw))
        fuzz::fail("escaped mount point %s does not decode back", raw.toHex().constData());
    return 0;
}
