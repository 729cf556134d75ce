#include "AppDelegate.h"
#include "Catalogue.h"
#include "CopyVerify.h"
#include "Deadline.h"
#include "FailingSync.h"
#include "FolderDoor.h"
#include "InstWindow.h"
#include "InstallTexts.h"
#include "LoopPen.h"
#include "MainThreadGuard.h"
#include "MainWindowDriver.h"
#include "NoFileEntry.h"
#include "PackageBuilder.h"
#include "PackageCopy.h"
#include "PenJobs.h"
#include "ScratchMount.h"
#include "Texts.h"

#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTableView>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// With this random source the code key byte is 1 + 99.
constexpr quint32 FixedRandom = 99;
constexpr quint8 Key = 100;

struct Patch {
    qint64 offset;
    QByteArray bytes;
};
using Patches = QList<Patch>;

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray result;
    for (int v : values)
        result.append(char(v));
    return result;
}

// The book code fields as the pen reads them: the code at 336, the key at 343 and the copy at
// 373 masked with the key and 0x3B.
Patches bookCode(const QByteArray& code)
{
    QByteArray masked = code;
    for (char& c : masked)
        c = char(quint8(c) ^ Key ^ 0x3B);
    return { { 336, code }, { 343, QByteArray(1, char(Key)) }, { 373, masked } };
}

QByteArray applied(QByteArray data, const Patches& patches)
{
    for (const Patch& patch : patches) {
        if (data.size() < patch.offset + patch.bytes.size())
            data.resize(patch.offset + patch.bytes.size(), '\0');
        data.replace(patch.offset, patch.bytes.size(), patch.bytes);
    }
    return data;
}

QStringList entries(const QString& directory)
{
    return QDir(directory).entryList(
        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
}

// Source packages by the kind they install as. The start sticker key of "unb" packages is set
// explicitly so that the masked values below can be written as literals.
QString makeSource(const QString& directory, const QString& kind, qint64 size = 1024)
{
    PackageBuilder builder(size);
    QString name = QStringLiteral("book.dab");
    if (kind == "dar")
        builder.title(QStringLiteral("自制书"));
    else if (kind == "das")
        builder.title(QStringLiteral("deb 智能书"));
    else if (kind == "dsr") {
        builder.title(QStringLiteral("故事书"));
        name = QStringLiteral("book.dsb");
    } else if (kind == "dsr-deb") {
        builder.title(QStringLiteral("DEB-故事书"));
        name = QStringLiteral("book.dsb");
    } else if (kind == "unb-dar")
        builder.title(QStringLiteral("unb自制书"))
            .bytesAt(95, bytes({ 0, 0 }))
            .bytesAt(161, bytes({ 0x5A, 0xA5 }));
    else if (kind == "unb-das")
        builder.title(QStringLiteral("unb智能书"))
            .bytesAt(95, bytes({ 0, 7 }))
            .bytesAt(161, bytes({ 0x5A, 0xA5 }));
    else if (kind == "untitled")
        builder.rawTitle(QByteArray(1, '\0'));
    return builder.writeTo(QDir(directory).filePath(name));
}

InstallOptions fixedOptions()
{
    InstallOptions options;
    options.random = [](quint32) { return FixedRandom; };
    return options;
}

// Holds the copy on its worker thread at its free-space query, so that a test can look at
// the dialog, or change the pen, while a copy is under way.
struct HeldCopy {
    QSemaphore release;
    std::atomic<bool> started = false;
    InstallOptions options()
    {
        InstallOptions held = fixedOptions();
        held.volumeSpace = [this](const QString& directory) {
            started = true;
            release.acquire();
            return queryVolumeSpace(directory);
        };
        return held;
    }
};

// An install dialog on one package, loaded and shown (not modally), driven through its
// named widgets.
struct Dialog {
    InstWindow window;

    Dialog(const QString& source, const QString& pathKavo, const InstallOptions& options = fixedOptions())
    {
        window.setNRefresh(0);
        window.setPathKavo(pathKavo);
        window.setPenDoor(folderDoor(pathKavo));
        window.setPathBook(source);
        window.setNameBook(ReadBookName(source));
        window.setInstallOptions(options);
        window.windowDidLoad();
        window.show();
        // The proposal is read from the pen in the background.
        QVERIFY(QTest::qWaitFor([this] { return !window.isProposing(); }, 30000));
    }
    template <typename T> T* widget(const char* name) const
    {
        T* found = window.findChild<T*>(QLatin1String(name));
        Q_ASSERT_X(found, "widget", name);
        return found;
    }
    QLineEdit* field(const char* name) const { return widget<QLineEdit>(name); }
    QPushButton* button(const char* name) const { return widget<QPushButton>(name); }
    QProgressBar* progress() const { return widget<QProgressBar>("prInstall"); }
    QString info() const { return widget<QLabel>("dtInfo")->text(); }

    void type(const QString& bookOid, const QString& offsetOid)
    {
        field("dtBookOid")->setText(bookOid);
        field("dtOffsetOid")->setText(offsetOid);
    }
    // Presses the install button and waits until the copy, if one started, has ended.
    bool install()
    {
        QTest::mouseClick(button("btnInstall"), Qt::LeftButton);
        return QTest::qWaitFor([this] { return !window.isCopying(); }, 30000);
    }
    bool editable() const
    {
        return button("btnInstall")->isEnabled() && button("btnCancel")->isEnabled()
            && field("dtBookOid")->isEnabled() && field("dtOffsetOid")->isEnabled()
            && !progress()->isVisible();
    }
};

// A pen volume as the main window sees it: a directory with the package directory inside.
struct PenVolume {
    QTemporaryDir dir;
    QString volume() const { return dir.path() + QLatin1Char('/'); }
    QString custom() const { return volume() + PackageDirectory; }
    PenVolume() { QDir().mkpath(custom()); }
};

// Overwrites `length` bytes of a file's data at `offset` on the block device below its file
// system, around the page cache: a pen that did not keep what it was given. Root only.
bool corruptOnDevice(const QString& file, const QString& device, qint64 offset, qint64 length)
{
    const int fd = ::open(QFile::encodeName(file).constData(), O_RDONLY);
    if (fd < 0)
        return false;
    alignas(struct fiemap) char buffer[sizeof(struct fiemap) + sizeof(struct fiemap_extent)] = {};
    auto* map = reinterpret_cast<struct fiemap*>(buffer);
    map->fm_start = quint64(offset);
    map->fm_length = quint64(length);
    map->fm_flags = FIEMAP_FLAG_SYNC;
    map->fm_extent_count = 1;
    const bool mapped = ::ioctl(fd, FS_IOC_FIEMAP, map) == 0 && map->fm_mapped_extents == 1;
    ::close(fd);
    if (!mapped)
        return false;
    const struct fiemap_extent& extent = map->fm_extents[0];
    const qint64 physical = qint64(extent.fe_physical) + (offset - qint64(extent.fe_logical));

    // O_DIRECT: whole aligned sectors, read, changed and written back.
    constexpr qint64 Sector = 4096;
    const qint64 first = physical / Sector * Sector;
    const qint64 span = (physical + length - first + Sector - 1) / Sector * Sector;
    const int dev = ::open(QFile::encodeName(device).constData(), O_RDWR | O_DIRECT);
    if (dev < 0)
        return false;
    void* block = nullptr;
    bool done = ::posix_memalign(&block, Sector, size_t(span)) == 0
        && ::pread(dev, block, size_t(span), first) == span;
    if (done) {
        for (qint64 i = 0; i < length; ++i)
            static_cast<char*>(block)[physical - first + i] ^= char(0xFF);
        done = ::pwrite(dev, block, size_t(span), first) == span && ::fsync(dev) == 0;
    }
    ::free(block);
    ::close(dev);
    return done;
}

// The main window with one pen whose volume is a plain directory, and three packages on the
// computer. Install dialogs are answered by `answers` in order ("install" or "cancel"); the
// proposal each one made is kept.
struct Batch {
    QTemporaryDir computer;
    PenVolume pen;
    MainWindowDriver driver;
    QStringList answers;
    QStringList proposals;
    QStringList titles;

    Batch()
    {
        PackageBuilder(3000).title(QStringLiteral("甲")).writeTo(computer.filePath("a.dab"));
        PackageBuilder(3000).title(QStringLiteral("乙")).writeTo(computer.filePath("b.dab"));
        PackageBuilder(3000).title(QStringLiteral("丙")).writeTo(computer.filePath("c.dsb"));
        writeFile(computer.filePath("notes.txt"), "x");
        writeFile(computer.filePath("photo.png"), "x");
        PackageBuilder().title(QStringLiteral("旧书")).writeTo(pen.custom() + "001.dar");

        driver.addPen("sdb1", pen.volume());
        InstWindow::windowShown = [this](InstWindow* dialog) {
            QTimer::singleShot(20000, dialog, [dialog] { dialog->done(QDialog::Rejected); });
            proposals << dialog->findChild<QLineEdit*>("dtBookOid")->text();
            titles << dialog->windowTitle();
            const QString answer = answers.value(proposals.size() - 1, QStringLiteral("cancel"));
            QTest::mouseClick(
                dialog->findChild<QPushButton*>(answer == "install" ? "btnInstall" : "btnCancel"),
                Qt::LeftButton);
        };
    }
    QList<QUrl> urls(const QStringList& names) const
    {
        QList<QUrl> list;
        for (const QString& name : names)
            list << QUrl::fromLocalFile(computer.filePath(name));
        return list;
    }
};

} // namespace

Q_DECLARE_METATYPE(Patches)

class InstallTest : public QObject {
    Q_OBJECT
private slots:
    void cleanup();

    void windowDidLoad_data();
    void windowDidLoad();
    void proposal_data();
    void proposal();
    void checks_data();
    void checks();
    void fitsOnVolume_data();
    void fitsOnVolume();

    void copy_data();
    void copy();
    void tooShort_data();
    void tooShort();
    void sourceThatIsNoFile_data();
    void sourceThatIsNoFile();
    void nameTakenByAnyEntry_data();
    void nameTakenByAnyEntry();
    void packageFolder_data();
    void packageFolder();
    void leftoverCopies();
    void header_data();
    void header();
    void failures_data();
    void failures();
    void flushAndRemovalFaults_data();
    void flushAndRemovalFaults();
    void packageFlushedUnderItsName();
    void failedCopyRemovedWhileHeld_data();
    void failedCopyRemovedWhileHeld();
    void retryAfterFailure();
    void copyingLocksTheDialog();
    void dialogWaitsForThePen();
    void cancelStopsTheCopy_data();
    void cancelStopsTheCopy();
    void nameTakenDuringCopy();

    void readBack_data();
    void readBack();
    void readBackComesFromTheDevice();
    void progressCoversCopyAndReadBack();

    void dropOnMainWindow_data();
    void dropOnMainWindow();
    void dropWithoutPen();
    void severalChosenInFileDialog_data();
    void severalChosenInFileDialog();

    void modalLoop_data();
    void modalLoop();
    void fromMainWindow_data();
    void fromMainWindow();
    void secondInstallReplacesDialog();
};

void InstallTest::cleanup()
{
    InstWindow::windowShown = nullptr;
    PenJobs::jobStarting = nullptr;
    AppDelegate::fileDialogShown = nullptr;
}

void InstallTest::windowDidLoad_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<bool>("startRow");
    QTest::addColumn<QString>("name");

    QTest::addRow("untagged dab: .dar with start sticker") << "dar"
                                                           << "书名贴号：" << true << "自制书";
    QTest::addRow("deb-tagged dab: .das, tag and one character cut") << "das"
                                                                     << "书名贴号：" << false << "智能书";
    QTest::addRow("unb-tagged, zero marker: .dar, tag cut") << "unb-dar"
                                                            << "书名贴号：" << true << "自制书";
    QTest::addRow("unb-tagged, marker set: .das") << "unb-das"
                                                  << "书名贴号：" << false << "智能书";
    QTest::addRow("dsb: story caption") << "dsr"
                                        << "故事贴号：" << false << "故事书";
    QTest::addRow("dsb tagged DEB in capitals") << "dsr-deb"
                                                << "故事贴号：" << false << "故事书";
    QTest::addRow("no title: the file name is shown") << "untitled"
                                                      << "书名贴号：" << true << "book";
}

void InstallTest::windowDidLoad()
{
    QFETCH(QString, kind);
    QFETCH(QString, caption);
    QFETCH(bool, startRow);
    QFETCH(QString, name);

    QTemporaryDir dir;
    Dialog d(makeSource(dir.path(), kind), dir.filePath("pen/"));
    QCOMPARE(d.widget<QLabel>("ttBookOid")->text(), caption);
    QCOMPARE(d.widget<QLabel>("ttOffsetOid")->isVisible(), startRow);
    QCOMPARE(d.field("dtOffsetOid")->isVisible(), startRow);
    QCOMPARE(d.field("dtBookName")->text(), name);
    QVERIFY(!d.progress()->isVisible());
    QVERIFY(d.editable());
    QCOMPARE(d.info(), QString());
}

void InstallTest::proposal_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("directories");
    QTest::addColumn<QStringList>("danglingLinks");
    QTest::addColumn<QString>("expected");

    const QStringList none;
    const QStringList fiveDar { "001.dar", "002.dar", "003.dar", "004.dar", "005.dar" };
    QTest::addRow("empty directory") << "dar" << none << none << none << "001";
    QTest::addRow("001..005.dar taken, .dar") << "dar" << fiveDar << none << none << "006";
    QTest::addRow("001..005.dar taken, .das") << "das" << fiveDar << none << none << "001";
    QTest::addRow("a gap is filled") << "dar" << QStringList { "001.dar", "003.dar" } << none << none
                                     << "002";
    QTest::addRow("a directory takes the name")
        << "dar" << fiveDar << QStringList { "006.dar" } << none << "007";
    // FAT finds "004.dar" under the name "004.DAR": the proposal must not offer it.
    QTest::addRow("004.DAR takes 004")
        << "dar" << QStringList { "001.dar", "002.dar", "003.dar", "004.DAR" } << none << none << "005";
    QTest::addRow("mixed case, .dsr")
        << "dsr" << QStringList { "001.DsR", "002.dSr" } << none << none << "003";
    QTest::addRow("a directory in capitals") << "das" << none << QStringList { "001.DAS" } << none << "002";
    QTest::addRow("a dangling link takes the name")
        << "dar" << QStringList { "001.dar" } << none << QStringList { "002.dar" } << "003";
    QTest::addRow("other names take nothing")
        << "dar"
        << QStringList { "001.das", "002.dar.tmp", "003_dar", "0004.dar", "x05.dar", ".penshelf-a.tmp", "001",
               "sub/001.dar" }
        << none << none << "001";
    QStringList all;
    for (int i = 1; i <= 998; ++i)
        all << QStringLiteral("%1.dsr").arg(i, 3, 10, QLatin1Char('0'));
    QTest::addRow("every name taken: 998, never 999") << "dsr" << all << none << none << "998";
    QStringList allButLast = all.mid(0, 997);
    allButLast.replaceInStrings(".dsr", ".DSR");
    QTest::addRow("997 taken in capitals: 998") << "dsr" << allButLast << none << none << "998";
}

void InstallTest::proposal()
{
    QFETCH(QString, kind);
    QFETCH(QStringList, files);
    QFETCH(QStringList, directories);
    QFETCH(QStringList, danglingLinks);
    QFETCH(QString, expected);

    QTemporaryDir dir;
    const QString pen = dir.filePath("pen/");
    QDir().mkpath(pen);
    for (const QString& file : files)
        QVERIFY(writeFile(pen + file, "x"));
    for (const QString& directory : directories)
        QVERIFY(QDir().mkpath(pen + directory));
    for (const QString& link : danglingLinks) {
        if (::symlink("gone.dar", QFile::encodeName(pen + link).constData()) != 0)
            QSKIP("this file system has no symbolic links");
    }

    Dialog d(makeSource(dir.path(), kind), pen);
    QCOMPARE(d.field("dtBookOid")->text(), expected);
}

void InstallTest::checks_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("bookOid");
    QTest::addColumn<QString>("offsetOid");
    QTest::addColumn<QString>("message");

    const QString bookDigits = "书名贴号必须为数字！";
    const QString startDigits = "起始贴号必须为数字！";
    const QString bookThree = "书名贴号必须为3位数字！";
    const QString startFour = "起始贴号必须为4位数字！";
    const QString exists = "此贴号点读包已存在！";
    QTest::addRow("empty book sticker passes the digit rule") << "dar"
                                                              << ""
                                                              << "0000" << bookThree;
    QTest::addRow("letter in the book sticker") << "dar"
                                                << "12a"
                                                << "0000" << bookDigits;
    QTest::addRow("four-digit book sticker") << "dar"
                                             << "0123"
                                             << "0000" << bookThree;
    QTest::addRow("both bad: only the first is reported") << "dar"
                                                          << "12a"
                                                          << "x" << bookDigits;
    QTest::addRow("digit rule before length") << "dar"
                                              << "1"
                                              << "x" << startDigits;
    QTest::addRow("full-width digits") << "dar"
                                       << "１２３"
                                       << "0000" << bookDigits;
    QTest::addRow("full-width start sticker") << "dar"
                                              << "123"
                                              << "１２３４" << startDigits;
    QTest::addRow("space and sign fail") << "dar"
                                         << " 12"
                                         << "+123" << bookDigits;
    QTest::addRow("three-digit start sticker") << "dar"
                                               << "123"
                                               << "123" << startFour;
    QTest::addRow("empty start sticker") << "dar"
                                         << "123"
                                         << "" << startFour;
    QTest::addRow("hidden start sticker is still checked") << "das"
                                                           << "123"
                                                           << "12" << startFour;
    QTest::addRow("existing file") << "dar"
                                   << "005"
                                   << "0000" << exists;
    QTest::addRow("existing directory") << "dar"
                                        << "007"
                                        << "0000" << exists;
    // FAT finds "004.DAR" under "004.dar": so must the check where the file system minds case.
    QTest::addRow("004.DAR takes typed 004") << "dar"
                                             << "004"
                                             << "0000" << exists;
    QTest::addRow("lengths before existence") << "dar"
                                              << "05"
                                              << "0000" << bookThree;
}

void InstallTest::checks()
{
    QFETCH(QString, kind);
    QFETCH(QString, bookOid);
    QFETCH(QString, offsetOid);
    QFETCH(QString, message);

    QTemporaryDir dir;
    const QString pen = dir.filePath("pen/");
    QVERIFY(writeFile(pen + "005.dar", "x"));
    QVERIFY(writeFile(pen + "004.DAR", "x"));
    QVERIFY(QDir().mkpath(pen + "007.dar"));
    const QStringList before = entries(pen);

    Dialog d(makeSource(dir.path(), kind), pen);
    d.type(bookOid, offsetOid);
    QVERIFY(d.install());
    QCOMPARE(d.info(), message);
    QVERIFY(d.editable());
    QCOMPARE(d.window.nRefresh(), 0);
    QVERIFY(d.window.isVisible());
    QCOMPARE(entries(pen), before);
    QCOMPARE(readFile(pen + "005.dar"), QByteArray("x"));
}

void InstallTest::fitsOnVolume_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<qint64>("cluster");
    QTest::addColumn<qint64>("available");
    QTest::addColumn<bool>("fits");

    // Every row is a boundary: one byte less available does not fit.
    QTest::addRow("empty package: a cluster and the entry") << 0LL << 4096LL << 8192LL << true;
    QTest::addRow("empty package, one byte short") << 0LL << 4096LL << 8191LL << false;
    QTest::addRow("one byte over a cluster takes two") << 4097LL << 4096LL << 12288LL << true;
    QTest::addRow("one byte over a cluster, short") << 4097LL << 4096LL << 12287LL << false;
    QTest::addRow("FAT, 32 KiB clusters") << 1048576LL << 32768LL << 1081344LL << true;
    QTest::addRow("FAT, 32 KiB clusters, short") << 1048576LL << 32768LL << 1081343LL << false;
}

void InstallTest::fitsOnVolume()
{
    QFETCH(qint64, size);
    QFETCH(qint64, cluster);
    QFETCH(qint64, available);
    QFETCH(bool, fits);
    QCOMPARE(::fitsOnVolume(size, VolumeSpace { available, cluster }), fits);
}

void InstallTest::copy_data()
{
    QTest::addColumn<qint64>("size");
    for (qint64 size : { 383LL, 1023LL, 1024LL, 2048LL, 2049LL, 3LL * 1024 * 1024 + 5 })
        QTest::addRow("%lld bytes", size) << size;
}

void InstallTest::copy()
{
    QFETCH(qint64, size);

    QTemporaryDir dir;
    const QString pen = dir.filePath("pen/");
    QDir().mkpath(pen);
    const QByteArray source = PackageBuilder::pattern(size);
    QVERIFY(writeFile(dir.filePath("book.dab"), source));

    Dialog d(dir.filePath("book.dab"), pen);
    QSignalSpy values(d.progress(), &QProgressBar::valueChanged);
    d.type("042", "0150");
    QVERIFY(d.install());
    QCOMPARE(d.info(), QStringLiteral("正在安装点读包……"));
    QCOMPARE(d.window.nRefresh(), 2);
    QTRY_VERIFY(!d.window.isVisible());

    // Progress on the 1024-byte scale: maximum n + 1, rising to n.
    const qint64 n = size / 1024;
    QCOMPARE(d.progress()->maximum(), int(n + 1));
    QCOMPARE(d.progress()->value(), int(n));
    int previous = 0;
    for (const QList<QVariant>& value : values) {
        QVERIFY(value.first().toInt() > previous);
        previous = value.first().toInt();
    }
    if (n > 2048)
        QVERIFY2(values.size() > 2, "the bar moves during a long copy, not only at its end");

    // Only the package, byte for byte apart from its header fields.
    QCOMPARE(entries(pen), QStringList { "042.dar" });
    const Patches header
        = bookCode(bytes({ 0xEA, 0xDA, 0x00, 0x00 })) + Patches { { 379, bytes({ 0x96, 0, 0, 0 }) } };
    const QByteArray copy = readFile(pen + "042.dar");
    QCOMPARE(copy.size(), size);
    QVERIFY(copy == applied(source, header));
}

void InstallTest::tooShort_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("installs");

    // A header write never lengthens the copy: a source without room for the fields the
    // install writes is refused, at each kind's boundary.
    QTest::addRow(".dar: start sticker at 379..382, 382 bytes") << "dar" << 382LL << false;
    QTest::addRow(".dar, empty") << "dar" << 0LL << false;
    QTest::addRow(".das: masked book code at 373..376, 376 bytes") << "das" << 376LL << false;
    QTest::addRow(".das, 377 bytes") << "das" << 377LL << true;
    QTest::addRow("unb .dar: key at 161..162, 162 bytes") << "unb-dar" << 162LL << false;
    QTest::addRow("unb .dar, 163 bytes") << "unb-dar" << 163LL << true;
    QTest::addRow("unb .das: nothing written, 100 bytes") << "unb-das" << 100LL << true;
}

void InstallTest::tooShort()
{
    QFETCH(QString, kind);
    QFETCH(qint64, size);
    QFETCH(bool, installs);
    QTemporaryDir dir;
    const QString pen = dir.filePath("pen/");
    QDir().mkpath(pen);
    const QString source = makeSource(dir.path(), kind, size);
    QVERIFY(QFile::resize(source, size)); // the builder grows a file to the bytes it sets

    Dialog d(source, pen);
    d.type("001", "0150");
    QVERIFY(d.install());
    if (!installs) {
        QCOMPARE(d.info(), QStringLiteral("此文件太短，不是完整的点读包，无法安装！"));
        QCOMPARE(entries(pen), QStringList());
        return;
    }
    QCOMPARE(d.window.nRefresh(), 2);
    const QStringList installed = entries(pen);
    QCOMPARE(installed.size(), 1);
    QCOMPARE(readFile(pen + installed.first()).size(), size);
}

void InstallTest::sourceThatIsNoFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addRow("FIFO") << "fifo";
    QTest::addRow("link to a FIFO") << "link to fifo";
    QTest::addRow("directory") << "directory";
}

void InstallTest::sourceThatIsNoFile()
{
    // The source is checked before it is read: nothing waits for a writer that never comes.
    QFETCH(QString, kind);
    QTemporaryDir dir;
    const QString pen = dir.filePath("pen/");
    QDir().mkpath(pen);
    const QString source = dir.filePath("book.dab");
    QVERIFY(makeNoFileEntry(kind, source, dir.path()));

    auto result = std::make_shared<std::atomic<int>>(-1);
    auto type = std::make_shared<BookType>();
    QVERIFY2(finishesWithin(10s,
                 [=] {
                     ReadBookName(source, PenLinks::Follow);
                     *type = GetBookType(source);
                     *result = int(installPackage(
                         { source, pen, "001", 0, type->extension, type->nTypeBook }, {}, fixedOptions()));
                 }),
        "reading the source hangs");
    QCOMPARE(type->extension, ExtSelfMade);
    QCOMPARE(InstallResult(result->load()), InstallResult::Failed);
    QCOMPARE(entries(pen), QStringList());
}

void InstallTest::nameTakenByAnyEntry_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addRow("dangling link") << "dangling";
    QTest::addRow("link to a file elsewhere") << "link";
    QTest::addRow("link to a folder elsewhere") << "folder link";
    QTest::addRow("FIFO") << "fifo";
}

void InstallTest::nameTakenByAnyEntry()
{
    // Any entry takes its name, and the dialog says so before it copies anything.
    QFETCH(QString, kind);
    QTemporaryDir dir;
    const QString pen = dir.filePath("pen/");
    QDir().mkpath(pen);
    const QString elsewhere = dir.filePath("elsewhere");
    QVERIFY(writeFile(linkedOutsideFile(elsewhere), "x"));
    QVERIFY(makeNoFileEntry(kind, pen + "001.dar", elsewhere));

    HeldCopy held;
    Dialog d(makeSource(dir.path(), "dar"), pen, held.options());
    QCOMPARE(d.field("dtBookOid")->text(), QStringLiteral("002"));
    d.type("001", "0000");
    held.release.release(); // should a copy start after all, let it end
    QVERIFY(d.install());
    QCOMPARE(d.info(), QStringLiteral("此贴号点读包已存在！"));
    QVERIFY2(!held.started, "the copy ran before the name was refused");
    QCOMPARE(entries(pen), QStringList { "001.dar" });
}

void InstallTest::packageFolder_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("installs");

    QTest::addRow("missing: made by the install") << "missing" << true;
    QTest::addRow("USER there, CUSTOM missing") << "custom missing" << true;
    QTest::addRow("a link to a folder outside the pen") << "link" << false;
    QTest::addRow("a file") << "file" << false;
}

void InstallTest::packageFolder()
{
    QFETCH(QString, kind);
    QFETCH(bool, installs);
    QTemporaryDir dir;
    const QString volume = dir.filePath("pen/");
    const QString custom = volume + PackageDirectory;
    const QString outside = dir.filePath("outside/");
    QVERIFY(QDir().mkpath(outside));
    QVERIFY(QDir().mkpath(volume));
    if (kind == "custom missing")
        QVERIFY(QDir().mkpath(volume + "USER"));
    if (kind == "link") {
        QVERIFY(QDir().mkpath(volume + "USER"));
        QVERIFY(QFile::link(outside, volume + "USER/CUSTOM"));
    }
    if (kind == "file")
        QVERIFY(writeFile(volume + "USER/CUSTOM", "x"));

    const QString source = makeSource(dir.path(), "dar");
    const InstallResult result
        = installPackage({ source, custom, "001", 0, ExtSelfMade, 0 }, {}, fixedOptions());
    QCOMPARE(result == InstallResult::Installed, installs);
    QCOMPARE(QDir(outside).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
    if (installs) {
        QVERIFY(QFileInfo(custom).isDir() && !QFileInfo(volume + "USER/CUSTOM").isSymLink());
        QCOMPARE(entries(custom), QStringList { "001.dar" });
    }
}

void InstallTest::leftoverCopies()
{
    // An install that was killed left its temporary copy: 25 MiB of a 32 MiB pen. The next
    // install removes it, but never a copy another install still holds.
    ScratchMount mount(32 * 1024 * 1024);
    if (!mount.isMounted())
        QSKIP(qPrintable(mount.reason()));
    const QString pen = mount.path();
    QVERIFY(writeFile(pen + ".penshelf-k1lled00.tmp", QByteArray(25 * 1024 * 1024, 'x')));
    QVERIFY(writeFile(pen + ".penshelf-running.tmp", QByteArray(1024, 'x')));
    const int held
        = ::open(QFile::encodeName(pen + ".penshelf-running.tmp").constData(), O_RDONLY | O_CLOEXEC);
    QVERIFY(held >= 0);
    const auto closeHeld = qScopeGuard([held] { ::close(held); });
    QCOMPARE(::flock(held, LOCK_EX), 0);

    QTemporaryDir dir;
    const QString source = makeSource(dir.path(), "dar", 10 * 1024 * 1024);
    Dialog d(source, pen);
    d.type("001", "0000");
    QVERIFY(d.install());
    QCOMPARE(d.window.nRefresh(), 2);
    QCOMPARE(entries(pen), (QStringList { ".penshelf-running.tmp", "001.dar" }));
}

void InstallTest::header_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("bookOid");
    QTest::addColumn<QString>("offsetOid");
    QTest::addColumn<QString>("installed");
    QTest::addColumn<Patches>("patches");

    QTest::addRow("untagged .dar, book 000, start 0150")
        << "dar"
        << "000"
        << "0150"
        << "000.dar" << bookCode(bytes({ 0xC0, 0xDA, 0, 0 })) + Patches { { 379, bytes({ 0x96, 0, 0, 0 }) } };
    QTest::addRow("untagged .dar, start 9999")
        << "dar"
        << "123"
        << "9999"
        << "123.dar"
        << bookCode(bytes({ 0x3B, 0xDB, 0, 0 })) + Patches { { 379, bytes({ 0x0F, 0x27, 0, 0 }) } };
    QTest::addRow("deb .das, book 302: below the step, no start sticker")
        << "das"
        << "302"
        << "1234"
        << "302.das" << bookCode(bytes({ 0xFC, 0xFF, 0, 0 }));
    QTest::addRow("deb .das, book 303: above the step") << "das"
                                                        << "303"
                                                        << "1234"
                                                        << "303.das" << bookCode(bytes({ 0x15, 0xFC, 0, 0 }));
    QTest::addRow("unb .dar, start 1234 masked with the key, no book code")
        << "unb-dar"
        << "010"
        << "1234"
        << "010.dar" << Patches { { 141, bytes({ 0xD2 ^ 0x5A, 0x04 ^ 0xA5 }) } };
    QTest::addRow("unb .dar, start 0000 leaves the key bytes")
        << "unb-dar"
        << "010"
        << "0000"
        << "010.dar" << Patches { { 141, bytes({ 0x5A, 0xA5 }) } };
    QTest::addRow("unb .das: nothing written") << "unb-das"
                                               << "010"
                                               << "1234"
                                               << "010.das" << Patches {};
    QTest::addRow("dsb untagged .dsr") << "dsr"
                                       << "005"
                                       << "1234"
                                       << "005.dsr" << bookCode(bytes({ 0xC5, 0xDA, 0, 0 }));
    QTest::addRow("dsb deb .dsr") << "dsr-deb"
                                  << "005"
                                  << "1234"
                                  << "005.dsr" << bookCode(bytes({ 0xD3, 0xFE, 0, 0 }));
}

void InstallTest::header()
{
    QFETCH(QString, kind);
    QFETCH(QString, bookOid);
    QFETCH(QString, offsetOid);
    QFETCH(QString, installed);
    QFETCH(Patches, patches);

    QTemporaryDir dir;
    const QString pen = dir.filePath("pen/");
    QDir().mkpath(pen);
    const QString source = makeSource(dir.path(), kind, 600);

    Dialog d(source, pen);
    d.type(bookOid, offsetOid);
    QVERIFY(d.install());
    QCOMPARE(d.window.nRefresh(), 2);
    QCOMPARE(entries(pen), QStringList { installed });
    QVERIFY(readFile(pen + installed) == applied(readFile(source), patches));
}

void InstallTest::failures_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("message");

    const QString failed = "点读包安装失败，请检查点读笔后重试！";
    QTest::addRow("does not fit") << "no space"
                                  << "点读笔空间不足，无法安装！";
    QTest::addRow("does not fit, as the pen reports") << "reported full"
                                                      << "点读笔空间不足，无法安装！";
    QTest::addRow("pen full during the copy") << "full" << failed;
    QTest::addRow("source gone") << "source" << failed;
    QTest::addRow("read-only pen") << "read-only" << failed;
    QTest::addRow("pen unplugged") << "pen gone" << failed;
    QTest::addRow("no package directory") << "no directory" << failed;
}

void InstallTest::failures()
{
    QFETCH(QString, fault);
    QFETCH(QString, message);

    QTemporaryDir dir;
    const QString source = makeSource(dir.path(), "dar", 1024 * 1024);
    QString pen = dir.filePath("pen/");
    QDir().mkpath(pen);

    // A real small file system where the fault needs one.
    std::unique_ptr<ScratchMount> mount;
    if (fault == "no space" || fault == "full" || fault == "read-only") {
        mount = std::make_unique<ScratchMount>(fault == "read-only" ? 4 * 1024 * 1024 : 256 * 1024);
        if (mount->isMounted())
            pen = mount->path();
        else if (fault == "read-only" && ::geteuid() != 0)
            mount.reset(); // permission bits bind a user who is not root
        else
            QSKIP(qPrintable(mount->reason()));
    }
    InstallOptions options = fixedOptions();
    if (fault == "full") // the free-space answer is stale: the pen fills up while copying
        options.volumeSpace = [](const QString&) { return VolumeSpace { qint64(1) << 40, 4096 }; };
    if (fault == "reported full")
        options.volumeSpace = [](const QString&) { return VolumeSpace { 512 * 1024, 4096 }; };

    Dialog d(source, pen, options);
    d.type("001", "0000");
    if (fault == "read-only")
        QVERIFY(mount ? mount->remountReadOnly()
                      : QFile::setPermissions(pen, QFile::ReadOwner | QFile::ExeOwner));
    if (fault == "source")
        QVERIFY(QFile::remove(source));
    if (fault == "pen gone")
        QVERIFY(QDir(pen).removeRecursively());
    // Nothing may land in the working directory when the pen has no package directory.
    const QString previous = QDir::currentPath();
    const auto restore = qScopeGuard([&] { QDir::setCurrent(previous); });
    if (fault == "no directory") {
        QDir::setCurrent(pen);
        d.window.setPathKavo(QString());
        d.window.setPenDoor(folderDoor(QString()));
    }

    QVERIFY(d.install());
    QCOMPARE(d.info(), message);
    QCOMPARE(d.window.nRefresh(), 0);
    QVERIFY(d.editable());
    QVERIFY(d.window.isVisible());
    QCOMPARE(entries(pen), QStringList());

    // The way out stays open.
    QTest::mouseClick(d.button("btnCancel"), Qt::LeftButton);
    QCOMPARE(d.window.nRefresh(), 1);
    QTRY_VERIFY(!d.window.isVisible());
}

void InstallTest::flushAndRemovalFaults_data()
{
    QTest::addColumn<int>("fileFlush");
    QTest::addColumn<int>("folderFlush");
    QTest::addColumn<int>("unlink");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QStringList>("left"); // "temporary": the install's temporary copy

    const QString failed = InstallText::Failed;
    QTest::addRow("copy not flushed") << 1 << 0 << 0 << failed << QStringList();
    // Said on the diagnostic stream; the next install takes it away.
    QTest::addRow("copy not flushed, nor removed") << 1 << 0 << 1 << failed << QStringList { "temporary" };
    QTest::addRow("renamed package not flushed") << 2 << 0 << 0 << failed << QStringList();
    QTest::addRow("renamed package not flushed, nor removed")
        << 2 << 0 << 1 << InstallText::LeftBehind << QStringList { "001.dar" };
    // Removed, but the removal may not be on the device either.
    QTest::addRow("folder not flushed") << 0 << 1 << 0 << InstallText::LeftBehind << QStringList();
}

void InstallTest::flushAndRemovalFaults()
{
    QFETCH(int, fileFlush);
    QFETCH(int, folderFlush);
    QFETCH(int, unlink);
    QFETCH(QString, message);
    QFETCH(QStringList, left);

    QTemporaryDir dir;
    const QString source = makeSource(dir.path(), "dar", 100 * 1024);
    const QString pen = dir.filePath("pen/");
    QVERIFY(QDir().mkpath(pen));
    InstallResult result;
    {
        const FailingSync failing({ fileFlush, folderFlush, unlink });
        result = installPackage({ source, pen, "001", 0, ExtSelfMade, 0 }, {}, fixedOptions());
    }
    QCOMPARE(textOf(result), message);
    QStringList found = entries(pen);
    for (QString& name : found) {
        if (name.startsWith(".penshelf-"))
            name = "temporary";
    }
    QCOMPARE(found, left);

    // A pen that works again: what is left is taken away or stays the user's to remove.
    const bool nameFree = !left.contains("001.dar");
    QCOMPARE(installPackage({ source, pen, "001", 0, ExtSelfMade, 0 }, {}, fixedOptions())
            == InstallResult::Installed,
        nameFree);
    QCOMPARE(entries(pen), QStringList { "001.dar" });
}

void InstallTest::packageFlushedUnderItsName()
{
    // On FAT a rename writes the new entry with size 0 and no first cluster; only the renamed
    // file's own write-back fixes that. "Installed" comes after a flush of the package under its
    // final name and then of the folder.
    QTemporaryDir dir;
    const QString source = makeSource(dir.path(), "dar", 100 * 1024);
    const QString pen = QFileInfo(dir.path()).canonicalFilePath() + "/pen/";
    QVERIFY(QDir().mkpath(pen));
    InstallResult result;
    QStringList flushed;
    {
        const FlushLog log;
        result = installPackage({ source, pen, "001", 0, ExtSelfMade, 0 }, {}, fixedOptions());
        flushed = log.flushed();
    }
    QCOMPARE(result, InstallResult::Installed);
    const QStringList files = flushed.filter(QRegularExpression("[^/]$"));
    QVERIFY2(!files.isEmpty(), qPrintable(flushed.join(", ")));
    QCOMPARE(files.last(), pen + "001.dar");
    QVERIFY2(flushed.indexOf(pen, flushed.lastIndexOf(pen + "001.dar")) > 0, qPrintable(flushed.join(", ")));
}

void InstallTest::failedCopyRemovedWhileHeld_data()
{
    QTest::addColumn<int>("fileFlush");
    QTest::addColumn<QString>("removed");

    QTest::addRow("copy not flushed") << 1 << "temporary";
    QTest::addRow("renamed package not flushed") << 2 << "001.dar";
}

void InstallTest::failedCopyRemovedWhileHeld()
{
    // FAT frees a removed file's clusters when nothing holds it, and they may reach the medium
    // before the folder entry: a pen pulled then keeps a name over free clusters, which the next
    // copy may take. A copy removed after a failure is held until its folder is flushed.
    QFETCH(int, fileFlush);
    QFETCH(QString, removed);

    QTemporaryDir dir;
    const QString source = makeSource(dir.path(), "dar", 100 * 1024);
    const QString pen = QFileInfo(dir.path()).canonicalFilePath() + "/pen/";
    QVERIFY(QDir().mkpath(pen));
    InstallResult result;
    QList<QStringList> held;
    {
        const FailingSync failing({ fileFlush, 0, 0 });
        const FlushLog log;
        result = installPackage({ source, pen, "001", 0, ExtSelfMade, 0 }, {}, fixedOptions());
        held = log.heldAtFolderFlush();
    }
    QCOMPARE(result, InstallResult::Failed);
    QCOMPARE(entries(pen), QStringList());
    QStringList heldNames;
    for (const QStringList& paths : held) {
        for (const QString& path : paths) {
            const QString name = QFileInfo(path).fileName();
            heldNames.append(name.startsWith(".penshelf-") ? "temporary" : name);
        }
    }
    QCOMPARE(heldNames, QStringList { removed });
    QVERIFY2(held.last().isEmpty(), "the removed copy is still open after the install");
}

void InstallTest::retryAfterFailure()
{
    ScratchMount mount(4 * 1024 * 1024);
    if (!mount.isMounted())
        QSKIP(qPrintable(mount.reason()));
    QTemporaryDir dir;
    const QString source = makeSource(dir.path(), "dar", 100 * 1024);

    Dialog d(source, mount.path());
    d.type("001", "0150");
    QVERIFY(mount.remountReadOnly());
    QVERIFY(d.install());
    QCOMPARE(d.info(), QStringLiteral("点读包安装失败，请检查点读笔后重试！"));

    QVERIFY(mount.remountReadWrite());
    QVERIFY(d.install());
    QCOMPARE(d.window.nRefresh(), 2);
    QCOMPARE(entries(mount.path()), QStringList { "001.dar" });
    QCOMPARE(readUnguarded([&] { return ReadOffsetOid(mount.path() + "001.dar"); }), 150);
}

void InstallTest::copyingLocksTheDialog()
{
    QTemporaryDir dir;
    const QString pen = dir.filePath("pen/");
    QDir().mkpath(pen);
    const QString source = makeSource(dir.path(), "dar", 5000);

    HeldCopy held;
    Dialog d(source, pen, held.options());
    d.type("003", "0001");
    QTest::mouseClick(d.button("btnInstall"), Qt::LeftButton);
    QTRY_VERIFY(held.started);
    QVERIFY(d.window.isCopying());
    QCOMPARE(d.info(), QStringLiteral("正在安装点读包……"));
    QVERIFY(!d.button("btnInstall")->isEnabled());
    for (const char* name : { "dtBookOid", "dtOffsetOid" })
        QVERIFY(!d.field(name)->isEnabled());
    QVERIFY(d.progress()->isVisible());
    QCOMPARE(d.progress()->maximum(), 5);

    // Only 取消 is left: it lets the copy finish.
    held.release.release();
    QTRY_COMPARE(d.window.nRefresh(), 2);
    QTRY_VERIFY(!d.window.isVisible());
    QCOMPARE(entries(pen), QStringList { "003.dar" });
}

// A long copy can be stopped: 取消, Escape and the close box each ask it to stop, the dialog
// stays until it has, and nothing is left on the pen, neither the package nor its temporary copy.
void InstallTest::cancelStopsTheCopy_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("cancel button") << "cancel";
    QTest::newRow("Escape") << "escape";
    QTest::newRow("close box") << "close";
}

void InstallTest::cancelStopsTheCopy()
{
    QFETCH(QString, how);
    QTemporaryDir dir;
    const QString pen = dir.filePath("pen/");
    QDir().mkpath(pen);
    HeldCopy held;
    Dialog d(makeSource(dir.path(), "dar", 5000), pen, held.options());
    d.type("003", "0001");
    QTest::mouseClick(d.button("btnInstall"), Qt::LeftButton);
    QTRY_VERIFY(held.started);
    QVERIFY(d.button("btnCancel")->isEnabled());
    if (how == "cancel")
        QTest::mouseClick(d.button("btnCancel"), Qt::LeftButton);
    else if (how == "escape")
        QTest::keyClick(&d.window, Qt::Key_Escape);
    else
        d.window.close();
    QTest::qWait(20);
    // Still there while the copy stops; a second request changes nothing.
    QVERIFY(d.window.isVisible());
    QCOMPARE(d.info(), InstallText::Cancelling);
    QVERIFY(!d.button("btnCancel")->isEnabled());
    d.window.CancelBook();

    held.release.release();
    QTRY_VERIFY(!d.window.isVisible());
    QCOMPARE(d.window.nRefresh(), 1);
    QCOMPARE(d.window.result(), InstallResult::Cancelled);
    QCOMPARE(entries(pen), QStringList {});
}

void InstallTest::nameTakenDuringCopy()
{
    QTemporaryDir dir;
    const QString pen = dir.filePath("pen/");
    QDir().mkpath(pen);
    HeldCopy held;
    Dialog d(makeSource(dir.path(), "das", 5000), pen, held.options());
    d.type("004", "0000");
    QTest::mouseClick(d.button("btnInstall"), Qt::LeftButton);
    QTRY_VERIFY(held.started);

    // Another program puts a package under the same name after the checks have passed.
    QVERIFY(writeFile(pen + "004.das", "theirs"));
    held.release.release();
    QTRY_VERIFY(!d.window.isCopying());
    QCOMPARE(d.info(), QStringLiteral("此贴号点读包已存在！"));
    QCOMPARE(d.window.nRefresh(), 0);
    QVERIFY(d.editable());
    QCOMPARE(entries(pen), QStringList { "004.das" });
    QCOMPARE(readFile(pen + "004.das"), QByteArray("theirs"));
}

// The proposal and the check that the name is free ask the pen in the background. 安装 is
// offered once the proposal is in, a number typed meanwhile is kept, and from the press until the
// check answers the dialog is locked as during a copy, with nothing copied yet.
void InstallTest::dialogWaitsForThePen()
{
    QTemporaryDir dir;
    const QString pen = dir.filePath("pen/");
    QVERIFY(writeFile(pen + "001.dar", "x"));
    QSemaphore proposal, check;
    PenJobs::jobStarting = [&](const QString& kind, std::stop_token) {
        if (kind == PenJobKind::ProposalJob || kind == PenJobKind::NameCheckJob)
            (kind == PenJobKind::ProposalJob ? proposal : check).acquire();
    };
    InstWindow window;
    const auto release = qScopeGuard([&] {
        proposal.release(10);
        check.release(10);
    });
    window.setNRefresh(0);
    window.setPathKavo(pen);
    window.setPenDoor(folderDoor(pen));
    window.setPathBook(makeSource(dir.path(), "dar"));
    window.setInstallOptions(fixedOptions());
    window.windowDidLoad();
    window.show();
    auto* install = window.findChild<QPushButton*>("btnInstall");
    auto* number = window.findChild<QLineEdit*>("dtBookOid");
    auto* info = window.findChild<QLabel*>("dtInfo");

    QVERIFY(window.isProposing());
    QVERIFY(!install->isEnabled());
    number->setText("007");
    proposal.release();
    QTRY_VERIFY(!window.isProposing());
    QCOMPARE(number->text(), QStringLiteral("007"));
    QVERIFY(install->isEnabled());

    window.findChild<QLineEdit*>("dtOffsetOid")->setText("0000");
    QTest::mouseClick(install, Qt::LeftButton);
    QVERIFY(window.isCopying());
    for (const char* name : { "btnInstall", "btnCancel" })
        QVERIFY(!window.findChild<QPushButton*>(name)->isEnabled());
    QVERIFY(!number->isEnabled());
    window.close();
    QTest::keyClick(&window, Qt::Key_Escape);
    window.CancelBook();
    QTest::qWait(20);
    QVERIFY(window.isVisible());
    QCOMPARE(window.nRefresh(), 0);
    QVERIFY(info->text() != InstallText::Installing);
    QCOMPARE(entries(pen), QStringList { "001.dar" });

    // The name is taken before the check looks: its answer refuses, and the dialog is open again.
    QVERIFY(writeFile(pen + "007.dar", "y"));
    check.release();
    QTRY_VERIFY(!window.isCopying());
    QCOMPARE(info->text(), InstallText::Exists);
    QVERIFY(install->isEnabled() && number->isEnabled());
    QCOMPARE(readFile(pen + "007.dar"), QByteArray("y"));

    number->setText("008");
    check.release();
    QTest::mouseClick(install, Qt::LeftButton);
    QTRY_COMPARE(window.nRefresh(), 2);
    QCOMPARE(entries(pen), QStringList({ "001.dar", "007.dar", "008.dar" }));
}

void InstallTest::readBack_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<qint64>("offset"); // byte of the copy flipped before it is read back
    QTest::addColumn<qint64>("resize"); // new length of the copy; -1 keeps it

    QTest::addRow("a byte of the body") << "dar" << 70000LL << -1LL;
    QTest::addRow("the last byte") << "dar" << 99999LL << -1LL;
    QTest::addRow("the title") << "dar" << 0LL << -1LL;
    QTest::addRow("the book code") << "dar" << 336LL << -1LL;
    QTest::addRow("the masked book code") << "das" << 374LL << -1LL;
    QTest::addRow("the start sticker") << "dar" << 381LL << -1LL;
    QTest::addRow("the masked start sticker of a unb package") << "unb-dar" << 142LL << -1LL;
    QTest::addRow("a byte the header does not write") << "dsr" << 340LL << -1LL;
    QTest::addRow("the copy cut short") << "dar" << -1LL << 65536LL;
    QTest::addRow("the copy grown") << "dar" << -1LL << 100001LL;
}

void InstallTest::readBack()
{
    QFETCH(QString, kind);
    QFETCH(qint64, offset);
    QFETCH(qint64, resize);

    QTemporaryDir dir;
    const QString pen = dir.filePath("pen/");
    QDir().mkpath(pen);
    InstallOptions options = fixedOptions();
    QString readBackOf;
    options.beforeReadBack = [&](const QString& copy) {
        readBackOf = copy;
        QFile file(copy);
        QVERIFY(file.open(QIODevice::ReadWrite));
        if (offset >= 0) {
            QVERIFY(file.seek(offset));
            const char byte = file.read(1).at(0);
            QVERIFY(file.seek(offset));
            file.write(QByteArray(1, char(byte ^ 0x01)));
        }
        if (resize >= 0)
            QVERIFY(file.resize(resize));
    };

    Dialog d(makeSource(dir.path(), kind, 100000), pen, options);
    d.type("001", "1234");
    QVERIFY(d.install());
    QVERIFY(!readBackOf.isEmpty());
    QCOMPARE(d.info(), QStringLiteral("点读包安装失败，请检查点读笔后重试！"));
    QCOMPARE(d.window.nRefresh(), 0);
    QVERIFY(d.editable());
    // The bad copy is gone; nothing is left under the package name.
    QCOMPARE(entries(pen), QStringList());

    // The next attempt, with nothing in the way, installs.
    options.beforeReadBack = nullptr;
    d.window.setInstallOptions(options);
    QVERIFY(d.install());
    QCOMPARE(d.window.nRefresh(), 2);
}

void InstallTest::readBackComesFromTheDevice()
{
    LoopPen device("[SYS]\r\nSerial=PEN20261210X\r\n", QStringLiteral("数学"));
    if (!device.isMounted())
        QSKIP(qPrintable(device.reason()));
    QTemporaryDir dir;
    const QString source = makeSource(dir.path(), "dar", 256 * 1024);
    const QString pen = device.mountPoint() + "/USER/CUSTOM/";

    // The device loses a few bytes of the body while the page cache still holds them: only a
    // read from the device tells.
    InstallOptions options = fixedOptions();
    bool corrupted = false;
    options.beforeReadBack = [&](const QString& copy) {
        QVERIFY(corruptOnDevice(copy, "/dev/" + device.loopName(), 200000, 16));
        QCOMPARE(readFile(copy).mid(200000, 16), readFile(source).mid(200000, 16));
        corrupted = true;
    };
    Dialog d(source, pen, options);
    d.type("002", "0001");
    QVERIFY(d.install());
    QVERIFY(corrupted);
    QCOMPARE(d.info(), QStringLiteral("点读包安装失败，请检查点读笔后重试！"));
    QCOMPARE(entries(pen), QStringList { "001.dar" });
}

void InstallTest::progressCoversCopyAndReadBack()
{
    QTemporaryDir dir;
    const QString pen = dir.filePath("pen/");
    QDir().mkpath(pen);
    const qint64 size = 3LL * 1024 * 1024 + 5;
    const qint64 n = size / 1024;
    const QString source = PackageBuilder(size).writeTo(dir.filePath("book.dab"));
    const InstallRequest request { source, pen, "001", 0, ExtSelfMade, 0 };

    for (bool readBack : { false, true }) {
        QList<qint64> values;
        qsizetype copyEnds = -1;
        InstallOptions options = fixedOptions();
        options.readBack = readBack;
        options.blockSize = 64 * 1024;
        options.beforeReadBack = [&](const QString&) { copyEnds = values.size(); };
        QFile::remove(pen + "001.dar");
        QCOMPARE(installPackage(
                     request, [&](qint64 chunk) { values << chunk; }, options),
            InstallResult::Installed);

        // One scale, 0..n, never going back; the read-back takes the second half.
        QCOMPARE(values.last(), n);
        QVERIFY(std::is_sorted(values.cbegin(), values.cend()));
        if (readBack) {
            QVERIFY(copyEnds > 0);
            QCOMPARE(values.at(copyEnds - 1), n / 2);
            QVERIFY2(values.size() - copyEnds >= 3, "the bar moves during the read-back");
        } else {
            QCOMPARE(copyEnds, -1);
        }
    }
}

void InstallTest::dropOnMainWindow_data()
{
    QTest::addColumn<QStringList>("dropped");
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<QStringList>("proposals");
    QTest::addColumn<QStringList>("installed");
    QTest::addColumn<int>("rescans");
    QTest::addColumn<QString>("message");

    QTest::addRow("two packages: each proposes the next free number")
        << QStringList { "a.dab", "b.dab" } << QStringList { "install", "install" }
        << QStringList { "002", "003" } << QStringList { "001.dar", "002.dar", "003.dar" } << 1 << "";
    QTest::addRow("the first cancelled: the next is proposed its number")
        << QStringList { "a.dab", "b.dab" } << QStringList { "cancel", "install" }
        << QStringList { "002", "002" } << QStringList { "001.dar", "002.dar" } << 1 << "";
    QTest::addRow("all cancelled: no rescan")
        << QStringList { "a.dab", "b.dab", "c.dsb" } << QStringList { "cancel", "cancel", "cancel" }
        << QStringList { "002", "002", "001" } << QStringList { "001.dar" } << 0 << "";
    QTest::addRow("another file among them is refused, the packages install")
        << QStringList { "a.dab", "notes.txt", "c.dsb" } << QStringList { "install", "install" }
        << QStringList { "002", "001" } << QStringList { "001.dar", "001.dsr", "002.dar" } << 1
        << "“notes.txt”不是点读包或故事包（.dab、.dsb），无法安装！";
    QTest::addRow("only other files: nothing to install")
        << QStringList { "notes.txt", "photo.png", "missing.dab" } << QStringList {} << QStringList {}
        << QStringList { "001.dar" } << 0
        << "“notes.txt”等3个文件不是点读包或故事包（.dab、.dsb），无法安装！";
    QTest::addRow("the same package twice installs once")
        << QStringList { "a.dab", "a.dab" } << QStringList { "install", "install" } << QStringList { "002" }
        << QStringList { "001.dar", "002.dar" } << 1 << "";
}

void InstallTest::dropOnMainWindow()
{
    QFETCH(QStringList, dropped);
    QFETCH(QStringList, answers);
    QFETCH(QStringList, proposals);
    QFETCH(QStringList, installed);
    QFETCH(int, rescans);
    QFETCH(QString, message);

    Batch b;
    b.answers = answers;
    QSignalSpy resets(b.driver.listBook()->model(), &QAbstractItemModel::modelReset);

    QMimeData mime;
    mime.setUrls(b.urls(dropped));
    // Over the book table: its viewport takes no drops of its own, the window does.
    QWidget* target = b.driver.listBook()->viewport();
    const QPoint at = target->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    QVERIFY(enter.isAccepted());
    QCOMPARE(enter.dropAction(), Qt::CopyAction);
    QDropEvent drop(at, Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    QVERIFY(drop.isAccepted());
    // The installs start once the drop event has returned.
    QVERIFY(b.proposals.isEmpty());

    QTRY_COMPARE(b.driver.info(), message);
    QTRY_COMPARE(b.proposals, proposals);
    QVERIFY(b.driver.waitForPen());
    QCOMPARE(entries(b.pen.custom()), installed);
    QCOMPARE(int(resets.size()), rescans);
    QCOMPARE(b.driver.app.books().size(), installed.size());
    if (proposals.size() > 1)
        QCOMPARE(b.titles.last(), QStringLiteral("安装点读包（%1/%1）").arg(proposals.size()));
}

void InstallTest::dropWithoutPen()
{
    Batch b;
    // Not mounted any more: nothing may be written anywhere.
    b.driver.volumes.clear();
    b.driver.click(b.driver.button("btnRefresh"));
    QMimeData mime;
    mime.setUrls(b.urls({ "a.dab" }));
    QDragEnterEvent enterFiles(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(b.driver.app.window(), &enterFiles);
    QVERIFY(enterFiles.isAccepted());
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(b.driver.app.window(), &drop);
    QTRY_COMPARE(b.driver.info(), QStringLiteral("未找到点读笔存储，无法安装！"));
    QVERIFY(b.proposals.isEmpty());
    QCOMPARE(entries(b.pen.custom()), QStringList { "001.dar" });

    // Text dropped on the window is not a file and is left to whoever takes text.
    QMimeData text;
    text.setText("hello");
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
    enter.ignore();
    QApplication::sendEvent(b.driver.app.window(), &enter);
    QVERIFY(!enter.isAccepted());
}

void InstallTest::severalChosenInFileDialog_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QStringList>("proposals");
    QTest::addColumn<QStringList>("installed");

    QTest::addRow("two typed as the user would") << "\"a.dab\" \"c.dsb\"" << QStringList { "002", "001" }
                                                 << QStringList { "001.dar", "001.dsr", "002.dar" };
    QTest::addRow("three") << "\"a.dab\" \"b.dab\" \"c.dsb\"" << QStringList { "002", "003", "001" }
                           << QStringList { "001.dar", "001.dsr", "002.dar", "003.dar" };
    QTest::addRow("one of them not a package: the chooser stays open")
        << "\"a.dab\" \"notes.txt\"" << QStringList {} << QStringList { "001.dar" };
}

void InstallTest::severalChosenInFileDialog()
{
    QFETCH(QString, typed);
    QFETCH(QStringList, proposals);
    QFETCH(QStringList, installed);

    Batch b;
    b.answers = { "install", "install", "install" };
    QSignalSpy resets(b.driver.listBook()->model(), &QAbstractItemModel::modelReset);
    bool stayedOpen = false;
    AppDelegate::fileDialogShown = [&](QFileDialog* dialog) {
        QCOMPARE(dialog->fileMode(), QFileDialog::ExistingFiles);
        dialog->setDirectory(b.computer.path());
        auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
        QVERIFY(name);
        name->setText(typed);
        const QPointer<QFileDialog> panel = dialog;
        static_cast<QDialog*>(dialog)->accept(); // through PackageFileDialog::accept
        stayedOpen = panel && panel->isVisible();
        if (stayedOpen)
            panel->reject();
    };
    b.driver.click(b.driver.button("btnInstall"));
    QCOMPARE(stayedOpen, proposals.isEmpty());
    QCOMPARE(b.proposals, proposals);
    QCOMPARE(entries(b.pen.custom()), installed);
    QCOMPARE(int(resets.size()), proposals.isEmpty() ? 0 : 1);
}

void InstallTest::modalLoop_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("nRefresh");

    QTest::addRow("cancel button") << "cancel" << 1;
    QTest::addRow("Escape") << "escape" << 1;
    QTest::addRow("close box") << "close" << 1;
    QTest::addRow("install") << "install" << 2;
}

void InstallTest::modalLoop()
{
    QFETCH(QString, action);
    QFETCH(int, nRefresh);

    QTemporaryDir dir;
    const QString pen = dir.filePath("pen/");
    QDir().mkpath(pen);
    InstWindow window;
    window.setNRefresh(0);
    window.setPathKavo(pen);
    window.setPenDoor(folderDoor(pen));
    window.setPathBook(makeSource(dir.path(), "dar"));
    window.setInstallOptions(fixedOptions());

    bool wasModal = false;
    InstWindow::windowShown = [&](InstWindow* shown) {
        wasModal = shown->isModal() && QApplication::activeModalWidget() == shown;
        // Never leave a test hanging in the loop.
        QTimer::singleShot(20000, shown, [shown] { shown->done(QDialog::Rejected); });
        if (action == "cancel")
            QTest::mouseClick(shown->findChild<QPushButton*>("btnCancel"), Qt::LeftButton);
        else if (action == "escape")
            QTest::keyClick(shown, Qt::Key_Escape);
        else if (action == "close")
            shown->close();
        else
            QTest::mouseClick(shown->findChild<QPushButton*>("btnInstall"), Qt::LeftButton);
    };
    window.showWindow();

    QVERIFY(wasModal);
    QCOMPARE(window.nRefresh(), nRefresh);
    QVERIFY(!window.isVisible());
    QCOMPARE(entries(pen), nRefresh == 2 ? QStringList { "001.dar" } : QStringList());
}

void InstallTest::fromMainWindow_data()
{
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("action");
    QTest::addColumn<bool>("dialogCreated");
    QTest::addColumn<QStringList>("listed");

    const QStringList before { "自制-001" };
    QTest::addRow("installed and listed") << "book.dab"
                                          << "install" << true << QStringList { "自制-001", "自制-002" };
    QTest::addRow("cancelled: no rescan") << "book.dab"
                                          << "cancel" << true << before;
    QTest::addRow("file dialog cancelled") << "book.dab"
                                           << "reject" << false << before;
    QTest::addRow("not a package: dialog stays open") << "notes.txt"
                                                      << "install" << false << before;
}

void InstallTest::fromMainWindow()
{
    QFETCH(QString, chosen);
    QFETCH(QString, action);
    QFETCH(bool, dialogCreated);
    QFETCH(QStringList, listed);

    QTemporaryDir computer;
    const QString path = computer.filePath(chosen);
    PackageBuilder(4096).title(QStringLiteral("新书")).writeTo(path);
    PenVolume pen;
    PackageBuilder().title(QStringLiteral("旧书")).writeTo(pen.custom() + "001.dar");

    MainWindowDriver w;
    w.addPen("sdb1", pen.volume());
    AppDelegate& app = w.app;
    QCOMPARE(app.packageDirectory(), pen.custom());

    bool fileDialogStayedOpen = false;
    AppDelegate::fileDialogShown = [&](QFileDialog* dialog) {
        QVERIFY(dialog->isVisible());
        if (action == "reject") {
            dialog->reject();
            return;
        }
        dialog->selectFile(path);
        const QPointer<QFileDialog> panel = dialog;
        static_cast<QDialog*>(dialog)->accept(); // QFileDialog hides it
        fileDialogStayedOpen = panel && panel->isVisible();
        if (fileDialogStayedOpen)
            panel->reject();
    };
    InstWindow::windowShown = [&](InstWindow* dialog) {
        QTimer::singleShot(20000, dialog, [dialog] { dialog->done(QDialog::Rejected); });
        // A file that appears now is listed only if the pen is scanned again afterwards.
        writeFile(pen.custom() + "050.das", "x");
        dialog->findChild<QLineEdit*>("dtBookOid")->setText("002");
        QTest::mouseClick(
            dialog->findChild<QPushButton*>(action == "cancel" ? "btnCancel" : "btnInstall"), Qt::LeftButton);
    };
    w.click(w.button("btnInstall"));

    QCOMPARE(bool(app.installDialog()), dialogCreated);
    QCOMPARE(fileDialogStayedOpen, chosen == "notes.txt");
    QStringList stats;
    for (const ListData& row : app.books())
        stats << row.stat;
    if (action == "install" && dialogCreated)
        listed << "智能-050";
    stats.sort();
    listed.sort();
    QCOMPARE(stats, listed);
    if (action == "install" && dialogCreated)
        QCOMPARE(
            readUnguarded([&] { return ReadBookName(pen.custom() + "002.dar"); }), QStringLiteral("新书"));
}

void InstallTest::secondInstallReplacesDialog()
{
    QTemporaryDir computer;
    const QString path = PackageBuilder(2048).title(QStringLiteral("书")).writeTo(computer.filePath("a.dab"));
    PenVolume pen;

    MainWindowDriver w;
    w.addPen("sdb1", pen.volume());
    AppDelegate& app = w.app;

    AppDelegate::fileDialogShown = [&](QFileDialog* dialog) {
        dialog->selectFile(path);
        static_cast<QDialog*>(dialog)->accept(); // QFileDialog hides it
    };
    InstWindow::windowShown = [](InstWindow* dialog) {
        QTimer::singleShot(20000, dialog, [dialog] { dialog->done(QDialog::Rejected); });
        QTest::mouseClick(dialog->findChild<QPushButton*>("btnInstall"), Qt::LeftButton);
    };
    QPushButton* install = w.button("btnInstall");
    w.click(install);
    const QPointer<InstWindow> first = app.installDialog();
    QVERIFY(first);
    w.click(install);
    QVERIFY(!first);
    QVERIFY(app.installDialog());

    // Each install proposed the next free number.
    QCOMPARE(entries(pen.custom()), (QStringList { "001.dar", "002.dar" }));
    QCOMPARE(app.books().size(), 2);
}

QTEST_MAIN(InstallTest)
#include "install_test.moc"
