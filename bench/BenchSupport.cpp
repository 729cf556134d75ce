#include "BenchSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStringEncoder>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double timed(const std::function<void()>& work)
{
    QElapsedTimer timer;
    timer.start();
    work();
    return timer.nsecsElapsed() / 1e9;
}

bool dropCaches(const QString& coldCommand)
{
    ::sync();
    if (!coldCommand.isEmpty()
        && QProcess::execute(QStringLiteral("/bin/sh"), { QStringLiteral("-c"), coldCommand }) != 0) {
        std::fprintf(stderr, "cold command failed: %s\n", qPrintable(coldCommand));
        return false;
    }
    QFile control(QStringLiteral("/proc/sys/vm/drop_caches"));
    return control.open(QIODevice::WriteOnly) && control.write("3\n") == 2;
}

BenchArguments parseBenchArguments(const QStringList& arguments)
{
    BenchArguments parsed;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == QLatin1String("--runs") && i + 1 < arguments.size())
            parsed.runs = std::max(1, arguments[++i].toInt());
        else if (argument == QLatin1String("--cold-command") && i + 1 < arguments.size())
            parsed.coldCommand = arguments[++i];
        else if (argument == QLatin1String("--warm-only"))
            parsed.warmOnly = true;
        else if (!argument.startsWith(QLatin1String("--")) && parsed.directory.isEmpty())
            parsed.directory = argument;
        else
            parsed.rest << argument;
    }
    return parsed;
}

namespace {

bool writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Bytes that are never 0x00 or 0xFF, so that nothing but the title's own end stops a read.
QByteArray filler(qint64 size, int seed)
{
    QByteArray bytes(size, '\0');
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = char(1 + (i * 31 + seed) % 253);
    return bytes;
}

} // namespace

QString buildFullPen(const QString& volume, qint64 packageBytes)
{
    const QString custom = QDir(volume).filePath(QStringLiteral("USER/CUSTOM/"));
    const QString marker = QDir(volume).filePath(QStringLiteral("penshelf-bench-full-pen"));
    const QByteArray description = QByteArray::number(FullPenPackages) + ' '
        + QByteArray::number(FullPenOtherFiles) + ' ' + QByteArray::number(packageBytes) + '\n';
    {
        QFile existing(marker);
        if (existing.open(QIODevice::ReadOnly) && existing.readAll() == description)
            return custom;
    }
    if (QDir(custom).exists() && !QDir(custom).removeRecursively())
        return {};
    if (!QDir().mkpath(custom))
        return {};

    QStringEncoder encoder("GB18030");
    for (int i = 1; i <= FullPenPackages; ++i) {
        const QString number = QStringLiteral("%1").arg(i, 3, 10, QLatin1Char('0'));
        QByteArray bytes = filler(packageBytes, i);
        QByteArray title = encoder.encode(QStringLiteral("小学英语点读书第%1册").arg(number));
        title.append('\0');
        bytes.replace(0, title.size(), title);
        if (!writeBytes(custom + number + QStringLiteral(".dar"), bytes))
            return {};
    }
    const QByteArray other = filler(4096, 7);
    const int beside = FullPenOtherFiles / 2;
    for (int i = 0; i < beside; ++i) {
        if (!writeBytes(custom + QStringLiteral("page-%1.mp3").arg(i, 4, 10, QLatin1Char('0')), other))
            return {};
    }
    constexpr int Folders = 25;
    for (int i = 0; i < FullPenOtherFiles - beside; ++i) {
        const QString folder = custom + QStringLiteral("s%1/").arg(i % Folders, 2, 10, QLatin1Char('0'));
        if (i < Folders && !QDir().mkpath(folder))
            return {};
        if (!writeBytes(folder + QStringLiteral("t%1.mp3").arg(i / Folders, 3, 10, QLatin1Char('0')), other))
            return {};
    }
    ::sync();
    if (!writeBytes(marker, description))
        return {};
    return custom;
}

void printPair(const char* what, const char* name, const std::vector<double>& times, const char* baselineName,
    const std::vector<double>& baselineTimes)
{
    std::vector<double> ratios;
    for (size_t i = 0; i < std::min(times.size(), baselineTimes.size()); ++i)
        ratios.push_back(baselineTimes[i] > 0 ? times[i] / baselineTimes[i] : 0);
    const double reference = median(baselineTimes);
    std::printf("%-5s %-34s median %9.4f s | %-26s median %9.4f s | ratio %5.2f (pairwise median %5.2f, "
                "%zu runs)\n",
        what, name, median(times), baselineName, reference, reference > 0 ? median(times) / reference : 0,
        median(ratios), times.size());
}
