// Times the install copy against `cp SRC DST && sync` of the same file on the same file
// system, in the same run, with and without reading the copy back. As root a second baseline
// also reads the copy back from the device: `cp`, `sync`, caches dropped, `cmp`.
// Usage: penshelf_bench_install [directory] [--size MiB] [--runs N] [--short]
// (--short: only the install with and without the read-back)

#include "PackageCopy.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <unistd.h>
#include <vector>

namespace {

// Page cache emptied so that every run reads its source from the disk; root only.
bool dropCaches()
{
    ::sync();
    QFile control(QStringLiteral("/proc/sys/vm/drop_caches"));
    return control.open(QIODevice::WriteOnly) && control.write("3\n") == 2;
}

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

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
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
    for (int i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == QLatin1String("--size") && i + 1 < arguments.size())
            sizeMiB = arguments[++i].toLongLong();
        else if (arguments[i] == QLatin1String("--runs") && i + 1 < arguments.size())
            runs = std::max(1, arguments[++i].toInt());
        else if (arguments[i] == QLatin1String("--short"))
            shortRun = true;
        else
            base = arguments[i];
    }

    QTemporaryDir work(QDir(base).filePath(QStringLiteral("penshelf-bench-XXXXXX")));
    if (!work.isValid()) {
        std::fprintf(stderr, "cannot create a directory in %s\n", qPrintable(base));
        return 1;
    }
    const QString source = work.filePath(QStringLiteral("source.dab"));
    const QString pen = work.filePath(QStringLiteral("USER/CUSTOM/"));
    const QString baseline = work.filePath(QStringLiteral("baseline.dab"));
    QDir().mkpath(pen);
    if (!writeSource(source, sizeMiB * 1024 * 1024)) {
        std::fprintf(stderr, "cannot write the source package\n");
        return 1;
    }
    const bool cold = dropCaches();
    std::printf("package %lld MiB in %s, %d runs, page cache %s between runs\n", sizeMiB,
        qPrintable(work.path()), runs, cold ? "dropped" : "NOT dropped (needs root)");

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
    const QString command = QStringLiteral("cp '%1' '%2' && sync").arg(source, baseline);
    const QString checkedCommand
        = QStringLiteral("cp '%1' '%2' && sync && echo 3 > /proc/sys/vm/drop_caches && cmp '%1' '%2'")
              .arg(source, baseline);
    for (int run = 0; run < runs; ++run) {
        for (size_t v = 0; v < variants.size(); ++v) {
            QFile::remove(pen + QStringLiteral("001.dar"));
            dropCaches();
            QElapsedTimer timer;
            timer.start();
            const InstallResult result = installPackage(request, {}, variants[v].options);
            installTimes[v].push_back(timer.nsecsElapsed() / 1e9);
            if (result != InstallResult::Installed) {
                std::fprintf(stderr, "install failed: %s\n", qPrintable(messageFor(result)));
                return 1;
            }
        }
        QFile::remove(baseline);
        dropCaches();
        QElapsedTimer timer;
        timer.start();
        if (QProcess::execute(QStringLiteral("/bin/sh"), { QStringLiteral("-c"), command }) != 0) {
            std::fprintf(stderr, "baseline failed: %s\n", qPrintable(command));
            return 1;
        }
        baselineTimes.push_back(timer.nsecsElapsed() / 1e9);
        if (cold) {
            QFile::remove(baseline);
            dropCaches();
            timer.start();
            if (QProcess::execute(QStringLiteral("/bin/sh"), { QStringLiteral("-c"), checkedCommand }) != 0) {
                std::fprintf(stderr, "baseline failed: %s\n", qPrintable(checkedCommand));
                return 1;
            }
            checkedBaselineTimes.push_back(timer.nsecsElapsed() / 1e9);
        }
    }

    const double reference = median(baselineTimes);
    std::printf("%-70s %8.3f s\n", "baseline: cp SRC DST && sync (median)", reference);
    for (size_t v = 0; v < variants.size(); ++v) {
        const double time = median(installTimes[v]);
        std::printf("%-70s %8.3f s  ratio %.2f\n", variants[v].name, time, time / reference);
    }
    if (cold)
        std::printf("%-70s %8.3f s  ratio %.2f\n",
            "baseline with read-back: cp, sync, drop caches, cmp (median)", median(checkedBaselineTimes),
            median(checkedBaselineTimes) / reference);
    const double withReadBack = median(installTimes[0]);
    const double withoutReadBack = median(installTimes[1]);
    std::printf("the read-back adds %.3f s (%.0f %%) to the install\n", withReadBack - withoutReadBack,
        100 * (withReadBack - withoutReadBack) / withoutReadBack);
    std::printf("goal: install without the read-back <= 1.10 x baseline: %s\n",
        withoutReadBack <= 1.1 * reference ? "met" : "NOT met");
    return 0;
}
