// How long the window stops answering while it works on a pen. Drives the real controller and
// main window (its widgets found by name, its public entry points) through what a user does with
// a pen, and for each action reports the main thread's longest stall: a probe thread posts an
// event to the main thread every few milliseconds and records how late each one is delivered.
//
//   penshelf_bench_stall --make-content DIR [--packages N] [--package-kib K]
//       writes a pen's content (product.ini and N packages) into DIR, to be put on a pen image
//   penshelf_bench_stall --plug-command CMD [--mount-point DIR] [--packages N] [--cases LIST]
//       a real pen: USB monitoring as in the program; CMD plugs the pen (and mounts it at DIR)
//   penshelf_bench_stall --volume DIR [--packages N] [--cases LIST]
//       a mounted volume given directly, stored as a pen the way the USB lookup stores one
//
// N is the number of packages on the pen (default 20). As root, the page cache is emptied
// before each action, so that every read of the pen reaches its medium.

#include "AppDelegate.h"
#include "ConflictWindow.h"
#include "PenCopyActions.h"
#include "TransferWindow.h"
#include "BenchSupport.h"
#include "InstWindow.h"
#include "PenRecord.h"
#include "VolumePath.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPushButton>
#include <QStringEncoder>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest/QTest>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double ms(qint64 ns) { return ns / 1e6; }

// How long any one action may take before the benchmark gives up on it.
int g_timeoutMs = 180000;

// Notes the times the whole process was not run: a thread that only sleeps 1 ms at a time and
// wakes late. On a loaded machine (a guest whose processors are threads of a busy host) such
// pauses stop the main thread too, through no fault of its own.
class PauseDetector {
public:
    PauseDetector()
    {
        m_thread = std::thread([this] {
            while (!m_stop) {
                const qint64 before = nowNs();
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                const qint64 after = nowNs();
                if (after - before > 4'000'000) {
                    std::lock_guard lock(m_mutex);
                    m_pauses.emplace_back(before + 1'000'000, after);
                }
            }
        });
    }
    ~PauseDetector()
    {
        m_stop = true;
        m_thread.join();
    }
    // How much of [from, to] fell into pauses.
    qint64 pausedWithin(qint64 from, qint64 to) const
    {
        std::lock_guard lock(m_mutex);
        qint64 paused = 0;
        for (const auto& [start, end] : m_pauses)
            paused += std::max<qint64>(0, std::min(end, to) - std::max(start, from));
        return paused;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::pair<qint64, qint64>> m_pauses;
    std::atomic<bool> m_stop = false;
    std::thread m_thread;
};

// Posts one event at a time to the main thread, waits for its delivery, pauses, and posts the
// next. The main thread's longest stall in a span is the latest delivery within it.
class StallProbe {
public:
    explicit StallProbe(int intervalMs)
        : m_context(new QObject)
        , m_intervalMs(intervalMs)
    {
        m_thread = std::thread([this] { run(); });
    }
    ~StallProbe()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        m_thread.join();
        // An event still queued for the context goes with it.
        delete m_context;
    }

    // Longest delay of an event delivered between `from` and `to`; with `pauses`, the same
    // less the time the whole process was paused meanwhile.
    qint64 longestStall(qint64 from, qint64 to, const PauseDetector* pauses = nullptr) const
    {
        std::lock_guard lock(m_mutex);
        qint64 longest = 0;
        for (const auto& [posted, delivered] : m_samples) {
            if (delivered >= from && delivered <= to)
                longest = std::max(
                    longest, delivered - posted - (pauses ? pauses->pausedWithin(posted, delivered) : 0));
        }
        return longest;
    }

private:
    void run()
    {
        std::unique_lock lock(m_mutex);
        while (!m_stop) {
            const qint64 posted = nowNs();
            m_delivered = false;
            lock.unlock();
            QMetaObject::invokeMethod(
                m_context,
                [this, posted] {
                    const qint64 delivered = nowNs();
                    std::lock_guard guard(m_mutex);
                    m_samples.emplace_back(posted, delivered);
                    m_delivered = true;
                    m_wake.notify_all();
                },
                Qt::QueuedConnection);
            lock.lock();
            m_wake.wait(lock, [this] { return m_delivered || m_stop; });
            m_wake.wait_for(lock, std::chrono::milliseconds(m_intervalMs), [this] { return m_stop; });
        }
    }

    QObject* m_context;
    int m_intervalMs;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    bool m_delivered = false;
    std::vector<std::pair<qint64, qint64>> m_samples;
    std::thread m_thread;
};

// Notes when a mount point first appears in the mount table, from a thread of its own, so that
// the time does not depend on the main thread.
class MountSighting {
public:
    explicit MountSighting(const QString& mountPoint)
    {
        if (mountPoint.isEmpty())
            return;
        // mountinfo escapes space, tab, newline and backslash in octal.
        QByteArray escaped;
        for (const char c : QFile::encodeName(mountPoint)) {
            if (c == ' ' || c == '\t' || c == '\n' || c == '\\')
                escaped += QStringLiteral("\\%1")
                               .arg(int(static_cast<unsigned char>(c)), 3, 8, QLatin1Char('0'))
                               .toLatin1();
            else
                escaped += c;
        }
        m_field = ' ' + escaped + ' ';
        m_thread = std::thread([this] { run(); });
    }
    ~MountSighting()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    // When the mount point was first seen mounted; 0 while it has not been.
    qint64 mountedAt() const { return m_mountedAt; }

private:
    bool mounted(int fd) const
    {
        QByteArray table;
        char buffer[65536];
        for (off_t offset = 0;;) {
            const ssize_t got = ::pread(fd, buffer, sizeof buffer, offset);
            if (got <= 0)
                break;
            table.append(buffer, got);
            offset += got;
        }
        return table.contains(m_field);
    }
    void run()
    {
        const int fd = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return;
        bool wasMounted = mounted(fd);
        while (!m_stop) {
            pollfd watch { fd, POLLPRI, 0 };
            if (::poll(&watch, 1, 50) <= 0)
                continue;
            const qint64 seen = nowNs();
            const bool isMounted = mounted(fd);
            if (isMounted && !wasMounted && m_mountedAt == 0)
                m_mountedAt = seen;
            wasMounted = isMounted;
        }
        ::close(fd);
    }

    QByteArray m_field;
    std::atomic<bool> m_stop = false;
    std::atomic<qint64> m_mountedAt = 0;
    std::thread m_thread;
};

// Runs the event loop until `done` holds or the time is up; false on time-out.
bool waitUntil(const std::function<bool()>& done, int timeoutMs)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer poll;
    poll.setTimerType(Qt::PreciseTimer);
    poll.setInterval(1);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, [&] { loop.exit(1); });
    poll.start();
    return loop.exec() == 0;
}

void idle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

QByteArray packageBytes(const QString& title, qint64 size)
{
    QByteArray bytes(size, '\0');
    for (qint64 i = 100; i < size; ++i)
        bytes[i] = char((i * 7 + 3) & 0xff);
    QStringEncoder encode("GB18030");
    const QByteArray encoded = encode(title);
    std::copy(encoded.begin(), encoded.end(), bytes.begin());
    return bytes;
}

bool writeBytes(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

int makeContent(const QString& dir, int packages, qint64 packageBytesEach)
{
    // The serial is read at a fixed place of product.ini.
    bool ok = writeBytes(dir + "/SYS/INI/product.ini", "[PRODUCT]\r\nSN=BENCH000001\r\nVER=1\r\n");
    for (int i = 1; i <= packages && ok; ++i)
        ok = writeBytes(QStringLiteral("%1/USER/CUSTOM/%2.dar").arg(dir).arg(i, 3, 10, QLatin1Char('0')),
            packageBytes(QStringLiteral("测试书%1").arg(i), packageBytesEach));
    std::printf("%s: %d packages of %lld KiB\n", qPrintable(dir), packages, packageBytesEach / 1024);
    return ok ? 0 : 1;
}

struct Result {
    QString name;
    double stallMs = 0;
    double unpausedStallMs = 0; // less the time the whole process was paused
    double pausedMs = 0; // pauses of the whole process during the case
    double doneMs = 0;
    QString note;
};

class Bench {
public:
    Bench(AppDelegate& app, StallProbe& probe, const PauseDetector& pauses, int packages)
        : m_app(app)
        , m_probe(probe)
        , m_pauses(pauses)
        , m_packages(packages)
    {
    }

    template <typename T> T* widget(const char* name) const
    {
        T* found = m_app.window()->findChild<T*>(QLatin1String(name));
        if (!found)
            qFatal("no widget %s", name);
        return found;
    }
    QTableView* table() const { return widget<QTableView>("listBook"); }
    int rows() const { return table()->model()->rowCount(); }
    QString cell(int row, int column) const { return table()->model()->index(row, column).data().toString(); }
    // A job on the pen shows as a busy cursor over the table.
    bool busy() const
    {
        const QTableView* view = table();
        return view->testAttribute(Qt::WA_SetCursor)
            && (view->cursor().shape() == Qt::BusyCursor || view->cursor().shape() == Qt::WaitCursor);
    }
    QString info() const { return widget<QLabel>("dtInfo")->text(); }

    // Empties the caches (as root) and lets the window settle, then starts the clock.
    void begin(const QString& name)
    {
        m_cold = dropCaches();
        idle(150);
        m_name = name;
        m_start = nowNs();
    }
    // Waits for `done`, keeps the loop running a little longer for work that follows, and
    // records the longest stall since begin().
    bool finish(const std::function<bool()>& done, int timeoutMs = -1, const QString& note = {})
    {
        const bool ok = waitUntil(done, timeoutMs < 0 ? g_timeoutMs : timeoutMs);
        const qint64 doneAt = nowNs();
        idle(300);
        const qint64 end = nowNs();
        Result result { m_name, ms(m_probe.longestStall(m_start, end)),
            ms(m_probe.longestStall(m_start, end, &m_pauses)), ms(m_pauses.pausedWithin(m_start, end)),
            ms(doneAt - m_start), note };
        if (!ok)
            result.note
                = QStringLiteral("TIMED OUT with %1 rows, message \"%2\" ").arg(rows()).arg(info()) + note;
        if (!m_cold)
            result.note += QStringLiteral(" (warm cache)");
        m_results.push_back(result);
        std::printf("%-22s longest stall %8.1f ms (%8.1f ms less pauses)  done after %8.1f ms  %s\n",
            qPrintable(result.name), result.stallMs, result.unpausedStallMs, result.doneMs,
            qPrintable(result.note));
        std::fflush(stdout);
        return ok;
    }
    qint64 startedAt() const { return m_start; }

    void clickRow(int row)
    {
        QTableView* view = table();
        view->scrollTo(view->model()->index(row, 0));
        QTest::mouseClick(
            view->viewport(), Qt::LeftButton, {}, view->visualRect(view->model()->index(row, 0)).center());
    }
    // Selected, with the edit area filled in.
    bool rowShown(int row) const
    {
        return !busy() && widget<QPushButton>("btnApply")->isEnabled()
            && widget<QLineEdit>("dtBookName")->text() == cell(row, 0)
            && !widget<QLineEdit>("dtOffsetOid")->text().isEmpty();
    }
    int rowWithNumber(const QString& number) const
    {
        for (int row = 0; row < rows(); ++row) {
            if (cell(row, 1).mid(3) == number)
                return row;
        }
        return -1;
    }

    void select();
    void apply();
    void remove();
    void install(const QString& source);
    void eject();
    void backup(const QString& folder);
    void restore(const QString& folder);
    void copyToOtherPen();

    void printTable() const
    {
        std::printf("\n| case | longest main-thread stall (ms) | the same less process pauses (ms) | process "
                    "paused (ms) | done after (ms) |\n|---|---:|---:|---:|---:|\n");
        for (const Result& result : m_results)
            std::printf("| %s%s | %.1f | %.1f | %.1f | %.1f |\n", qPrintable(result.name),
                result.note.isEmpty() ? "" : qPrintable(QStringLiteral(" (%1)").arg(result.note.trimmed())),
                result.stallMs, result.unpausedStallMs, result.pausedMs, result.doneMs);
        std::fflush(stdout);
    }

private:
    AppDelegate& m_app;
    StallProbe& m_probe;
    const PauseDetector& m_pauses;
    int m_packages;
    QString m_name;
    qint64 m_start = 0;
    bool m_cold = false;
    std::vector<Result> m_results;
};

void Bench::select()
{
    const int row = std::min(2, rows() - 1);
    begin(QStringLiteral("select a row"));
    clickRow(row);
    finish([&] { return rowShown(row); });
}

void Bench::apply()
{
    // A number the pen does not have yet.
    QString number;
    for (int n = 999; n > 0 && number.isEmpty(); --n) {
        const QString candidate = QString::asprintf("%03d", n);
        if (rowWithNumber(candidate) < 0)
            number = candidate;
    }
    const int row = std::min(3, rows() - 1);
    clickRow(row);
    if (!waitUntil([&] { return rowShown(row); }, g_timeoutMs))
        std::printf("the row to renumber was not shown\n");
    widget<QLineEdit>("dtBookOid")->setText(number);
    widget<QLineEdit>("dtOffsetOid")->setText(QStringLiteral("0123"));
    begin(QStringLiteral("应用贴号 (renumber)"));
    QTest::mouseClick(widget<QPushButton>("btnApply"), Qt::LeftButton);
    finish([&] { return !busy() && rowWithNumber(number) >= 0; }, g_timeoutMs, number);
}

void Bench::remove()
{
    const int before = rows();
    const int row = std::min(1, rows() - 1);
    clickRow(row);
    if (!waitUntil([&] { return rowShown(row); }, g_timeoutMs))
        std::printf("the row to remove was not shown\n");
    AppDelegate::alertHook = [](QMessageBox& box) -> QAbstractButton* {
        for (QAbstractButton* button : box.buttons()) {
            if (button->text() == QStringLiteral("删除"))
                return button;
        }
        return nullptr;
    };
    begin(QStringLiteral("删除 (remove)"));
    QTest::mouseClick(widget<QPushButton>("btnRemove"), Qt::LeftButton);
    finish([&] { return !busy() && rows() == before - 1; });
    AppDelegate::alertHook = nullptr;
}

// The install button until the file chooser is shown (the package folder is checked first);
// the chooser answered until the install dialog shows its proposed number; then 安装 in the
// dialog, until the new package is listed.
void Bench::install(const QString& source)
{
    const int before = rows();
    AppDelegate::fileDialogShown = [this, source](QFileDialog* dialog) {
        finish([] { return true; });
        begin(QStringLiteral("open install dialog"));
        dialog->setDirectory(QFileInfo(source).absolutePath());
        if (auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
            name->setText(QFileInfo(source).fileName());
        static_cast<QDialog*>(dialog)->accept();
    };
    InstWindow::windowShown = [this](InstWindow* dialog) {
        auto* number = dialog->findChild<QLineEdit*>(QStringLiteral("dtBookOid"));
        auto* install = dialog->findChild<QPushButton*>(QStringLiteral("btnInstall"));
        finish(
            [&] { return !number->text().isEmpty() && install->isEnabled(); }, g_timeoutMs, number->text());
        begin(QStringLiteral("安装 (install)"));
        QTest::mouseClick(install, Qt::LeftButton);
        // Returns to the main window once the copy is done and the dialog closed.
        QTimer::singleShot(300000, dialog, [dialog] { dialog->done(QDialog::Rejected); });
    };
    begin(QStringLiteral("安装 (file chooser)"));
    QTest::mouseClick(widget<QPushButton>("btnInstall"), Qt::LeftButton);
    finish([&] { return !busy() && rows() == before + 1; });
    AppDelegate::fileDialogShown = nullptr;
    InstWindow::windowShown = nullptr;
}

void Bench::eject()
{
    begin(QStringLiteral("eject"));
    QTest::mouseClick(widget<QPushButton>("btnEject"), Qt::LeftButton);
    finish([&] { return !busy() && !m_app.session()->isEjecting(); }, g_timeoutMs, QString());
    std::printf("  after the eject: %s\n", qPrintable(info()));
}

// Runs `click` and measures until its transfer window shows the summary, which is then closed.
static bool transferDone = false;
static void answerTransfers()
{
    transferDone = false;
    TransferWindow::finishedHook = [](TransferWindow& window) {
        transferDone = true;
        QTimer::singleShot(0, &window, [&window] { window.closeButton()->click(); });
    };
    // Taken names go to the next free number where they can.
    ConflictWindow::shownHook = [](ConflictWindow& ask) {
        for (QComboBox* choice : ask.choices())
            choice->setCurrentIndex(choice->count() - 1);
        ask.findChild<QPushButton*>(QStringLiteral("btnContinue"))->click();
    };
}

// 备份… into an empty folder, until the summary is shown.
void Bench::backup(const QString& folder)
{
    answerTransfers();
    PenCopyActions::folderChooser = [folder](const QString&) { return folder; };
    begin(QStringLiteral("备份 (backup)"));
    QTest::mouseClick(widget<QPushButton>("btnBackup"), Qt::LeftButton);
    finish([&] { return transferDone && !busy(); });
}

// 从备份恢复… of that backup onto the same pen: every name is taken, so each package goes to the
// next free number; until the summary is shown and the table rebuilt.
void Bench::restore(const QString& folder)
{
    const int before = rows();
    answerTransfers();
    PenCopyActions::folderChooser = [folder](const QString&) { return folder; };
    begin(QStringLiteral("从备份恢复 (restore)"));
    QTest::mouseClick(widget<QPushButton>("btnRestore"), Qt::LeftButton);
    finish([&] { return transferDone && !busy() && rows() > before; });
}

// 复制到另一支笔… of the first two rows to the second pen, until the summary is shown.
void Bench::copyToOtherPen()
{
    answerTransfers();
    clickRow(0);
    QTest::mouseClick(table()->viewport(), Qt::LeftButton, Qt::ControlModifier,
        table()->visualRect(table()->model()->index(1, 0)).center());
    PenCopyActions::penChooser = [](const QStringList& pens) { return pens.value(0); };
    begin(QStringLiteral("复制到另一支笔 (copy)"));
    QTest::mouseClick(widget<QPushButton>("btnCopy"), Qt::LeftButton);
    finish([&] { return transferDone && !busy(); });
}

} // namespace

int main(int argc, char** argv)
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QString plugCommand, volume, mountPoint, contentDir, copyTo;
    QStringList cases { "plug", "refresh", "select", "apply", "remove", "install", "backup", "restore", "copy",
        "eject" };
    int packages = 20;
    qint64 packageKib = 128;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        const QString value = i + 1 < arguments.size() ? arguments[i + 1] : QString();
        if (argument == "--plug-command")
            plugCommand = value, ++i;
        else if (argument == "--volume")
            volume = value, ++i;
        else if (argument == "--mount-point")
            mountPoint = value, ++i;
        else if (argument == "--make-content")
            contentDir = value, ++i;
        else if (argument == "--packages")
            packages = std::max(4, value.toInt()), ++i;
        else if (argument == "--package-kib")
            packageKib = std::max(1, value.toInt()), ++i;
        else if (argument == "--timeout")
            g_timeoutMs = std::max(1, value.toInt()) * 1000, ++i;
        else if (argument == "--copy-to")
            copyTo = value, ++i;
        else if (argument == "--cases")
            cases = value.split(','), ++i;
        else {
            std::fprintf(stderr, "unknown argument %s\n", qPrintable(argument));
            return 2;
        }
    }
    if (!contentDir.isEmpty()) {
        QCoreApplication application(argc, argv);
        return makeContent(contentDir, packages, packageKib * 1024);
    }
    if (plugCommand.isEmpty() == volume.isEmpty()) {
        std::fprintf(stderr,
            "usage: penshelf_bench_stall --make-content DIR | --plug-command CMD [--mount-point DIR] | "
            "--volume DIR [--copy-to DIR] [--packages N] "
            "[--cases plug,refresh,select,apply,remove,install,backup,restore,copy,eject]\n");
        return 2;
    }
    QApplication application(argc, argv);
    if (::geteuid() != 0)
        std::printf("not root: the page cache is not emptied before each action\n");

    QTemporaryDir computer;
    const QString source = computer.filePath("book.dab");
    writeBytes(source, packageBytes(QStringLiteral("新书"), packageKib * 1024));

    PauseDetector pauses;
    StallProbe probe(2);
    MountSighting sighting(mountPoint);
    AppDelegate app;
    if (!volume.isEmpty()) {
        // Volume paths end with a slash, as the mount table lookup gives them.
        if (!volume.endsWith('/'))
            volume += '/';
        app.setUsbMonitoringEnabled(false);
        if (!copyTo.isEmpty() && !copyTo.endsWith('/'))
            copyTo += '/';
        // A second pen, the target of the copy, when asked for.
        app.setVolumePathResolver(
            [volume, copyTo](const QString& name) { return name == QLatin1String("bench1") ? copyTo : volume; });
    } else {
        // The pen is mounted by the plug command, not by the program.
        app.setAutoMountEnabled(false);
    }
    app.applicationDidFinishLaunching();
    app.window()->show();
    Bench bench(app, probe, pauses, packages);
    idle(500);

    std::thread plugger;
    std::atomic<int> plugStatus = -1;
    bench.begin(QStringLiteral("listing on plug"));
    if (!volume.isEmpty()) {
        app.session()->storePen(BuildPenRecord("vorna", "Pen", "0100", "bench0", ReadProductIni(volume)));
    } else {
        plugger = std::thread([&] { plugStatus = std::system(plugCommand.toLocal8Bit().constData()); });
    }
    qint64 listedAt = 0;
    bench.finish(
        [&] {
            if (bench.rows() < packages || bench.busy())
                return false;
            listedAt = nowNs();
            return true;
        },
        -1);
    if (plugger.joinable())
        plugger.join();
    if (plugStatus > 0)
        std::printf("the plug command failed: %d\n", int(plugStatus));
    if (sighting.mountedAt() && listedAt)
        std::printf("packages listed %.1f ms after the volume was mounted (%.1f ms after the plug started)\n",
            ms(listedAt - sighting.mountedAt()), ms(sighting.mountedAt() - bench.startedAt()));

    if (cases.contains("refresh")) {
        bench.begin(QStringLiteral("刷新 (refresh)"));
        QTest::mouseClick(bench.widget<QPushButton>("btnRefresh"), Qt::LeftButton);
        bench.finish([&] { return !bench.busy() && bench.rows() == packages; });
    }
    if (cases.contains("select"))
        bench.select();
    if (cases.contains("apply"))
        bench.apply();
    if (cases.contains("remove"))
        bench.remove();
    if (cases.contains("install"))
        bench.install(source);
    const QString backupFolder = computer.filePath("backup");
    QDir().mkpath(backupFolder);
    if (cases.contains("backup"))
        bench.backup(backupFolder);
    if (cases.contains("restore") && cases.contains("backup"))
        bench.restore(backupFolder);
    if (cases.contains("copy") && !copyTo.isEmpty()) {
        QDir().mkpath(copyTo + "USER/CUSTOM");
        app.session()->storePen(BuildPenRecord("vorna", "Pen", "0100", "bench1", {}));
        idle(500);
        bench.copyToOtherPen();
    }
    if (cases.contains("eject") && volume.isEmpty())
        bench.eject();
    bench.printTable();
    return 0;
}
