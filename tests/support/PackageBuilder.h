#pragma once

#include <QByteArray>
#include <QString>

// Builds package files for tests: a title, a size, and bytes at chosen offsets. Every byte
// not set explicitly follows a position-dependent pattern, so a shifted or dropped byte in a
// copy shows.
class PackageBuilder {
public:
    explicit PackageBuilder(qint64 size = 512);

    // Title in GB 18030, terminated by `terminator` (0x00 or 0xFF) when it fits in 100 bytes.
    PackageBuilder& title(const QString& text, char terminator = '\0');
    PackageBuilder& rawTitle(const QByteArray& bytes);
    PackageBuilder& bytesAt(qint64 offset, const QByteArray& bytes);
    PackageBuilder& byteAt(qint64 offset, quint8 value);

    QByteArray bytes() const { return m_bytes; }
    // Writes the file (creating parent directories); returns its path.
    QString writeTo(const QString& path) const;

    static QByteArray pattern(qint64 size);

private:
    QByteArray m_bytes;
};

// A 32-bit value as the header stores it: little-endian.
QByteArray le32(quint32 value);

// Writes `bytes` to `path`, creating parent directories.
bool writeFile(const QString& path, const QByteArray& bytes);
QByteArray readFile(const QString& path);
