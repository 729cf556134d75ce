#include "PackageBuilder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringEncoder>

PackageBuilder::PackageBuilder(qint64 size)
    : m_bytes(pattern(size))
{
}

QByteArray PackageBuilder::pattern(qint64 size)
{
    QByteArray bytes(size, '\0');
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + 13) % 251 + 1); // never 0x00 or 0xFF
    return bytes;
}

PackageBuilder& PackageBuilder::title(const QString& text, char terminator)
{
    QStringEncoder encoder("GB18030");
    QByteArray encoded = encoder.encode(text);
    if (encoded.size() < 100)
        encoded.append(terminator);
    return rawTitle(encoded);
}

PackageBuilder& PackageBuilder::rawTitle(const QByteArray& bytes) { return bytesAt(0, bytes); }

PackageBuilder& PackageBuilder::bytesAt(qint64 offset, const QByteArray& bytes)
{
    if (m_bytes.size() < offset + bytes.size())
        m_bytes.resize(offset + bytes.size(), '\0');
    for (qint64 i = 0; i < bytes.size(); ++i)
        m_bytes[offset + i] = bytes[i];
    return *this;
}

PackageBuilder& PackageBuilder::byteAt(qint64 offset, quint8 value)
{
    return bytesAt(offset, QByteArray(1, char(value)));
}

QString PackageBuilder::writeTo(const QString& path) const
{
    writeFile(path, m_bytes);
    return path;
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray le32(quint32 value)
{
    QByteArray bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = char((value >> (8 * i)) & 0xFF);
    return bytes;
}
