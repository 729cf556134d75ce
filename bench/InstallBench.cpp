// Times the install copy against `cp SRC DST && sync -f DST` of the same file onto the same
// target file system, in the same run, with and without reading the copy back. As root a second
// baseline also reads the copy back from the device: `cp`, `sync -f`, caches dropped, `cmp`.
// The source lies in a directory the user names, by default on another file system than the
// target, as a package on the computer does.
// Usage: penshelf_bench_install [TARGET] [--source DIR] [--size MiB] [--runs N] [--cold-command CMD]
//        [--short]   (--short: only the install with and without the read-back)

#include "BenchSupport.h"
#include "InstallTexts.h"
#include "PackageCopy.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStorageInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

bool writeSource(const QString& path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    // Incompressible content, so no layer below can shortcut the copy.
    QByteArray block(1024 * 1024, '\0');
    QRandomGenerator random(20261210);
    for (qint64 written = 0; written < size; written += block.size()) {
        random.fillRange(reinterpret_cast<quint32*>(block.data()), block.size() / 4);
        const qint64 length = std::min<qint64>(block.size(), size - written);
        if (file.write(block.constData(), length) != length)
            return false;
    }
    return file.flush() && ::fsync(file.handle()) == 0;
}

dev_t deviceOf(const QString& path)
{
    struct stat info;
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_dev : dev_t(-1);
}

// A writable directory on another file system than the target's, when the machine has one.
QString otherFileSystem(const QString& target)
{
    const dev_t targetDevice = deviceOf(target);
    const QStringList candidates { qEnvironmentVariable("TMPDIR"), QStringLiteral("/var/tmp"),
        QStringLiteral("/tmp"), QStringLiteral("/dev/shm"), QDir::homePath() };
    for (const QString& candidate : candidates) {
        if (!candidate.isEmpty() && deviceOf(candidate) != dev_t(-1) && deviceOf(candidate) != targetDevice
            && ::access(QFile::encodeName(candidate).constData(), W_OK) == 0)
            return candidate;
    }
    return target;
}

QString describe(const QString& path)
{
    const QStorageInfo storage(path);
    return QStringLiteral("%1 (%2 on %3)")
        .arg(path, QString::fromLatin1(storage.fileSystemType()), storage.rootPath());
}

struct Variant {
    const char* name;
    InstallOptions options;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    qint64 sizeMiB = 256;
    int runs = 5;
    bool shortRun = false;
    QString base = QDir::tempPath();
    QString sourceBase;
    QString coldCommand;
    for (int i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == QLatin1String("--size") && i + 1 < arguments.size())
            sizeMiB = arguments[++i].toLongLong();
        else if (arguments[i] == QLatin1String("--runs") && i + 1 < arguments.size())
            runs = std::max(1, arguments[++i].toInt());
        else if (arguments[i] == QLatin1String("--source") && i + 1 < arguments.size())
            sourceBase = arguments[++i];
        else if (arguments[i] == QLatin1String("--cold-command") && i + 1 < arguments.size())
            coldCommand = arguments[++i];
        else if (arguments[i] == QLatin1String("--short"))
            shortRun = true;
        else
            base = arguments[i];
    }
    const bool sourceNamed = !sourceBase.isEmpty();
    if (!sourceNamed)
        sourceBase = otherFileSystem(base);

    QTemporaryDir work(QDir(base).filePath(QStringLiteral("penshelf-bench-XXXXXX")));
    QTemporaryDir sourceWork(QDir(sourceBase).filePath(QStringLiteral("penshelf-bench-source-XXXXXX")));
    if (!work.isValid() || !sourceWork.isValid()) {
        std::fprintf(
            stderr, "cannot create a directory in %s or %s\n", qPrintable(base), qPrintable(sourceBase));
        return 1;
    }
    const QString source = sourceWork.filePath(QStringLiteral("source.dab"));
    const QString pen = work.filePath(QStringLiteral("USER/CUSTOM/"));
    const QString baseline = work.filePath(QStringLiteral("baseline.dab"));
    QDir().mkpath(pen);
    if (!writeSource(source, sizeMiB * 1024 * 1024)) {
        std::fprintf(stderr, "cannot write the source package\n");
        return 1;
    }
    const bool cold = dropCaches(coldCommand);
    std::printf("package %lld MiB, %d runs, page cache %s between runs\n", sizeMiB, runs,
        cold ? "dropped" : "NOT dropped (needs root)");
    std::printf("target %s\n", qPrintable(describe(work.path())));
    std::printf("source %s, %s\n", qPrintable(describe(sourceWork.path())),
        sourceNamed                                  ? "as named"
            : deviceOf(sourceBase) != deviceOf(base) ? "another file system than the target's"
                                                     : "the target's file system (no other one writable)");

    // The copy's own variants are timed without the read-back, which they do not change.
    InstallOptions noReadBack;
    noReadBack.readBack = false;
    InstallOptions readWrite = noReadBack;
    readWrite.kernelCopy = false;
    InstallOptions noWindow = noReadBack;
    noWindow.writebackWindow = 0;
    InstallOptions smallBlocks = noReadBack;
    smallBlocks.blockSize = 64 * 1024;
    std::vector<Variant> variants {
        { "install (default: sendfile, 1 MiB blocks, 16 MiB window, read-back)", InstallOptions() },
        { "install without the read-back", noReadBack },
    };
    if (!shortRun) {
        variants.push_back({ "install, no read-back, read/write through a buffer", readWrite });
        variants.push_back({ "install, no read-back, no writeback window", noWindow });
        variants.push_back({ "install, no read-back, 64 KiB blocks", smallBlocks });
    }

    const InstallRequest request { source, pen, QStringLiteral("001"), 0, ExtSelfMade, 0 };
    std::vector<std::vector<double>> installTimes(variants.size());
    std::vector<double> baselineTimes;
    std::vector<double> checkedBaselineTimes;
    const QString command = QStringLiteral("cp '%1' '%2' && sync -f '%2'").arg(source, baseline);
    const QString checkedCommand
        = QStringLiteral("cp '%1' '%2' && sync -f '%2' && echo 3 > /proc/sys/vm/drop_caches && cmp '%1' '%2'")
              .arg(source, baseline);
    const auto runBaseline = [&](const QString& shell, std::vector<double>& times) {
        QFile::remove(baseline);
        dropCaches(coldCommand);
        int status = 0;
        times.push_back(timed([&] {
            status = QProcess::execute(QStringLiteral("/bin/sh"), { QStringLiteral("-c"), shell });
        }));
        if (status != 0)
            std::fprintf(stderr, "baseline failed: %s\n", qPrintable(shell));
        return status == 0;
    };
    for (int run = 0; run < runs; ++run) {
        for (size_t v = 0; v < variants.size(); ++v) {
            QFile::remove(pen + QStringLiteral("001.dar"));
            dropCaches(coldCommand);
            InstallResult result = InstallResult::Failed;
            installTimes[v].push_back(
                timed([&] { result = installPackage(request, {}, variants[v].options); }));
            if (result != InstallResult::Installed) {
                std::fprintf(stderr, "install failed: %s\n", qPrintable(textOf(result)));
                return 1;
            }
        }
        if (!runBaseline(command, baselineTimes)
            || (cold && !runBaseline(checkedCommand, checkedBaselineTimes)))
            return 1;
    }

    for (size_t v = 0; v < variants.size(); ++v)
        printPair("", variants[v].name, installTimes[v], "cp SRC DST && sync -f DST", baselineTimes);
    if (cold)
        printPair("", "baseline with read-back: cp, sync -f, drop caches, cmp", checkedBaselineTimes,
            "cp SRC DST && sync -f DST", baselineTimes);
    const double withReadBack = median(installTimes[0]);
    const double withoutReadBack = median(installTimes[1]);
    std::printf("the read-back adds %.3f s (%.0f %%) to the install\n", withReadBack - withoutReadBack,
        100 * (withReadBack - withoutReadBack) / withoutReadBack);
    std::printf("goal: install without the read-back <= 1.10 x baseline: %s\n",
        withoutReadBack <= 1.1 * median(baselineTimes) ? "met" : "NOT met");
    return 0;
}
