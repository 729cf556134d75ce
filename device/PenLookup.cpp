#include "PenLookup.h"

#include "Log.h"
#include "PenHost.h"
#include "PenRecord.h"

namespace {
const QString PenVendor = QStringLiteral("vorna");

QByteArray text(const QString& value) { return value.toUtf8(); }
}

PenLookup::PenLookup(const DeviceRegistry& registry, VolumePathResolver volumePath)
    : m_registry(registry)
    , m_volumePath(std::move(volumePath))
{
}

QString PenLookup::findLocationID(quint32 wanted)
{
    m_stored.clear();
    const std::optional<QString> root = m_registry.root();
    if (!root) {
        // Without a device tree no pen can be found; the program goes on without.
        logErr("findLocationID: no device registry at %s, no pen can be recognised.\n",
            text(m_registry.location()).constData());
        return {};
    }
    loopFindID(nullptr, *root, wanted);
    return m_stored;
}

void PenLookup::loopFindID(RegistryIterator* siblings, const QString& entry, quint32 wanted)
{
    QString current = entry;
    while (!current.isEmpty()) {
        const QString nextSibling = siblings ? siblings->next() : QString();
        RegistryIterator children(m_registry.children(current));
        const QString firstChild = children.next();

        if (m_registry.className(current) == RegistryClass::MassStorageInterface) {
            const QVariant value = m_registry.property(current, RegistryKey::LocationID);
            // Read as a signed 32-bit number and compared bit for bit.
            const quint32 found = value.isValid() ? quint32(value.toLongLong()) : 0;
            logOut("Location ID:0x%x, 0x%x\n", found, wanted);
            if (found == wanted) {
                // Neither this interface's subtree nor its later siblings are visited; the
                // caller goes on with the parent's later siblings.
                storePen(firstChild);
                return;
            }
        }
        loopFindID(&children, firstChild, wanted);
        current = nextSibling;
    }
}

void PenLookup::ReadUnitAndMedia(Identification& collected, RegistryIterator* siblings, const QString& entry)
{
    QString current = entry;
    while (!current.isEmpty()) {
        const QString nextSibling = siblings ? siblings->next() : QString();
        RegistryIterator children(m_registry.children(current));
        const QString firstChild = children.next();
        const QString className = m_registry.className(current);

        // The whole disk of a partitioned pen is passed over; its partition carries the volume.
        if (className == RegistryClass::Media
            && m_registry.property(current, RegistryKey::Content)
                    .toString()
                    .compare(MediaContent::MBR, Qt::CaseInsensitive)
                != 0) {
            collected.bsdName = m_registry.property(current, RegistryKey::BSDName).toString();
            logErr("BSD Name: %s\n", text(collected.bsdName).constData());
        }
        if (className == RegistryClass::LogicalUnit) {
            logOut("Device's name = %s\n", text(m_registry.name(current)).constData());
            collected.vendor = m_registry.property(current, RegistryKey::Vendor).toString();
            logErr("Vendor: %s\n", text(collected.vendor).constData());
            collected.product = m_registry.property(current, RegistryKey::Product).toString();
            logErr("Product: %s\n", text(collected.product).constData());
            collected.revision = m_registry.property(current, RegistryKey::Revision).toString();
            logErr("Version: %s\n", text(collected.revision).constData());
        }
        ReadUnitAndMedia(collected, &children, firstChild);
        current = nextSibling;
    }
}

void PenLookup::storePen(const QString& firstChildOfInterface)
{
    logOut("Find Location USB Device\n");
    Identification collected;
    ReadUnitAndMedia(collected, nullptr, firstChildOfInterface);
    if (collected.vendor.isEmpty() || collected.bsdName.isEmpty() || collected.vendor != PenVendor)
        return;

    const QString volume = m_volumePath ? m_volumePath(collected.bsdName) : QString();
    const PenRecord record = BuildPenRecord(
        collected.vendor, collected.product, collected.revision, collected.bsdName, ReadProductIni(volume));
    m_stored = record.bsdName;
    if (PenHost* host = penHost())
        host->storePen(record);
}
