#pragma once

#include "PackageFolder.h"

#include <QByteArray>
#include <QList>
#include <QString>

// The install's temporary copy: a name the catalogue never lists, created exclusively and
// locked (flock) for as long as the install holds it, so that a later scan can tell a copy in
// progress from one an interrupted install left behind.
struct TemporaryCopy {
    FileDescriptor fd; // read-write, locked
    QString name;
};
TemporaryCopy createTemporaryCopy(const PackageFolder& folder);
bool isTemporaryCopyName(const QString& name);

// Removes temporary copies that no install holds. Returns how many were removed; `failed`
// counts those that could not be (a read-only pen).
int removeStaleTemporaries(const PackageFolder& folder, int* failed = nullptr);
// The same without a listing of its own, for a caller that reads the folder anyway: `names`
// are the entry names it saw there that start with a dot; only those named like a copy are
// looked at.
int removeStaleTemporaries(
    const PackageFolder& folder, const QList<QByteArray>& names, int* failed = nullptr);
