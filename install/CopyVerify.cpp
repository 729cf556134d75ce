#include "CopyVerify.h"

#include "Log.h"
#include "PenFile.h"

#include <QFile>
#include <QScopeGuard>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr qint64 ReadBlock = 1024 * 1024;

QString readError(const char* what, qint64 offset)
{
    return QStringLiteral("cannot read the %1 at offset %2: %3")
        .arg(QLatin1String(what))
        .arg(offset)
        .arg(QString::fromLocal8Bit(std::strerror(errno)));
}

}

HeaderWrites headerWritesOf(const InstallRequest& request)
{
    if (request.keepHeader)
        return { .unchanged = true };
    return { request.bookOid.toInt(), request.nTypeBook, keepsStartSticker(request.extBook),
        request.offsetOid };
}

ReadBack readBackCopy(const QString& copyPath, int sourceFd, qint64 sourceSize, const HeaderWrites& writes,
    const std::function<void(qint64 bytes)>& progress)
{
    const int copy = ::open(QFile::encodeName(copyPath).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (copy < 0)
        return { false, readError("copy", 0) };
    const auto closeCopy = qScopeGuard([copy] { ::close(copy); });

    struct stat info;
    if (::fstat(copy, &info) != 0)
        return { false, readError("copy", 0) };
    const qint64 expectedSize = installedSize(sourceSize, writes);
    if (info.st_size != expectedSize)
        return { false,
            QStringLiteral("expected %1 bytes and got %2").arg(expectedSize).arg(qint64(info.st_size)) };

    // The copy has been flushed, so its pages are clean and can all be dropped; what is read
    // next comes from the device. (O_DIRECT would do the same but is refused by some file
    // systems and needs aligned buffers.)
    ::posix_fadvise(copy, 0, 0, POSIX_FADV_DONTNEED);
    ::posix_fadvise(copy, 0, 0, POSIX_FADV_SEQUENTIAL);

    const qint64 span = std::min(expectedSize, InstalledHeaderSpan);
    QByteArray copyHead(span, '\0');
    QByteArray sourceHead(std::min(sourceSize, InstalledHeaderSpan), '\0');
    if (readAt(copy, 0, copyHead.data(), span) != span)
        return { false, readError("copy", 0) };
    if (readAt(sourceFd, 0, sourceHead.data(), sourceHead.size()) != sourceHead.size())
        return { false, readError("source", 0) };
    const QString header = checkInstalledHeader(sourceHead, copyHead, writes);
    if (!header.isEmpty())
        return { false, header };
    if (progress)
        progress(std::min(span, sourceSize));

    std::vector<char> fromCopy(ReadBlock), fromSource(ReadBlock);
    for (qint64 offset = span; offset < sourceSize;) {
        const qint64 length = std::min(ReadBlock, sourceSize - offset);
        if (readAt(copy, offset, fromCopy.data(), length) != length)
            return { false, readError("copy", offset) };
        if (readAt(sourceFd, offset, fromSource.data(), length) != length)
            return { false, readError("source", offset) };
        if (std::memcmp(fromCopy.data(), fromSource.data(), size_t(length)) != 0) {
            const auto at = std::mismatch(fromCopy.begin(), fromCopy.begin() + length, fromSource.begin());
            const qint64 where = offset + (at.first - fromCopy.begin());
            return { false,
                QStringLiteral("expected 0x%1 and got 0x%2 at offset %3")
                    .arg(quint8(*at.second), 2, 16, QLatin1Char('0'))
                    .arg(quint8(*at.first), 2, 16, QLatin1Char('0'))
                    .arg(where) };
        }
        offset += length;
        if (progress)
            progress(offset);
    }
    return { true, {} };
}

InstallProgress::InstallProgress(qint64 size, bool readBack, std::function<void(qint64 chunk)> report)
    : m_chunks(chunkCount(size))
    , m_readBack(readBack)
    , m_report(std::move(report))
{
}

void InstallProgress::copied(qint64 chunk) const
{
    if (m_report)
        m_report(m_readBack ? chunk / 2 : chunk);
}

void InstallProgress::checked(qint64 bytes) const
{
    if (m_report && m_readBack)
        m_report((m_chunks + std::min(bytes / ProgressChunk, m_chunks)) / 2);
}

bool copyReadsBack(const QString& copyPath, int sourceFd, qint64 sourceSize, const InstallRequest& request,
    const InstallProgress& progress, const InstallOptions& options)
{
    if (options.beforeReadBack)
        options.beforeReadBack(copyPath);
    const ReadBack result = readBackCopy(copyPath, sourceFd, sourceSize, headerWritesOf(request),
        [&progress](qint64 bytes) { progress.checked(bytes); });
    if (!result.matches)
        logErr("install: the copy of %s read back from the pen differs: %s\n", qPrintable(request.sourcePath),
            qPrintable(result.difference));
    return result.matches;
}
