#include "Catalogue.h"

#include "BookHeader.h"
#include "PackageFolder.h"
#include "PackageKind.h"
#include "TemporaryCopy.h"

#include <QDir>
#include <QFile>
#include <QStringDecoder>
#include <QVarLengthArray>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A shared package names its target by book sticker number; anything that could leave the
// directory is treated as a missing target.
bool isPlainName(const QString& rest)
{
    return !rest.contains(QLatin1Char('/')) && !rest.contains(QLatin1String(".."))
        && !rest.contains(QChar(0));
}

// Listed entries have relative paths of exactly this many characters (UTF-16 units).
constexpr qsizetype ListedLength = 7;

bool isAscii(const char* name, size_t bytes)
{
    return std::all_of(name, name + bytes, [](char c) { return uchar(c) < 0x80; });
}

// The name of a directory entry as the walk shows it, or nothing for a name that is not valid
// UTF-8 and so could not be opened again by its decoded path (Qt's directory listing skips
// those too).
std::optional<QString> decodedName(const char* name, size_t bytes, bool ascii)
{
    if (ascii)
        return QString::fromLatin1(name, qsizetype(bytes));
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString decoded = decoder.decode(QByteArrayView(name, qsizetype(bytes)));
    if (decoder.hasError())
        return std::nullopt;
    return decoded;
}

// Walks the directory open on `fd` in the order the file system yields its entries, a folder
// before what it holds, symbolic links not followed, and calls `visit` for every entry of the
// listed length with its relative path, the descriptor of its folder and its name there. A pen
// holds thousands of entries that cannot be listed: their names are not decoded, and folders
// too deep to hold a listed entry are not entered. `dotNames`, when given, gets the names in
// the walked directory itself that start with a dot.
template <typename Visit>
void walk(int fd, const QString& prefix, QList<QByteArray>* dotNames, const std::stop_token& stop,
    const Visit& visit)
{
    DIR* directory = ::fdopendir(fd);
    if (!directory) {
        ::close(fd);
        return;
    }
    while (const dirent* entry = stop.stop_requested() ? nullptr : ::readdir(directory)) {
        const char* name = entry->d_name;
        if (name[0] == '.') {
            if (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))
                continue;
            if (dotNames)
                dotNames->append(QByteArray(name));
        }
        const size_t bytes = std::strlen(name);
        const bool ascii = isAscii(name, bytes);
        // UTF-8 takes at most three bytes for one UTF-16 unit.
        const qsizetype leastUnits = qsizetype(ascii ? bytes : (bytes + 2) / 3);
        if (prefix.size() + leastUnits > ListedLength)
            continue;
        const std::optional<QString> decoded = decodedName(name, bytes, ascii);
        if (!decoded)
            continue;
        const qsizetype length = prefix.size() + decoded->size();
        if (length == ListedLength)
            visit(prefix.isEmpty() ? *decoded : prefix + *decoded, ::dirfd(directory), name);
        // Everything below a longer folder path is longer than a listed entry.
        if (length > ListedLength - 2)
            continue;
        bool isDirectory = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat info;
            isDirectory = ::fstatat(::dirfd(directory), name, &info, AT_SYMLINK_NOFOLLOW) == 0
                && S_ISDIR(info.st_mode);
        }
        if (!isDirectory)
            continue;
        const int sub = ::openat(::dirfd(directory), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub >= 0)
            walk(sub, prefix + *decoded + QLatin1Char('/'), nullptr, stop, visit);
    }
    ::closedir(directory);
}

} // namespace

QString ReadBookName(const QString& path, PenLinks links)
{
    const PenFile file = PenFile::open(path, PenAccess::Read, links);
    return file.isOpen() ? ReadBookName(file.fd()) : QString();
}

TitleReadCall& titleReadCall()
{
    static TitleReadCall call = readAt;
    return call;
}

QString ReadBookName(int fd) { return ReadTitle(fd).value_or(QString()); }

std::optional<QString> ReadTitle(int fd)
{
    // One byte more than the title, for the terminator the decoder gets below.
    char bytes[BookHeader::TitleLength + 1];
    const qint64 length = titleReadCall()(fd, BookHeader::TitleOffset, bytes, BookHeader::TitleLength);
    if (length < 0)
        return std::nullopt;
    const char* end = std::find_if(bytes, bytes + length, [](char c) { return c == '\0' || c == '\xFF'; });
    const qsizetype size = end - bytes;
    bytes[size] = '\0';

    // Built with ICU, Qt's decoder knows GB 18030; invalid sequences decode to U+FFFD. Opening
    // the converter costs more than decoding a title, and a scan decodes hundreds: each thread
    // keeps one.
    thread_local QStringDecoder decoder("GB18030");
    decoder.resetState();
    if (!decoder.isValid())
        return QString::fromLatin1(bytes, size);
    // The decoder keeps a sequence cut off at the end for more input; the terminator we stopped
    // at makes it show that sequence as a replacement character instead of dropping it.
    const QByteArrayView input(bytes, size + 1);
    QVarLengthArray<QChar, 2 * (BookHeader::TitleLength + 1)> decoded(decoder.requiredSpace(input.size()));
    const QChar* last = decoder.appendToBuffer(decoded.data(), input);
    return QString(decoded.constData(), std::max<qsizetype>(last - decoded.constData() - 1, 0));
}

QString packageDirectoryFor(const QString& volumePath)
{
    if (volumePath.isEmpty())
        return {};
    return volumePath + PackageDirectory;
}

BookList ScanCatalogue(const QString& pathKavo, PackageFolder::Problem* problem, std::stop_token stop)
{
    BookList rows;
    const PackageFolder folder = PackageFolder::open(pathKavo);
    if (problem)
        *problem = folder.problem();
    if (!folder.isOpen())
        return rows;

    // Every row's path: the folder's path as QDir gives it, then the relative path.
    QString base = QDir(pathKavo).path();
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    // The walk gets its own descriptor of the checked folder, never the path again.
    const int fd = ::fcntl(folder.fd(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        return rows;
    // A duplicate shares the position of the folder's descriptor, which others may have read.
    ::lseek(fd, 0, SEEK_SET);
    // Leftover temporary copies are looked for in the same read of the folder, the largest
    // directory of a full pen.
    QList<QByteArray> dotNames;
    walk(fd, QString(), &dotNames, stop, [&](const QString& relative, int directoryFd, const char* name) {
        const PackageKind* kind = packageKindOfLetters(QStringView(relative).mid(4, 3));
        if (!kind)
            return;

        ListData row;
        row.stat.reserve(kind->label.size() + 3);
        row.stat.append(kind->label).append(QStringView(relative).left(3));
        row.flag = kind->flag;
        row.type = kind->type;
        row.file = base + relative;

        // The walk opened every folder on the way without following links: the entry is
        // opened in its own folder.
        const PenFile file = PenFile::openEntry(directoryFd, name);
        if (!file.isOpen()) {
            row.name = UnusableEntryName;
            rows.append(std::move(row));
            return;
        }
        // A title that cannot be read is no package the window can show or act on.
        const std::optional<QString> read = ReadTitle(file.fd());
        if (!read) {
            row.name = UnusableEntryName;
            rows.append(std::move(row));
            return;
        }
        const QString& title = *read;
        if (isSharedTitle(title)) {
            const QString rest = sharedTargetOid(title);
            QString target;
            if (isPlainName(rest)) {
                const PenFile shared = PenFile::openAt(folder.fd(), rest + kind->extension);
                if (shared.isOpen())
                    target = ReadBookName(shared.fd());
            }
            row.name = target + QLatin1Char('(') + rest + QLatin1Char(')');
            row.flag = FlagShared;
        } else if (title.startsWith(QLatin1String("UNB"))) {
            row.type = TypeUnb;
            row.name = title.mid(3);
        } else if (title.startsWith(QLatin1String("deb"))) {
            row.name = title.mid(4);
        } else {
            row.name = title;
        }
        rows.append(std::move(row));
    });
    // A walk cut short has not seen every name: its rows are for nobody.
    if (stop.stop_requested())
        return {};
    removeStaleTemporaries(folder, dotNames);
    return rows;
}
