#include "AppDelegate.h"
#include "Catalogue.h"
#include "InstWindow.h"
#include "PackageBuilder.h"
#include "PackageCopy.h"
#include "PenRecord.h"
#include "ScratchMount.h"

#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QProgressBar>
#include <QPushButton>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <unistd.h>

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
        window.setPathBook(source);
        window.setNameBook(ReadBookName(source));
        window.setInstallOptions(options);
        window.windowDidLoad();
        window.show();
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
    void header_data();
    void header();
    void failures_data();
    void failures();
    void retryAfterFailure();
    void copyingLocksTheDialog();
    void nameTakenDuringCopy();

    void modalLoop_data();
    void modalLoop();
    void fromMainWindow_data();
    void fromMainWindow();
    void secondInstallReplacesDialog();
};

void InstallTest::cleanup()
{
    InstWindow::windowShown = nullptr;
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
    QTest::addColumn<QString>("expected");

    const QStringList fiveDar { "001.dar", "002.dar", "003.dar", "004.dar", "005.dar" };
    QTest::addRow("empty directory") << "dar" << QStringList() << QStringList() << "001";
    QTest::addRow("001..005.dar taken, .dar") << "dar" << fiveDar << QStringList() << "006";
    QTest::addRow("001..005.dar taken, .das") << "das" << fiveDar << QStringList() << "001";
    QTest::addRow("a gap is filled") << "dar" << QStringList { "001.dar", "003.dar" } << QStringList()
                                     << "002";
    QTest::addRow("a directory takes the name") << "dar" << fiveDar << QStringList { "006.dar" } << "007";
    QStringList all;
    for (int i = 1; i <= 998; ++i)
        all << QStringLiteral("%1.dsr").arg(i, 3, 10, QLatin1Char('0'));
    QTest::addRow("every name taken: 998, never 999") << "dsr" << all << QStringList() << "998";
}

void InstallTest::proposal()
{
    QFETCH(QString, kind);
    QFETCH(QStringList, files);
    QFETCH(QStringList, directories);
    QFETCH(QString, expected);

    QTemporaryDir dir;
    const QString pen = dir.filePath("pen/");
    QDir().mkpath(pen);
    for (const QString& file : files)
        QVERIFY(writeFile(pen + file, "x"));
    for (const QString& directory : directories)
        QVERIFY(QDir().mkpath(pen + directory));

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
    for (qint64 size : { 0LL, 1023LL, 1024LL, 2048LL, 2049LL, 3LL * 1024 * 1024 + 5 })
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

    // Only the package, byte for byte apart from its header fields (which extend a short copy).
    QCOMPARE(entries(pen), QStringList { "042.dar" });
    const Patches header
        = bookCode(bytes({ 0xEA, 0xDA, 0x00, 0x00 })) + Patches { { 379, bytes({ 0x96, 0, 0, 0 }) } };
    const QByteArray copy = readFile(pen + "042.dar");
    QCOMPARE(copy.size(), std::max<qint64>(size, 383));
    QVERIFY(copy == applied(source, header));
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
    QCOMPARE(ReadOffsetOid(mount.path() + "001.dar"), 150);
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
    for (const char* name : { "btnInstall", "btnCancel" })
        QVERIFY(!d.button(name)->isEnabled());
    for (const char* name : { "dtBookOid", "dtOffsetOid" })
        QVERIFY(!d.field(name)->isEnabled());
    QVERIFY(d.progress()->isVisible());
    QCOMPARE(d.progress()->maximum(), 5);

    // Neither the close box, Escape nor a cancel ends the dialog while the pen is written.
    d.window.close();
    QTest::keyClick(&d.window, Qt::Key_Escape);
    d.window.CancelBook();
    QTest::qWait(20);
    QVERIFY(d.window.isVisible());
    QCOMPARE(d.window.nRefresh(), 0);

    held.release.release();
    QTRY_COMPARE(d.window.nRefresh(), 2);
    QTRY_VERIFY(!d.window.isVisible());
    QCOMPARE(entries(pen), QStringList { "003.dar" });
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

    AppDelegate app;
    app.setUsbMonitoringEnabled(false);
    app.setVolumePathResolver([&](const QString&) { return pen.volume(); });
    app.applicationDidFinishLaunching();
    app.storePen(BuildPenRecord("vorna", "Pen", "0100", "sdb1", {}));
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
    QTest::mouseClick(app.window()->findChild<QPushButton*>("btnInstall"), Qt::LeftButton);

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
        QCOMPARE(ReadBookName(pen.custom() + "002.dar"), QStringLiteral("新书"));
}

void InstallTest::secondInstallReplacesDialog()
{
    QTemporaryDir computer;
    const QString path = PackageBuilder(2048).title(QStringLiteral("书")).writeTo(computer.filePath("a.dab"));
    PenVolume pen;

    AppDelegate app;
    app.setUsbMonitoringEnabled(false);
    app.setVolumePathResolver([&](const QString&) { return pen.volume(); });
    app.applicationDidFinishLaunching();
    app.storePen(BuildPenRecord("vorna", "Pen", "0100", "sdb1", {}));

    AppDelegate::fileDialogShown = [&](QFileDialog* dialog) {
        dialog->selectFile(path);
        static_cast<QDialog*>(dialog)->accept(); // QFileDialog hides it
    };
    InstWindow::windowShown = [](InstWindow* dialog) {
        QTimer::singleShot(20000, dialog, [dialog] { dialog->done(QDialog::Rejected); });
        QTest::mouseClick(dialog->findChild<QPushButton*>("btnInstall"), Qt::LeftButton);
    };
    QPushButton* install = app.window()->findChild<QPushButton*>("btnInstall");
    QTest::mouseClick(install, Qt::LeftButton);
    const QPointer<InstWindow> first = app.installDialog();
    QVERIFY(first);
    QTest::mouseClick(install, Qt::LeftButton);
    QVERIFY(!first);
    QVERIFY(app.installDialog());

    // Each install proposed the next free number.
    QCOMPARE(entries(pen.custom()), (QStringList { "001.dar", "002.dar" }));
    QCOMPARE(app.books().size(), 2);
}

QTEST_MAIN(InstallTest)
#include "install_test.moc"
