#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

// What every benchmark shares: the page cache emptied for cold runs, a full pen to run on,
// medians of interleaved runs.

double median(std::vector<double> values);

// Seconds taken by one call.
double timed(const std::function<void()>& work);

// Empties the caches so that the next run reads from the device: sync, then `coldCommand` (a
// shell command, for example an unmount and mount of a vfat pen, whose metadata a drop alone
// may leave cached) when one is given, then drop_caches (root only). False when the caches
// could not be dropped.
bool dropCaches(const QString& coldCommand = {});

// Options every benchmark takes: DIRECTORY [--runs N] [--cold-command CMD] [--warm-only].
struct BenchArguments {
    QString directory;
    int runs = 7;
    QString coldCommand;
    bool warmOnly = false;
    QStringList rest; // arguments the benchmark reads itself
};
BenchArguments parseBenchArguments(const QStringList& arguments);

// A pen as full as a user's: in `volume`/USER/CUSTOM/ the packages 001.dar..998.dar (a title
// in the first 100 bytes, `packageBytes` long) and 5,000 other files, 2,500 beside them and
// 2,500 in 25 short-named folders, which the catalogue walk must enter. A tree already built
// with the same sizes is reused. Returns the package directory, or an empty string.
QString buildFullPen(const QString& volume, qint64 packageBytes);
constexpr int FullPenPackages = 998;
constexpr int FullPenOtherFiles = 5000;

// One line per measured pair: the two medians, their ratio and the median of the pairwise
// ratios (which holds better when the machine's speed drifts during the runs).
void printPair(const char* what, const char* name, const std::vector<double>& times, const char* baselineName,
    const std::vector<double>& baselineTimes);
