#include "BackupManifest.h"
#include "Catalogue.h"
#include "FileSync.h"
#include "NoFileEntry.h"
#include "PackageBuilder.h"
#include "PenBackup.h"
#include "PenTransfer.h"
#include "Texts.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

// A pen folder tree: <root>/<label>/USER/CUSTOM/.
QString penDir(const QTemporaryDir& root, const QString& label)
{
    const QString dir = root.filePath(label) + QStringLiteral("/USER/CUSTOM/");
    QDir().mkpath(dir);
    return dir;
}

// Every kind a pen lists, and entries that are no package file.
QMap<QString, QByteArray> fillPen(const QString& dir, const QString& elsewhere)
{
    QMap<QString, QByteArray> packages;
    const auto put = [&](const QString& name, const PackageBuilder& builder) {
        builder.writeTo(dir + name);
        packages.insert(name, builder.bytes());
    };
    put(QStringLiteral("012.dar"),
        PackageBuilder(4096 + 17).title(QStringLiteral("数学")).bytesAt(379, le32(150)));
    put(QStringLiteral("013.das"), PackageBuilder(700).title(QStringLiteral("语文")));
    put(QStringLiteral("014.dsr"), PackageBuilder(1500).title(QStringLiteral("故事")));
    put(QStringLiteral("015.dcs"), PackageBuilder(300).title(QStringLiteral("教辅")));
    put(QStringLiteral("020.dar"), PackageBuilder(400).title(QStringLiteral("ATT012")));
    put(QStringLiteral("021.DAR"), PackageBuilder(2048).title(QStringLiteral("UNB英语")));
    put(QStringLiteral("abc.dsr"), PackageBuilder(10).title(QStringLiteral("短")));
    makeNoFileEntry(QStringLiteral("link"), dir + "016.dar", elsewhere);
    PackageBuilder(64).writeTo(linkedOutsideFile(elsewhere));
    makeNoFileEntry(QStringLiteral("directory"), dir + "017.dar", elsewhere);
    makeNoFileEntry(QStringLiteral("fifo"), dir + "018.dar", elsewhere);
    PackageBuilder(64).writeTo(dir + "x/y.dcs");
    return packages;
}

QStringList entries(const QString& dir)
{
    return QDir(dir).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

QString sha(const QByteArray& bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// Makes the n-th flush of a regular file (counted from 1) act out a pen pulled at that moment:
// the pen's folder tree goes away and the flush fails.
class PullAtFlush {
public:
    PullAtFlush(int n, QString volume)
    {
        const SyncCalls system = systemSyncCalls();
        auto count = std::make_shared<int>(0);
        syncCalls().fsync = [=](int fd) {
            struct stat info { };
            if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && ++*count == n) {
                QDir().rename(volume, volume + QStringLiteral(".pulled"));
                errno = EIO;
                return -1;
            }
            return system.fsync(fd);
        };
    }
    ~PullAtFlush() { syncCalls() = systemSyncCalls(); }
};

}

class BackupTest : public QObject {
    Q_OBJECT
private slots:
    void backupOfEveryKind();
    void incrementalBackup();
    void backupRefusesForeignFolders_data();
    void backupRefusesForeignFolders();
    void backupListing_data();
    void backupListing();
    void restore_data();
    void restore();
    void nextFreeNameByExtension_data();
    void nextFreeNameByExtension();
    void wholeSetMustFit();
    void copyBetweenPens();
    void copyThatReadsBackWrongIsNotKept();
    void penPulledDuringRestore();
    void penPulledDuringBackup();
};

void BackupTest::backupOfEveryKind()
{
    QTemporaryDir root;
    const QString pen = penDir(root, "pen");
    const QMap<QString, QByteArray> packages = fillPen(pen, root.filePath("elsewhere"));
    const QString folder = root.filePath("backup");
    QDir().mkpath(folder);

    const BackupReport report = backupPen(pen, QStringLiteral("PEN0001"), folder);
    QCOMPARE(textOf(report.problem), QString());
    QVERIFY(!report.incremental);
    QStringList copied = report.copied;
    copied.sort();
    QCOMPARE(copied, packages.keys());
    QStringList notCopied = report.notCopied;
    notCopied.sort();
    QCOMPARE(notCopied, QStringList({ "016.dar", "017.dar", "018.dar", "x/y.dcs" }));

    // Byte for byte, and nothing else in the folder: no staging folder, no temporary copy.
    QCOMPARE(entries(folder), QStringList(packages.keys()) << ManifestFileName);
    for (auto it = packages.begin(); it != packages.end(); ++it)
        QCOMPARE(readFile(QDir(folder).filePath(it.key())), it.value());
    // The pen is as it was.
    for (auto it = packages.begin(); it != packages.end(); ++it)
        QCOMPARE(readFile(pen + it.key()), it.value());

    const std::optional<BackupManifest> manifest = BackupManifest::read(folder);
    QVERIFY(manifest);
    QCOMPARE(manifest->serial, QStringLiteral("PEN0001"));
    QVERIFY(qAbs(manifest->date.secsTo(QDateTime::currentDateTimeUtc())) < 600);
    QCOMPARE(manifest->files.size(), packages.size());
    const BackupEntry* maths = manifest->find("012.dar");
    QVERIFY(maths);
    QCOMPARE(maths->title, QStringLiteral("数学"));
    QCOMPARE(maths->size, 4096 + 17);
    QCOMPARE(maths->sha256, sha(packages["012.dar"]));
    QCOMPARE(manifest->find("020.dar")->title, QStringLiteral("ATT012"));
    QCOMPARE(manifest->find("021.DAR")->sha256, sha(packages["021.DAR"]));
}

void BackupTest::incrementalBackup()
{
    QTemporaryDir root;
    const QString pen = penDir(root, "pen");
    QMap<QString, QByteArray> packages = fillPen(pen, root.filePath("elsewhere"));
    const QString folder = root.filePath("backup");
    QDir().mkpath(folder);
    QCOMPARE(backupPen(pen, "PEN0001", folder).copied.size(), packages.size());

    // A start sticker changed in place (same size), a new book, one removed from the pen, and a
    // backup file damaged on the computer.
    QByteArray changed = packages["012.dar"];
    changed.replace(379, 4, le32(151));
    QVERIFY(writeFile(pen + "012.dar", changed));
    PackageBuilder(900).title(QStringLiteral("新书")).writeTo(pen + "030.dar");
    QVERIFY(QFile::remove(pen + "013.das"));
    QByteArray damaged = packages["015.dcs"];
    damaged[200] = char(damaged[200] ^ 1);
    QVERIFY(writeFile(QDir(folder).filePath("015.dcs"), damaged));

    const BackupReport report = backupPen(pen, "PEN0001", folder);
    QCOMPARE(textOf(report.problem), QString());
    QVERIFY(report.incremental);
    QStringList copied = report.copied;
    copied.sort();
    QCOMPARE(copied, QStringList({ "012.dar", "015.dcs", "030.dar" }));
    QCOMPARE(report.unchanged.size(), 4);
    QCOMPARE(readFile(QDir(folder).filePath("012.dar")), changed);
    QCOMPARE(readFile(QDir(folder).filePath("015.dcs")), packages["015.dcs"]);
    // The book no longer on the pen stays in the backup, listed.
    const std::optional<BackupManifest> manifest = BackupManifest::read(folder);
    QVERIFY(manifest && manifest->find("013.das") && manifest->find("030.dar"));
    QCOMPARE(manifest->find("012.dar")->sha256, sha(changed));
    QCOMPARE(manifest->files.size(), packages.size() + 1);
    QVERIFY(QFileInfo::exists(QDir(folder).filePath("013.das")));

    // A third run finds nothing to do.
    const BackupReport again = backupPen(pen, "PEN0001", folder);
    QVERIFY(again.copied.isEmpty());
    QCOMPARE(again.unchanged.size(), 7);
}

void BackupTest::backupRefusesForeignFolders_data()
{
    QTest::addColumn<QString>("content"); // what the folder holds
    QTest::addColumn<QString>("message");
    QTest::addRow("another pen's backup") << "other" << AppText::BackupOtherPen;
    QTest::addRow("other files") << "files" << AppText::BackupNotBackup;
    QTest::addRow("a manifest that is no JSON") << "garbage" << AppText::BackupBadManifest;
}

void BackupTest::backupRefusesForeignFolders()
{
    QFETCH(QString, content);
    QFETCH(QString, message);
    QTemporaryDir root;
    const QString pen = penDir(root, "pen");
    fillPen(pen, root.filePath("elsewhere"));
    const QString folder = root.filePath("backup");
    QDir().mkpath(folder);
    if (content == "other")
        BackupManifest { "PEN0002", QDateTime::currentDateTimeUtc(), {} }.write(folder);
    else if (content == "garbage")
        writeFile(QDir(folder).filePath(ManifestFileName), "{ not json");
    // A file named like a package the user keeps there must not be replaced.
    writeFile(QDir(folder).filePath("012.dar"), "mine");
    const QStringList before = entries(folder);

    const BackupReport report = backupPen(pen, "PEN0001", folder);
    QCOMPARE(textOf(report.problem), message);
    QVERIFY(report.copied.isEmpty());
    QCOMPARE(entries(folder), before);
    QCOMPARE(readFile(QDir(folder).filePath("012.dar")), QByteArray("mine"));
}

void BackupTest::backupListing_data()
{
    QTest::addColumn<QString>("content"); // what the folder holds
    QTest::addColumn<BackupListing>("listing");
    QTest::addColumn<int>("items");
    QTest::addColumn<QString>("message"); // what the restore shows

    QTest::addRow("a backup") << "backup" << BackupListing::Ok << 7 << QString();
    QTest::addRow("empty folder") << "" << BackupListing::NoManifest << 0 << AppText::BackupNone;
    QTest::addRow("packages without a manifest")
        << "packages" << BackupListing::NoManifest << 0 << AppText::BackupNone;
    QTest::addRow("a manifest that is no JSON")
        << "garbage" << BackupListing::Unreadable << 0 << AppText::BackupBadManifest;
    QTest::addRow("a manifest naming a file elsewhere")
        << "outside" << BackupListing::Unreadable << 0 << AppText::BackupBadManifest;
    QTest::addRow("a manifest listing nothing") << "none" << BackupListing::Empty << 0 << AppText::BackupNone;
}

void BackupTest::backupListing()
{
    QFETCH(QString, content);
    QFETCH(BackupListing, listing);
    QFETCH(int, items);
    QFETCH(QString, message);
    QTemporaryDir root;
    const QString folder = root.filePath("backup");
    QDir().mkpath(folder);
    if (content == "backup" || content == "packages") {
        const QString pen = penDir(root, "pen");
        fillPen(pen, root.filePath("elsewhere"));
        QCOMPARE(textOf(backupPen(pen, "PEN0001", folder).problem), QString());
        if (content == "packages")
            QVERIFY(QFile::remove(QDir(folder).filePath(ManifestFileName)));
    } else if (content == "garbage") {
        writeFile(QDir(folder).filePath(ManifestFileName), "{ not json");
    } else if (content == "outside") {
        BackupManifest {
            "PEN0001", QDateTime::currentDateTimeUtc(),
            { { "../012.dar", "数学", 10, QString(64, QLatin1Char('0')) } }
        }.write(folder);
    } else if (content == "none") {
        BackupManifest { "PEN0001", QDateTime::currentDateTimeUtc(), {} }.write(folder);
    }

    BackupListing found = BackupListing::Ok;
    QCOMPARE(itemsFromBackup(folder, &found).size(), items);
    QCOMPARE(found, listing);
    QCOMPARE(textOf(found), message);
}

void BackupTest::restore_data()
{
    QTest::addColumn<QStringList>("onPen"); // names already on the target pen
    QTest::addColumn<bool>("moveTaken"); // the user moves taken packages to the next free number
    QTest::addColumn<QStringList>("expected"); // report.restored, sorted
    QTest::addColumn<QStringList>("skipped");

    const QStringList all { "012.dar", "013.das", "014.dsr", "015.dcs", "020.dar", "021.DAR", "abc.dsr" };
    QTest::addRow("empty pen, no package folder") << QStringList { "-" } << false << all << QStringList();
    QTest::addRow("empty package folder") << QStringList() << false << all << QStringList();
    // 001.dar is taken too: the proposal for 012 is 002; 021.DAR is taken as 021.dar (case)
    // and gets the next one after, 003.dar. The shared package cannot move.
    QTest::addRow("taken, moved") << QStringList { "001.dar", "012.dar", "021.dar", "020.dar", "014.DSR" }
                                  << true
                                  << QStringList { "012.dar → 002.dar", "013.das", "014.dsr → 001.dsr",
                                         "015.dcs", "021.DAR → 003.dar", "abc.dsr" }
                                  << QStringList { "020.dar" };
    // The shared package 020.dar names 012: when 012 goes elsewhere, or not at all, it would
    // name the pen's own 012, so it is left out.
    const QString sharedLeft = QStringLiteral("020.dar（共享教材的 012.dar 没有按原贴号复制）");
    QTest::addRow("shared package's target moved")
        << QStringList { "012.dar" } << true
        << QStringList { "012.dar → 001.dar", "013.das", "014.dsr", "015.dcs", "021.DAR", "abc.dsr" }
        << QStringList { sharedLeft };
    QTest::addRow("shared package's target skipped")
        << QStringList { "012.dar" } << false
        << QStringList { "013.das", "014.dsr", "015.dcs", "021.DAR", "abc.dsr" }
        << QStringList { "012.dar", sharedLeft };
    QTest::addRow("taken, skipped") << QStringList { "012.dar", "021.dar", "020.dar" } << false
                                    << QStringList { "013.das", "014.dsr", "015.dcs", "abc.dsr" }
                                    << QStringList { "012.dar", "020.dar", "021.DAR" };
}

void BackupTest::restore()
{
    QFETCH(QStringList, onPen);
    QFETCH(bool, moveTaken);
    QFETCH(QStringList, expected);
    QFETCH(QStringList, skipped);

    QTemporaryDir root;
    const QString source = penDir(root, "source");
    const QMap<QString, QByteArray> packages = fillPen(source, root.filePath("elsewhere"));
    const QString folder = root.filePath("backup");
    QDir().mkpath(folder);
    QCOMPARE(textOf(backupPen(source, "PEN0001", folder).problem), QString());

    const QString target = root.filePath("target") + "/USER/CUSTOM/";
    QMap<QString, QByteArray> present;
    QDir().mkpath(root.filePath("target")); // the pen's volume; its package folder may be missing
    if (onPen != QStringList { "-" }) {
        QDir().mkpath(target);
        for (const QString& name : onPen) {
            present.insert(name, PackageBuilder(333).title(QStringLiteral("已有") + name).bytes());
            writeFile(target + name, present[name]);
        }
    }

    BackupListing listing = BackupListing::Unreadable;
    const QList<TransferItem> items = itemsFromBackup(folder, &listing);
    QCOMPARE(listing, BackupListing::Ok);
    QCOMPARE(items.size(), packages.size());
    QList<PlannedItem> plan = planTransfer(items, target);
    for (PlannedItem& entry : plan) {
        QCOMPARE(entry.ownNameTaken, onPen.contains(entry.item.name, Qt::CaseInsensitive));
        if (entry.ownNameTaken && moveTaken && !entry.nextFreeName.isEmpty())
            entry.choice = PlannedItem::Choice::NextFree;
    }
    const TransferReport report = runTransfer(plan, target);
    QCOMPARE(textOf(report.problem), QString());
    QStringList restored = textsOf(report.restored);
    restored.sort();
    QCOMPARE(restored, expected);
    QStringList skippedNow = textsOf(report.skipped);
    skippedNow.sort();
    QCOMPARE(skippedNow, skipped);

    // Byte for byte under the planned name, whatever was there untouched, nothing else.
    QStringList names = present.keys();
    for (const QString& line : restored) {
        const QString from = line.section(QStringLiteral(" → "), 0, 0);
        const QString to = line.section(QStringLiteral(" → "), -1);
        QCOMPARE(readFile(target + to), packages[from]);
        names.append(to);
    }
    for (auto it = present.begin(); it != present.end(); ++it)
        QCOMPARE(readFile(target + it.key()), it.value());
    names.sort();
    QCOMPARE(entries(target), names);
}

void BackupTest::nextFreeNameByExtension_data()
{
    QTest::addColumn<QString>("name"); // taken on the pen
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("nextFree");

    QTest::addRow("self-made") << "012.dar"
                               << "数学"
                               << "001.dar";
    QTest::addRow("study aid, upper case") << "012.DCS"
                                           << "教辅"
                                           << "001.dcs";
    QTest::addRow("no number") << "abc.das"
                               << "智能"
                               << "001.das";
    QTest::addRow("source extension") << "012.dab"
                                      << "数学"
                                      << "";
    QTest::addRow("no dot") << "012xdar"
                            << "数学"
                            << "";
    QTest::addRow("shared") << "020.dsr"
                            << "ATT012"
                            << "";
}

// A package whose name is taken can move to the next free number of its kind; only the
// installed extensions have one, and a shared package keeps the number it is known by.
void BackupTest::nextFreeNameByExtension()
{
    QFETCH(QString, name);
    QFETCH(QString, title);
    QFETCH(QString, nextFree);
    QTemporaryDir root;
    const QString target = penDir(root, "target");
    writeFile(target + name, "taken");

    const QList<PlannedItem> plan = planTransfer({ { root.filePath(name), name, title, 400, {} } }, target);
    QCOMPARE(plan.size(), 1);
    QVERIFY(plan.first().ownNameTaken);
    QCOMPARE(plan.first().nextFreeName, nextFree);
}

void BackupTest::wholeSetMustFit()
{
    QTemporaryDir root;
    const QString source = penDir(root, "source");
    fillPen(source, root.filePath("elsewhere"));
    const QString target = penDir(root, "target");
    const QList<PlannedItem> plan
        = planTransfer(itemsFromRows(ScanCatalogue(source), source), source == target ? QString() : target);
    QCOMPARE(plan.size(), 7);

    // Each package fits alone, and all but one cluster of the set.
    qint64 needed = 0;
    for (const PlannedItem& entry : plan)
        needed += (std::max<qint64>(entry.item.size, 1) + 511) / 512 * 512 + 512;
    TransferOptions options;
    options.install.volumeSpace = [&](const QString&) {
        return std::optional<VolumeSpace>({ needed - 1, 512 });
    };
    const TransferReport tight = runTransfer(plan, target, options);
    QCOMPARE(textOf(tight.problem), AppText::TransferNoSpace);
    QVERIFY(entries(target).isEmpty());

    options.install.volumeSpace = [&](const QString&) { return std::optional<VolumeSpace>({ needed, 512 }); };
    QCOMPARE(runTransfer(plan, target, options).restored.size(), 7);
}

void BackupTest::copyBetweenPens()
{
    QTemporaryDir root;
    const QString first = penDir(root, "first");
    const QMap<QString, QByteArray> packages = fillPen(first, root.filePath("elsewhere"));
    const QString second = penDir(root, "second");
    const QByteArray kept = PackageBuilder(100).title(QStringLiteral("别的")).bytes();
    writeFile(second + "014.dsr", kept);

    // The rows selected in the table: two books, one taken on the other pen, and a link.
    BookList selected;
    for (const ListData& row : ScanCatalogue(first))
        if (row.file.endsWith("012.dar") || row.file.endsWith("014.dsr") || row.file.endsWith("016.dar"))
            selected.append(row);
    QCOMPARE(selected.size(), 3);
    QStringList refused;
    const QList<TransferItem> items = itemsFromRows(selected, first, &refused);
    QCOMPARE(refused, QStringList { "016.dar" });
    QList<PlannedItem> plan = planTransfer(items, second);
    QCOMPARE(plan.size(), 2);
    for (PlannedItem& entry : plan) {
        if (entry.ownNameTaken) {
            QCOMPARE(entry.nextFreeName, QStringLiteral("001.dsr"));
            entry.choice = PlannedItem::Choice::NextFree;
        }
    }
    const TransferReport report = runTransfer(plan, second);
    QCOMPARE(textOf(report.problem), QString());
    QCOMPARE(report.restored.size(), 2);
    QCOMPARE(readFile(second + "012.dar"), packages["012.dar"]);
    QCOMPARE(readFile(second + "001.dsr"), packages["014.dsr"]);
    QCOMPARE(readFile(second + "014.dsr"), kept);
    QCOMPARE(entries(second), QStringList({ "001.dsr", "012.dar", "014.dsr" }));
    QCOMPARE(readFile(first + "014.dsr"), packages["014.dsr"]);
}

void BackupTest::copyThatReadsBackWrongIsNotKept()
{
    QTemporaryDir root;
    const QString first = penDir(root, "first");
    const QMap<QString, QByteArray> packages = fillPen(first, root.filePath("elsewhere"));
    const QString second = penDir(root, "second");

    // A pen that garbles one byte of the second copy: in its header, where an install would
    // write the start sticker, or its last byte when it is shorter.
    int copies = 0;
    TransferOptions options;
    options.install.beforeReadBack = [&](const QString& copy) {
        if (++copies != 2)
            return;
        QByteArray bytes = readFile(copy);
        const qsizetype at = std::min<qsizetype>(379, bytes.size() - 1);
        bytes[at] = char(bytes[at] ^ 0x40);
        writeFile(copy, bytes);
    };
    const QList<PlannedItem> plan = planTransfer(itemsFromRows(ScanCatalogue(first), first), second);
    const TransferReport report = runTransfer(plan, second, options);
    QCOMPARE(textOf(report.problem), AppText::TransferFailed);
    QCOMPARE(report.failed.size(), 1);
    QCOMPARE(report.restored.size(), plan.size() - 1);
    // The others went on and are whole; the garbled one is not on the pen under any name.
    QStringList names;
    for (const CopiedPackage& copied : report.restored)
        names.append(copied.target);
    names.sort();
    QCOMPARE(entries(second), names);
    for (const CopiedPackage& copied : report.restored)
        QCOMPARE(readFile(second + copied.target), packages[copied.name]);
}

void BackupTest::penPulledDuringRestore()
{
    QTemporaryDir root;
    const QString source = penDir(root, "source");
    const QMap<QString, QByteArray> packages = fillPen(source, root.filePath("elsewhere"));
    const QString folder = root.filePath("backup");
    QDir().mkpath(folder);
    QCOMPARE(textOf(backupPen(source, "PEN0001", folder).problem), QString());
    const QString volume = root.filePath("target");
    const QString target = volume + "/USER/CUSTOM/";
    QDir().mkpath(target);

    const QList<PlannedItem> plan = planTransfer(itemsFromBackup(folder), target);
    TransferReport report;
    {
        // Each install flushes its copy twice (before and after its name); the third flush is
        // the second package's first.
        const PullAtFlush pull(3, volume);
        report = runTransfer(plan, target);
    }
    QCOMPARE(textOf(report.problem), AppText::TransferPenGone);
    QCOMPARE(report.restored.size(), 1);
    QCOMPARE(report.failed.size(), plan.size() - 1);
    // What the pen holds: the first package whole, and nothing else, not even a temporary copy.
    const QString pulled = volume + ".pulled/USER/CUSTOM/";
    const CopiedPackage first = report.restored.first();
    QCOMPARE(entries(pulled), QStringList { first.target });
    QCOMPARE(readFile(pulled + first.target), packages[first.name]);
}

void BackupTest::penPulledDuringBackup()
{
    QTemporaryDir root;
    const QString volume = root.filePath("pen");
    const QString pen = penDir(root, "pen");
    const QMap<QString, QByteArray> packages = fillPen(pen, root.filePath("elsewhere"));
    const QString folder = root.filePath("backup");
    QDir().mkpath(folder);

    // The pen goes away while the second file is read back: its last bytes cannot be read.
    int copies = 0;
    BackupOptions options;
    options.install.beforeReadBack = [&](const QString&) {
        if (++copies == 2) {
            QDir().rename(volume, volume + ".pulled");
            for (const QString& name : packages.keys())
                ::truncate(QFile::encodeName(volume + ".pulled/USER/CUSTOM/" + name).constData(), 5);
        }
    };
    const BackupReport report = backupPen(pen, "PEN0001", folder, options);
    QCOMPARE(textOf(report.problem), AppText::BackupPenGone);
    QCOMPARE(report.copied.size(), 1);
    const QString done = report.copied.first();
    // Only complete files, and the manifest lists exactly them.
    QCOMPARE(entries(folder), QStringList({ done, ManifestFileName }));
    QCOMPARE(readFile(QDir(folder).filePath(done)), packages[done]);
    const std::optional<BackupManifest> manifest = BackupManifest::read(folder);
    QVERIFY(manifest);
    QCOMPARE(manifest->files.size(), 1);
    QCOMPARE(manifest->files.first().name, done);
}

QTEST_GUILESS_MAIN(BackupTest)
#include "backup_test.moc"
