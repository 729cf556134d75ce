#pragma once

#include <QLatin1StringView>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <optional>

// The device tree as the pen lookup reads it: entries with a name, a class, named properties and
// ordered children. An entry is named by an id that only its registry understands.
//
// Devices come and go while the tree is being read, so nothing here fails: an entry that has
// vanished or cannot be read has no children, an empty class and no properties.
class DeviceRegistry {
public:
    virtual ~DeviceRegistry() = default;

    // The entry the walk starts at; nothing when the tree itself is missing.
    virtual std::optional<QString> root() const = 0;
    virtual QStringList children(const QString& entry) const = 0;
    virtual QString name(const QString& entry) const = 0;
    virtual QString className(const QString& entry) const = 0;
    // An invalid QVariant when the entry has no such property.
    virtual QVariant property(const QString& entry, const QString& key) const = 0;
    // Where the tree is read from, for diagnostics.
    virtual QString location() const = 0;
};

// The classes and properties the lookup reads.
namespace RegistryClass {
inline constexpr QLatin1StringView MassStorageInterface { "IOUSBMassStorageInterfaceNub" };
inline constexpr QLatin1StringView LogicalUnit { "IOSCSILogicalUnitNub" };
inline constexpr QLatin1StringView Media { "IOMedia" };
}

namespace RegistryKey {
inline constexpr QLatin1StringView LocationID { "locationID" };
inline constexpr QLatin1StringView Vendor { "Vendor Identification" };
inline constexpr QLatin1StringView Product { "Product Identification" };
inline constexpr QLatin1StringView Revision { "Product Revision Level" };
inline constexpr QLatin1StringView BSDName { "BSD Name" };
inline constexpr QLatin1StringView Content { "Content" };
}

namespace MediaContent {
inline constexpr QLatin1StringView MBR { "FDisk_partition_scheme" };
inline constexpr QLatin1StringView GPT { "GUID_partition_scheme" };
}

// Yields the entries of one list in order, then an empty id.
class RegistryIterator {
public:
    explicit RegistryIterator(QStringList entries)
        : m_entries(std::move(entries))
    {
    }
    QString next() { return m_position < m_entries.size() ? m_entries.at(m_position++) : QString(); }

private:
    QStringList m_entries;
    qsizetype m_position = 0;
};
