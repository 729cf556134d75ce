#include "TemporaryCopy.h"

#include "FileSync.h"
#include "HeldRemoval.h"

#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

namespace {
const QString TemporaryPrefix = QStringLiteral(".penshelf-");
const QString TemporarySuffix = QStringLiteral(".tmp");
constexpr int TemporaryRandomLength = 8;
}

bool isTemporaryCopyName(const QString& name)
{
    if (name.size() != TemporaryPrefix.size() + TemporaryRandomLength + TemporarySuffix.size()
        || !name.startsWith(TemporaryPrefix) || !name.endsWith(TemporarySuffix))
        return false;
    for (qsizetype i = TemporaryPrefix.size(); i < TemporaryPrefix.size() + TemporaryRandomLength; ++i) {
        const QChar c = name.at(i);
        if (!((c >= QLatin1Char('a') && c <= QLatin1Char('z'))
                || (c >= QLatin1Char('0') && c <= QLatin1Char('9'))))
            return false;
    }
    return true;
}

TemporaryCopy createTemporaryCopy(const PackageFolder& folder)
{
    static const char Letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    if (!folder.isOpen())
        return {};
    for (int attempt = 0; attempt < 64; ++attempt) {
        QString name = TemporaryPrefix;
        for (int i = 0; i < TemporaryRandomLength; ++i)
            name += QLatin1Char(Letters[QRandomGenerator::global()->bounded(int(sizeof Letters - 1))]);
        name += TemporarySuffix;
        FileDescriptor fd(::openat(folder.fd(), QFile::encodeName(name).constData(),
            O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (!fd.isValid()) {
            if (errno == EEXIST)
                continue;
            return {};
        }
        int locked;
        do
            locked = ::flock(fd.get(), LOCK_EX);
        while (locked != 0 && errno == EINTR);
        if (locked != 0)
            return {};
        // A scan may have taken this file for a leftover between its creation and the lock:
        // then it is gone, and another name is tried.
        struct stat info;
        if (::fstat(fd.get(), &info) != 0)
            return {};
        if (info.st_nlink == 0)
            continue;
        return { std::move(fd), name };
    }
    return {};
}

int removeStaleTemporaries(const PackageFolder& folder, int* failed)
{
    QList<QByteArray> names;
    folder.forEachName([&](const char* name) {
        // Every name of a full pen passes here: only the few that start like a copy are kept.
        if (name[0] == '.')
            names.append(QByteArray(name));
        return true;
    });
    return removeStaleTemporaries(folder, names, failed);
}

int removeStaleTemporaries(const PackageFolder& folder, const QList<QByteArray>& names, int* failed)
{
    int removed = 0;
    int notRemoved = 0;
    HeldRemoval removal(folder.fd());
    for (const QByteArray& encoded : names) {
        if (!folder.isOpen())
            break;
        const QString name = QFile::decodeName(encoded);
        if (!isTemporaryCopyName(name))
            continue;
        PenFile file = PenFile::openAt(folder.fd(), name);
        // A running install holds its lock; only a copy nobody holds is a leftover.
        if (!file.isOpen() || ::flock(file.fd(), LOCK_EX | LOCK_NB) != 0)
            continue;
        if (removal.remove(encoded.constData(), std::move(file)))
            ++removed;
        else
            ++notRemoved;
    }
    // Left unflushed, the freed clusters would only be lost to the pen: that counts as done.
    if (removed > 0 && !removal.finish().names)
        ++notRemoved;
    if (failed)
        *failed = notRemoved;
    return removed;
}
