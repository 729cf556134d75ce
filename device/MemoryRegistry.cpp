#include "MemoryRegistry.h"

MemoryRegistry::MemoryRegistry(bool withRoot)
{
    if (withRoot) {
        m_root = QStringLiteral("#0");
        m_nodes.insert(m_root, Node { QStringLiteral("root"), QString(), {}, {} });
    }
}

QString MemoryRegistry::add(
    const QString& parent, const QString& name, const QString& className, const QVariantMap& properties)
{
    const QString id = QStringLiteral("#%1").arg(++m_lastId);
    m_nodes.insert(id, Node { name, className, properties, {} });
    if (auto it = m_nodes.find(parent); it != m_nodes.end())
        it->children.append(id);
    return id;
}

void MemoryRegistry::vanish(const QString& entry) { m_nodes.remove(entry); }

std::optional<QString> MemoryRegistry::root() const
{
    if (m_root.isEmpty() || !m_nodes.contains(m_root))
        return std::nullopt;
    return m_root;
}

QStringList MemoryRegistry::children(const QString& entry) const { return m_nodes.value(entry).children; }

QString MemoryRegistry::name(const QString& entry) const { return m_nodes.value(entry).name; }

QString MemoryRegistry::className(const QString& entry) const { return m_nodes.value(entry).className; }

QVariant MemoryRegistry::property(const QString& entry, const QString& key) const
{
    return m_nodes.value(entry).properties.value(key);
}
