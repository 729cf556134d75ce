#pragma once

#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

// The manifest of a backup folder, "penshelf-backup.json" beside the package files:
//   { "format": 1, "serial": "...", "date": "2026-12-10T19:30:00Z",
//     "files": [ { "name": "012.dar", "title": "...", "size": 1234, "sha256": "<64 hex>" } ] }
// "name" is the installed file name, "title" the package's own title field, "size" in bytes,
// "sha256" of the whole file as it is on the pen (header included). A file is listed only once
// it is complete in the folder.
inline const QString ManifestFileName = QStringLiteral("penshelf-backup.json");

struct BackupEntry {
    QString name;
    QString title;
    qint64 size = 0;
    QString sha256; // lower-case hex
};

struct BackupManifest {
    QString serial;
    QDateTime date;
    QList<BackupEntry> files;

    const BackupEntry* find(const QString& name) const;

    // Reads the manifest of `folder`. Nothing when it is missing (`error` empty) or cannot be
    // read or makes no sense (`error` says why). Entries whose name is no plain file name are
    // refused with the whole manifest.
    static std::optional<BackupManifest> read(const QString& folder, QString* error = nullptr);
    // Writes it under a temporary name, flushes it and renames it over the old one; the folder
    // is flushed too.
    bool write(const QString& folder) const;
};

// SHA-256 of an open file from its start, as lower-case hex; empty when it cannot be read.
QString sha256OfFile(int fd);
