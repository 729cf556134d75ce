#include "NumberProposal.h"

#include "AsciiCase.h"
#include "PackageFolder.h"

#include <QFile>

#include <algorithm>
#include <cstring>

QString packageFileName(const QString& bookOid, const QString& extBook) { return bookOid + extBook; }

std::bitset<1000> takenBookOids(const QString& pathKavo, const QString& extBook)
{
    std::bitset<1000> taken;
    // One read of the directory: on FAT every lookup of a name searches the whole directory,
    // so asking for each number in turn reads it hundreds of times.
    const QByteArray suffix = QFile::encodeName(extBook);
    PackageFolder::open(pathKavo).forEachName([&](const char* name) {
        if (std::strlen(name) != size_t(3 + suffix.size()))
            return true;
        if (!std::all_of(name, name + 3, [](char c) { return c >= '0' && c <= '9'; }))
            return true;
        // FAT ignores the letter case of names: "004.DAR" takes 004 as "004.dar" does.
        if (sameIgnoringAsciiCase(name + 3, suffix.constData(), size_t(suffix.size())))
            taken.set(size_t((name[0] - '0') * 100 + (name[1] - '0') * 10 + (name[2] - '0')));
        return true;
    });
    return taken;
}

QString proposeBookOid(const QString& pathKavo, const QString& extBook)
{
    const std::bitset<1000> taken = takenBookOids(pathKavo, extBook);
    int oid = FirstProposedOid;
    while (oid < LastProposedOid && taken.test(size_t(oid)))
        ++oid;
    return QStringLiteral("%1").arg(oid, 3, 10, QLatin1Char('0'));
}

bool isPackageNameTaken(const QString& pathKavo, const QString& name)
{
    return PackageFolder::open(pathKavo).isTaken(name);
}
