// Times the pen lookup's walk of a whole machine's device tree against `find` listing the same
// tree (no links followed) in the same run. Usage: penshelf_bench_lookup [SYSROOT] [--runs N]
// SYSROOT is /sys by default, or the sys folder of an unpacked snapshot.

#include "PenLookup.h"
#include "SysfsRegistry.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// The lookup logs each mass-storage interface it meets; that is not what is measured.
struct QuietStdout {
    int saved = ::dup(STDOUT_FILENO);
    QuietStdout()
    {
        std::fflush(stdout);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDOUT_FILENO);
        ::close(null);
    }
    ~QuietStdout()
    {
        std::fflush(stdout);
        ::dup2(saved, STDOUT_FILENO);
        ::close(saved);
    }
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments().mid(1);
    QString sysRoot = QStringLiteral("/sys");
    int runs = 20;
    for (int i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == QLatin1String("--runs") && i + 1 < arguments.size())
            runs = std::max(1, arguments[++i].toInt());
        else
            sysRoot = arguments[i];
    }

    const SysfsRegistry registry(sysRoot, QStringLiteral("/nonexistent"));
    PenLookup lookup(registry, {});
    // No device has this location: the walk visits the whole tree.
    constexpr quint32 Nowhere = 0xFEFFFFFF;
    std::vector<double> walkTimes;
    std::vector<double> findTimes;
    for (int run = 0; run < runs; ++run) {
        QElapsedTimer timer;
        timer.start();
        {
            QuietStdout quiet;
            lookup.findLocationID(Nowhere);
        }
        walkTimes.push_back(timer.nsecsElapsed() / 1e9);

        timer.restart();
        QProcess find;
        find.setStandardOutputFile(QProcess::nullDevice());
        find.start(QStringLiteral("find"), { sysRoot + QStringLiteral("/devices") });
        if (!find.waitForFinished(60000)) {
            std::fprintf(stderr, "find did not finish\n");
            return 1;
        }
        findTimes.push_back(timer.nsecsElapsed() / 1e9);
    }

    const double reference = median(findTimes);
    const double walk = median(walkTimes);
    std::printf("%s, %d runs\n", qPrintable(sysRoot), runs);
    std::printf("%-50s %8.4f s\n", "baseline: find SYSROOT/devices (median)", reference);
    std::printf("%-50s %8.4f s  ratio %.2f\n", "whole-machine lookup walk (median)", walk, walk / reference);
    return 0;
}
