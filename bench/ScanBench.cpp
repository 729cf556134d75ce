// Times the catalogue scan of a full pen against a plain C loop that does the reads the scan
// cannot avoid, on the same tree in the same run, cold and warm.
// Usage: penshelf_bench_scan DIRECTORY [--runs N] [--cold-command CMD] [--warm-only] [--package-kib K]

#include "BenchSupport.h"
#include "Catalogue.h"

#include <QCoreApplication>
#include <QFile>
#include <QStorageInfo>

#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

bool listedExtension(const char* last3)
{
    char lower[4] = {};
    for (int i = 0; i < 3; ++i)
        lower[i] = char(last3[i] >= 'A' && last3[i] <= 'Z' ? last3[i] + 32 : last3[i]);
    return !std::strcmp(lower, "dar") || !std::strcmp(lower, "das") || !std::strcmp(lower, "dsr")
        || !std::strcmp(lower, "dcs");
}

// The baseline: every directory of the tree read once, and each entry whose path relative to
// the package directory has 7 characters and a package extension opened and its first 100
// bytes read. Returns the entries read.
int rawScan(int directoryFd, size_t prefix)
{
    DIR* directory = ::fdopendir(directoryFd);
    if (!directory) {
        ::close(directoryFd);
        return 0;
    }
    int read = 0;
    while (const dirent* entry = ::readdir(directory)) {
        const char* name = entry->d_name;
        if (!std::strcmp(name, ".") || !std::strcmp(name, ".."))
            continue;
        const size_t length = std::strlen(name);
        if (prefix + length == 7 && length >= 3 && listedExtension(name + length - 3)) {
            const int fd = ::openat(::dirfd(directory), name, O_RDONLY | O_CLOEXEC);
            if (fd >= 0) {
                char title[100];
                if (::read(fd, title, sizeof title) >= 0)
                    ++read;
                ::close(fd);
            }
        }
        if (entry->d_type == DT_DIR) {
            const int sub = ::openat(::dirfd(directory), name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (sub >= 0)
                read += rawScan(sub, prefix + length + 1);
        }
    }
    ::closedir(directory);
    return read;
}

int rawScan(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return fd < 0 ? 0 : rawScan(fd, 0);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const BenchArguments arguments = parseBenchArguments(app.arguments().mid(1));
    qint64 packageKiB = 64;
    for (int i = 0; i + 1 < arguments.rest.size(); ++i) {
        if (arguments.rest[i] == QLatin1String("--package-kib"))
            packageKiB = arguments.rest[i + 1].toLongLong();
    }
    if (arguments.directory.isEmpty()) {
        std::fprintf(stderr,
            "usage: penshelf_bench_scan DIRECTORY [--runs N] [--cold-command CMD] [--warm-only] "
            "[--package-kib K]\n");
        return 2;
    }
    const QString custom = buildFullPen(arguments.directory, packageKiB * 1024);
    if (custom.isEmpty()) {
        std::fprintf(stderr, "cannot build the full pen in %s\n", qPrintable(arguments.directory));
        return 1;
    }
    const QStorageInfo storage(custom);
    std::printf("full pen in %s (%s): %d packages of %lld KiB, %d other files\n", qPrintable(custom),
        storage.fileSystemType().constData(), FullPenPackages, packageKiB, FullPenOtherFiles);

    const int rows = int(ScanCatalogue(custom).size());
    const int raw = rawScan(custom);
    if (rows != FullPenPackages || raw != FullPenPackages) {
        std::fprintf(
            stderr, "the scan found %d rows and the C loop %d entries, not %d\n", rows, raw, FullPenPackages);
        return 1;
    }

    const std::function<void()> scan = [&] {
        if (ScanCatalogue(custom).size() != FullPenPackages)
            std::fprintf(stderr, "the scan missed packages\n");
    };
    const std::function<void()> baseline = [&] { rawScan(custom); };
    const char* scanName = "catalogue scan";
    const char* baselineName = "C loop (readdir, open, read 100 B)";

    bool coldOk = false;
    if (!arguments.warmOnly) {
        coldOk = dropCaches(arguments.coldCommand);
        if (!coldOk)
            std::printf("cold runs skipped: the page cache cannot be dropped (needs root)\n");
    }
    std::vector<double> scanCold, baselineCold;
    for (int run = 0; coldOk && run < arguments.runs; ++run) {
        // Interleaved, and each goes first every other run.
        for (int turn = 0; turn < 2; ++turn) {
            const bool scanTurn = (run + turn) % 2 == 0;
            dropCaches(arguments.coldCommand);
            (scanTurn ? scanCold : baselineCold).push_back(timed(scanTurn ? scan : baseline));
        }
    }
    scan();
    baseline();
    std::vector<double> scanWarm, baselineWarm;
    for (int run = 0; run < 3 * arguments.runs; ++run) {
        for (int turn = 0; turn < 2; ++turn) {
            const bool scanTurn = (run + turn) % 2 == 0;
            (scanTurn ? scanWarm : baselineWarm).push_back(timed(scanTurn ? scan : baseline));
        }
    }

    if (coldOk)
        printPair("cold", scanName, scanCold, baselineName, baselineCold);
    printPair("warm", scanName, scanWarm, baselineName, baselineWarm);
    if (coldOk)
        std::printf(
            "goal cold <= 1.10: %s\n", median(scanCold) <= 1.1 * median(baselineCold) ? "met" : "NOT met");
    std::printf(
        "goal warm <= 1.50: %s\n", median(scanWarm) <= 1.5 * median(baselineWarm) ? "met" : "NOT met");
    return 0;
}
