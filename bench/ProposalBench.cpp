// Times the proposal of a free book sticker number on a full pen (every ".dar" number taken)
// against one read of the package directory by a plain C loop, in the same run, cold and warm.
// Usage: penshelf_bench_proposal DIRECTORY [--runs N] [--cold-command CMD] [--warm-only]

#include "BenchSupport.h"
#include "PackageCopy.h"

#include <QCoreApplication>
#include <QFile>
#include <QStorageInfo>

#include <cstdio>
#include <dirent.h>

namespace {

// The baseline: the package directory read once, every name looked at.
int readDirectoryOnce(const QString& path)
{
    DIR* directory = ::opendir(QFile::encodeName(path).constData());
    if (!directory)
        return 0;
    int entries = 0;
    while (const dirent* entry = ::readdir(directory))
        entries += entry->d_name[0] != '\0';
    ::closedir(directory);
    return entries;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const BenchArguments arguments = parseBenchArguments(app.arguments().mid(1));
    if (arguments.directory.isEmpty()) {
        std::fprintf(stderr,
            "usage: penshelf_bench_proposal DIRECTORY [--runs N] [--cold-command CMD] [--warm-only]\n");
        return 2;
    }
    const QString custom = buildFullPen(arguments.directory, 64 * 1024);
    if (custom.isEmpty()) {
        std::fprintf(stderr, "cannot build the full pen in %s\n", qPrintable(arguments.directory));
        return 1;
    }
    const QStorageInfo storage(custom);
    std::printf("full pen in %s (%s): %d packages, %d other files, %d names in the package directory\n",
        qPrintable(custom), storage.fileSystemType().constData(), FullPenPackages, FullPenOtherFiles,
        readDirectoryOnce(custom));
    const QString expected = QStringLiteral("%1").arg(LastProposedOid, 3, 10, QLatin1Char('0'));
    if (proposeBookOid(custom, ExtSelfMade) != expected) {
        std::fprintf(stderr, "the proposal is %s, not %s\n", qPrintable(proposeBookOid(custom, ExtSelfMade)),
            qPrintable(expected));
        return 1;
    }

    const std::function<void()> propose = [&] { proposeBookOid(custom, ExtSelfMade); };
    const std::function<void()> baseline = [&] { readDirectoryOnce(custom); };
    const char* name = "proposal of a free number";
    const char* baselineName = "C loop (readdir once)";

    bool coldOk = false;
    if (!arguments.warmOnly) {
        coldOk = dropCaches(arguments.coldCommand);
        if (!coldOk)
            std::printf("cold runs skipped: the page cache cannot be dropped (needs root)\n");
    }
    std::vector<double> cold, baselineCold;
    for (int run = 0; coldOk && run < arguments.runs; ++run) {
        for (int turn = 0; turn < 2; ++turn) {
            const bool ours = (run + turn) % 2 == 0;
            dropCaches(arguments.coldCommand);
            (ours ? cold : baselineCold).push_back(timed(ours ? propose : baseline));
        }
    }
    propose();
    baseline();
    std::vector<double> warm, baselineWarm;
    for (int run = 0; run < 3 * arguments.runs; ++run) {
        for (int turn = 0; turn < 2; ++turn) {
            const bool ours = (run + turn) % 2 == 0;
            (ours ? warm : baselineWarm).push_back(timed(ours ? propose : baseline));
        }
    }
    if (coldOk)
        printPair("cold", name, cold, baselineName, baselineCold);
    printPair("warm", name, warm, baselineName, baselineWarm);
    return 0;
}
