#pragma once

#include "PenFile.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>

// The package directory of a pen, opened once and checked: every part below the pen's volume
// must be a real folder (no link) on the pen's own file system. Entries are then reached
// through the folder's descriptor, so that nothing is read or written elsewhere.
class PackageFolder {
public:
    enum class Problem {
        None,
        NoVolume, // no package directory (the pen is not mounted), or a relative one
        Missing,
        NotFolder,
        Link,
        OtherVolume,
        Unreadable,
    };
    enum class Create { No, Missing };

    PackageFolder() = default;
    // A path ending in "USER/CUSTOM/" is checked from the volume below it, part by part, and
    // with Create::Missing its missing parts are made. Any other path is checked in its last
    // part only (no link, a folder).
    static PackageFolder open(const QString& pathKavo, Create create = Create::No);

    // Whether the folder opens and its listing reads to its end: on a pen pulled out it does not.
    static bool isReadable(const QString& pathKavo);

    bool isOpen() const { return m_fd.isValid(); }
    int fd() const { return m_fd.get(); }
    Problem problem() const { return m_problem; }
    // The path it was opened from, ending in "/".
    QString path() const { return m_path; }

    // Whether any entry, of any kind, has this name. A dangling link takes its name too; an
    // entry that cannot be looked at counts as taken. The case of ASCII letters is ignored as
    // FAT ignores it ("004.DAR" takes "004.dar"), on a file system that minds it too.
    bool isTaken(const QString& name) const;
    bool sync() const;
    // Reads the folder once from its start and calls `visit` with each entry's name ("." and
    // ".." too) until it returns false. Returns whether the listing was read to its end or
    // stopped by `visit`; false when it could not be read or was cut short.
    bool forEachName(const std::function<bool(const char* name)>& visit) const;

private:
    FileDescriptor m_fd;
    Problem m_problem = Problem::NoVolume;
    QString m_path;
};
