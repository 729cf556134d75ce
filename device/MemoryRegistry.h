#pragma once

#include "DeviceRegistry.h"

#include <QHash>
#include <QVariantMap>

// A device tree held in memory, built by tests entry by entry.
class MemoryRegistry : public DeviceRegistry {
public:
    // `withRoot` false stands for a machine whose device tree cannot be found.
    explicit MemoryRegistry(bool withRoot = true);

    QString rootEntry() const { return m_root; }
    // Adds an entry as the last child of `parent` and returns its id.
    QString add(const QString& parent, const QString& name, const QString& className,
        const QVariantMap& properties = {});
    // The entry disappears but stays listed among its parent's children, as a device that was
    // unplugged while the tree was being read.
    void vanish(const QString& entry);

    std::optional<QString> root() const override;
    QStringList children(const QString& entry) const override;
    QString name(const QString& entry) const override;
    QString className(const QString& entry) const override;
    QVariant property(const QString& entry, const QString& key) const override;
    QString location() const override { return QStringLiteral("memory"); }

private:
    struct Node {
        QString name;
        QString className;
        QVariantMap properties;
        QStringList children;
    };
    QHash<QString, Node> m_nodes;
    QString m_root;
    int m_lastId = 0;
};
