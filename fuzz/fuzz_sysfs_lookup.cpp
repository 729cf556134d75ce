// The sysfs registry and the pen lookup over a generated device tree. Input lines (names with
// the escapes of FuzzSupport.h, PATH below sys/devices):
//   dev PATH SUBSYSTEM [DEVTYPE]   a device: PATH/uevent and a subsystem link (none for "-";
//                                  "class/NAME" links to a class, anything else to a bus)
//   uevent PATH LINE               appends a line to PATH/uevent
//   attr PATH NAME VALUE           an attribute file
//   dir PATH                       a folder that is no device
//   link PATH TARGET               a symbolic link (@file, @dir, ... point outside)
//   udev NAME LINE                 a line of the udev database file NAME (b8:16)
//   ini SIZE [HEAD] | ini-link TARGET | ini-fifo    the pen volume's SYS/INI/product.ini
//   lookup LOCATION                the lookup of a USB location ID
// Nothing outside the tree and the volume is read, nothing blocks, and a stored pen is a "vorna"
// pen with a kernel name and the serial of its product.ini.
#include "FuzzSupport.h"
#include "PenHost.h"
#include "PenLookup.h"
#include "SysfsRegistry.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class RecordingHost : public PenHost {
public:
    void storePen(const PenRecord& record) override { stored.append(record); }
    void penUnplugged(const QString&) override { }
    QList<PenRecord> stored;
};

void append(const QByteArray& file, const QByteArray& line)
{
    const int fd = ::open(file.constData(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    const QByteArray text = line + '\n';
    if (::write(fd, text.constData(), size_t(text.size())) != text.size())
        fuzz::fail("short write of %s", file.constData());
    ::close(fd);
}

QByteArray rest(const QByteArrayList& fields, int from) { return fuzz::unescape(fields.mid(from).join(' ')); }

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static fuzz::Scratch scratch("sysfs_lookup");
    static fuzz::Sentinel sentinel(scratch.outside());
    static RecordingHost host;
    scratch.reset();
    setPenHost(&host);
    host.stored.clear();

    fuzz::Unprivileged unprivileged;
    fuzz::TreeBuilder tree(scratch.work(), sentinel);
    tree.directory("sys/devices");
    tree.directory("sys/bus");
    tree.directory("sys/class");
    tree.directory("udev");
    tree.directory("volume/SYS/INI");
    const QByteArray work = QFile::encodeName(scratch.work());
    QByteArray ini;
    bool iniRegular = false;
    QList<quint32> lookups;

    for (const QByteArrayList& fields : fuzz::parseLines(data, size)) {
        const QByteArray& command = fields[0];
        const QByteArray device = "sys/devices/" + fuzz::unescape(fields.value(1));
        if (command == "dev" && fields.size() >= 3) {
            const QByteArray subsystem = fuzz::unescape(fields[2]);
            tree.directory(device);
            append(tree.place(device + "/uevent"),
                fields.size() >= 4 ? "DEVTYPE=" + fuzz::unescape(fields[3]) : QByteArray());
            const QByteArray folder = subsystem.startsWith("class/") ? subsystem : "bus/" + subsystem;
            if (subsystem != "-" && !subsystem.isEmpty() && folder.count('/') == 1) {
                tree.directory("sys/" + folder);
                tree.link(device + "/subsystem", work + "/sys/" + folder);
            }
        } else if (command == "uevent" && fields.size() >= 3) {
            append(tree.place(device + "/uevent"), rest(fields, 2));
        } else if (command == "attr" && fields.size() >= 4) {
            const QByteArray value = rest(fields, 3);
            tree.file(device + '/' + fuzz::unescape(fields[2]), value.size(), value);
        } else if (command == "dir" && fields.size() >= 2) {
            tree.directory(device);
        } else if (command == "link" && fields.size() >= 3) {
            tree.link(device, fuzz::unescape(fields[2]));
        } else if (command == "udev" && fields.size() >= 3) {
            const QByteArray name = fuzz::unescape(fields[1]);
            if (!name.contains('/'))
                append(tree.place("udev/" + name), rest(fields, 2));
        } else if (command == "ini" && !iniRegular) {
            const QByteArray head = rest(fields, 2);
            iniRegular = tree.file("volume/SYS/INI/product.ini", fuzz::number(fields, 1), head);
            ini = fuzz::readRegular(scratch.work() + QStringLiteral("/volume/SYS/INI/product.ini"));
        } else if (command == "ini-link" && fields.size() >= 2) {
            tree.link("volume/SYS/INI/product.ini", fuzz::unescape(fields[1]));
        } else if (command == "ini-fifo") {
            tree.fifo("volume/SYS/INI/product.ini");
        } else if (command == "lookup" && fields.size() >= 2) {
            lookups.append(quint32(fields[1].toULongLong(nullptr, 0)));
        }
    }

    const SysfsRegistry registry(
        scratch.work() + QStringLiteral("/sys"), scratch.work() + QStringLiteral("/udev"));
    const QString volume = scratch.work() + QStringLiteral("/volume/");
    PenLookup lookup(registry, [volume](const QString&) { return volume; });
    sentinel.arm();
    for (const quint32 location : lookups) {
        const QString stored = lookup.findLocationID(location);
        sentinel.check("the pen lookup");
        if (!stored.isEmpty() && (host.stored.isEmpty() || host.stored.last().bsdName != stored))
            fuzz::fail(
                "the lookup says it stored %s, the host was given no such pen", qUtf8Printable(stored));
    }

    for (const PenRecord& record : std::as_const(host.stored)) {
        if (record.vendor != QLatin1String("vorna") || record.bsdName.isEmpty())
            fuzz::fail("stored a pen of vendor \"%s\" on \"%s\"", qUtf8Printable(record.vendor),
                qUtf8Printable(record.bsdName));
        const PenRecord expected = BuildPenRecord(record.vendor, record.product, record.revision,
            record.bsdName, iniRegular ? ini.left(4096) : QByteArray());
        if (record.serial != expected.serial)
            fuzz::fail("serial \"%s\" is not the one of the volume's product.ini",
                qUtf8Printable(record.serialText()));
    }
    setPenHost(nullptr);
    return 0;
}
