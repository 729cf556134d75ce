#include "BookRemoval.h"
#include "BookTableModel.h"
#include "Catalogue.h"
#include "Deadline.h"
#include "FailingSync.h"
#include "NoFileEntry.h"
#include "PackageBuilder.h"
#include "PackageFolder.h"
#include "StickerChange.h"
#include "Texts.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// Title reads of the files whose names are listed fail with EIO, as on a medium with bad
// sectors; the system's read is back when it goes out of scope.
class FailingTitleReads {
public:
    explicit FailingTitleReads(QStringList names)
    {
        failing() = std::move(names);
        titleReadCall() = [](int fd, qint64 offset, char* data, qint64 length) -> qint64 {
            char path[4096];
            const QByteArray link = "/proc/self/fd/" + QByteArray::number(fd);
            const ssize_t linkLength = ::readlink(link.constData(), path, sizeof path);
            const QString name
                = QFileInfo(QFile::decodeName(QByteArray(path, int(std::max<ssize_t>(linkLength, 0)))))
                      .fileName();
            if (failing().contains(name)) {
                errno = EIO;
                return -1;
            }
            return readAt(fd, offset, data, length);
        };
    }
    ~FailingTitleReads() { titleReadCall() = readAt; }
    FailingTitleReads(const FailingTitleReads&) = delete;
    FailingTitleReads& operator=(const FailingTitleReads&) = delete;

private:
    static QStringList& failing()
    {
        static QStringList names;
        return names;
    }
};

} // namespace

class CatalogueTest : public QObject {
    Q_OBJECT
private slots:
    void title_data();
    void title();
    void scan_data();
    void scan();
    void unusableEntries_data();
    void unusableEntries();
    void unreadableTitles();
    void folderNotOnThePen_data();
    void folderNotOnThePen();
    void staleTemporaries();
    void scanOfNothing();
    void sharedTargetStaysInDirectory();
    void tableModelReadsTheList();
    void removal();
    void removalNeverLeavesTheDirectory();
    void removalFaults_data();
    void removalFaults();
    void removalKeepsTheDataUntilTheNameIsFlushed();

private:
    static QString scanDir();
    QTemporaryDir m_dir;
};

void CatalogueTest::title_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("title");

    QTest::addRow("gb18030 with 0x00") << QByteArray("\xca\xfd\xd1\xa7\x00more", 9) << QStringLiteral("数学");
    QTest::addRow("0xFF ends it") << QByteArray("ABC\xFFrest") << QStringLiteral("ABC");
    QTest::addRow("first byte 0x00") << QByteArray("\x00"
                                                   "ABC",
        4) << QString();
    QTest::addRow("first byte 0xFF") << QByteArray("\xFF"
                                                   "ABC")
                                     << QString();
    QTest::addRow("four-byte gb18030") << QByteArray("\x81\x30\x81\x30\x00", 5) << QString(QChar(0x80));
    QTest::addRow("all 100 bytes") << QByteArray(100, 'x') + QByteArray("tail") << QString(100, 'x');
    QTest::addRow("short file, no terminator") << QByteArray("deb-Hi") << QStringLiteral("deb-Hi");
    // A lead byte without its trail byte is shown as a replacement character.
    QTest::addRow("invalid gb18030") << QByteArray("A\x81\x00", 3) << QStringLiteral("A\uFFFD");
}

void CatalogueTest::title()
{
    QFETCH(QByteArray, bytes);
    const QString path = m_dir.filePath(QStringLiteral("titles/%1.dab").arg(QTest::currentDataTag()));
    writeFile(path, bytes);
    QTEST(ReadBookName(path), "title");
}

QString CatalogueTest::scanDir() { return QStringLiteral("pen/USER/CUSTOM/"); }

void CatalogueTest::scan_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("stat");
    QTest::addColumn<QString>("flag");
    QTest::addColumn<QString>("type");

    QTest::addRow("012.DAR") << "语文"
                             << "自制-012"
                             << "D"
                             << "dab";
    QTest::addRow("abc.dsr") << "故事"
                             << "故事-abc"
                             << "O"
                             << "dsb";
    QTest::addRow("013_das") << "Smart"
                             << "智能-013"
                             << "S"
                             << "dab";
    QTest::addRow("x/y.dcs") << "Aid"
                             << "教辅-x/y"
                             << "C"
                             << "dcb";
    QTest::addRow("020.dar") << "deb-Book(023)"
                             << "自制-020"
                             << "E"
                             << "dab";
    QTest::addRow("021.dar") << "Plain"
                             << "自制-021"
                             << "D"
                             << "unb";
    QTest::addRow("022.das") << "Smart"
                             << "智能-022"
                             << "S"
                             << "unb";
    QTest::addRow("023.dar") << "Book"
                             << "自制-023"
                             << "D"
                             << "dab";
    QTest::addRow("024.dar") << ""
                             << "自制-024"
                             << "D"
                             << "dab";
    QTest::addRow("025.dar") << "unbLower"
                             << "自制-025"
                             << "D"
                             << "dab";
    QTest::addRow("026.dar") << "DEB Upper"
                             << "自制-026"
                             << "D"
                             << "dab";
    QTest::addRow("027.dar") << "(missing)"
                             << "自制-027"
                             << "E"
                             << "dab";
}

void CatalogueTest::scan()
{
    // One directory with every kind of entry, built once; each row checks one listed file.
    const QString dir = m_dir.filePath(scanDir());
    if (!QFileInfo::exists(dir)) {
        PackageBuilder().title("语文").writeTo(dir + "012.DAR");
        PackageBuilder().title("故事").writeTo(dir + "abc.dsr");
        PackageBuilder().title("Smart", '\xFF').writeTo(dir + "013_das");
        PackageBuilder().title("Aid").writeTo(dir + "x/y.dcs");
        PackageBuilder().title("ATT023").writeTo(dir + "020.dar"); // target's title as read, tag and all
        PackageBuilder().title("UNBPlain").writeTo(dir + "021.dar");
        PackageBuilder().title("UNBSmart").writeTo(dir + "022.das");
        PackageBuilder().title("deb-Book").writeTo(dir + "023.dar");
        PackageBuilder().title("deb").writeTo(dir + "024.dar");
        PackageBuilder().title("unbLower").writeTo(dir + "025.dar");
        PackageBuilder().title("DEB Upper").writeTo(dir + "026.dar");
        PackageBuilder().title("ATTmissing").writeTo(dir + "027.dar");
        // Not listed: wrong length, wrong extension.
        PackageBuilder().title("No").writeTo(dir + "1234.dar");
        PackageBuilder().title("No").writeTo(dir + "._012.dar");
        PackageBuilder().title("No").writeTo(dir + "012.txt");
    }

    const BookList rows = ScanCatalogue(dir);
    const QString fileName = QString::fromLatin1(QTest::currentDataTag());
    const auto row = std::find_if(
        rows.cbegin(), rows.cend(), [&](const ListData& r) { return r.file == dir + fileName; });
    QVERIFY2(row != rows.cend(), qPrintable(fileName + " not listed"));
    QTEST(row->name, "name");
    QTEST(row->stat, "stat");
    QTEST(row->flag, "flag");
    QTEST(row->type, "type");
    QCOMPARE(rows.size(), 12);
}

void CatalogueTest::unusableEntries_data()
{
    // Entries named like a package that are no regular file: listed, never read through, and
    // none of them may stop the walk.
    QTest::addColumn<QString>("kind");
    QTest::addRow("link to a file outside") << "link";
    QTest::addRow("link to a FIFO") << "link to fifo";
    QTest::addRow("FIFO") << "fifo";
    QTest::addRow("dangling link") << "dangling";
    QTest::addRow("directory") << "directory";
}

void CatalogueTest::unusableEntries()
{
    QFETCH(QString, kind);
    QTemporaryDir pen;
    const QString dir = pen.path() + "/USER/CUSTOM/";
    const QString outside = linkedOutsideFile(pen.path());
    PackageBuilder().title("Outside").writeTo(outside);
    QVERIFY(QDir().mkpath(dir));
    PackageBuilder().title("Good").writeTo(dir + "001.dar");
    PackageBuilder().title("ATT007").writeTo(dir + "002.dar");
    const QString entry = dir + "007.dar";
    QVERIFY(makeNoFileEntry(kind, entry, pen.path()));
    if (kind == "directory")
        PackageBuilder().title("Inside").writeTo(entry + "/001.dar");

    auto rows = std::make_shared<BookList>();
    QVERIFY2(finishesWithin(10s, [rows, dir] { *rows = ScanCatalogue(dir); }), "the scan hangs");
    QMap<QString, QString> names;
    for (const ListData& row : *rows)
        names.insert(row.stat, row.name);
    QCOMPARE(names.value("自制-001"), QStringLiteral("Good"));
    QCOMPARE(names.value("自制-007"), UnusableEntryName);
    // A shared package whose target is no regular file gets no title from it.
    QCOMPARE(names.value("自制-002"), QStringLiteral("(007)"));
    QCOMPARE(readFile(outside), PackageBuilder().title("Outside").bytes());
}

void CatalogueTest::unreadableTitles()
{
    QTemporaryDir pen;
    const QString dir = pen.path() + "/USER/CUSTOM/";
    QVERIFY(QDir().mkpath(dir + "0"));
    PackageBuilder().title("Good").writeTo(dir + "001.dar");
    PackageBuilder().title("deb-Story").writeTo(dir + "002.dsr");
    PackageBuilder().title("Bad").writeTo(dir + "003.dsr");
    PackageBuilder().title("UNBBad").writeTo(dir + "0/1.das");
    PackageBuilder().title("Target").writeTo(dir + "007.dar");
    PackageBuilder().title("ATT007").writeTo(dir + "005.dar");
    // An empty title read without error stays an empty title.
    PackageBuilder().title("").writeTo(dir + "006.dcs");

    QMap<QString, QString> names;
    {
        const FailingTitleReads failing({ "003.dsr", "1.das", "007.dar" });
        for (const ListData& row : ScanCatalogue(dir))
            names.insert(row.stat, row.name);
        QCOMPARE(ReadBookName(dir + "003.dsr"), QString());
    }
    QCOMPARE(names.size(), 7);
    QCOMPARE(names.value("自制-001"), QStringLiteral("Good"));
    QCOMPARE(names.value("故事-002"), QStringLiteral("Story"));
    QCOMPARE(names.value("故事-003"), UnusableEntryName);
    QCOMPARE(names.value("智能-0/1"), UnusableEntryName);
    QCOMPARE(names.value("自制-007"), UnusableEntryName);
    // The shared package itself reads; its target's title is what cannot be read, as when the
    // target is missing.
    QCOMPARE(names.value("自制-005"), QStringLiteral("(007)"));
    QCOMPARE(names.value("教辅-006"), QString());

    // The system's read is back.
    QCOMPARE(ScanCatalogue(dir).size(), 7);
    QCOMPARE(ReadBookName(dir + "003.dsr"), QStringLiteral("Bad"));
}

void CatalogueTest::folderNotOnThePen_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("message");

    QTest::addRow("missing") << "missing" << AppText::FolderMissing;
    QTest::addRow("a file") << "file" << AppText::FolderNotFolder;
    QTest::addRow("CUSTOM a link to a folder outside") << "link" << AppText::FolderLink;
    QTest::addRow("USER a link to a folder outside") << "user link" << AppText::FolderLink;
    QTest::addRow("another file system mounted there") << "mount" << AppText::FolderOtherVolume;
    QTest::addRow("unreadable") << "unreadable" << AppText::FolderUnreadable;
}

void CatalogueTest::folderNotOnThePen()
{
    QFETCH(QString, kind);
    QFETCH(QString, message);

    QTemporaryDir pen;
    QTemporaryDir elsewhere;
    const QString volume = pen.path() + "/";
    const QString dir = volume + "USER/CUSTOM/";
    const QString outside = elsewhere.path() + "/USER/CUSTOM/";
    const QByteArray package = PackageBuilder(400).title("Outside").bytesAt(379, le32(5)).bytes();
    QVERIFY(writeFile(outside + "001.dar", package));
    if (kind == "file")
        QVERIFY(writeFile(volume + "USER/CUSTOM", "x"));
    if (kind == "link") {
        QVERIFY(QDir().mkpath(volume + "USER"));
        QVERIFY(QFile::link(outside, volume + "USER/CUSTOM"));
    }
    if (kind == "user link")
        QVERIFY(QFile::link(elsewhere.path() + "/USER", volume + "USER"));
    // Another file system (a tmpfs) mounted on the folder: a folder, but not the pen's.
    bool mounted = false;
    const auto unmount = qScopeGuard([&] {
        if (mounted)
            ::umount2(QFile::encodeName(dir).constData(), MNT_DETACH);
    });
    if (kind == "mount") {
        if (::geteuid() != 0)
            QSKIP("mounting a file system needs root");
        QVERIFY(QDir().mkpath(dir));
        QCOMPARE(::mount("penshelf-test", QFile::encodeName(dir).constData(), "tmpfs", 0, "size=1m"), 0);
        mounted = true;
        QVERIFY(writeFile(dir + "001.dar", package));
    }
    if (kind == "unreadable") {
        if (::geteuid() == 0)
            QSKIP("permission bits do not bind root");
        QVERIFY(QDir().mkpath(dir));
        QVERIFY(QFile::setPermissions(dir, QFile::WriteOwner | QFile::ExeOwner));
    }

    PackageFolder::Problem problem = PackageFolder::Problem::None;
    QCOMPARE(ScanCatalogue(dir, &problem).size(), 0);
    QCOMPARE(textOf(problem), message);

    // Nothing is removed or renumbered through it either.
    QCOMPARE(removePackage(dir + "001.dar", dir), RemovalResult::Failed);
    const StickerChangeResult renumbered
        = applyStickerChange({ dir + "001.dar", "D", "dab", "001", "002", "0100", dir });
    QCOMPARE(textOf(renumbered), AppText::StickerFailed);
    const StickerChangeResult edited
        = applyStickerChange({ dir + "001.dar", "D", "dab", "001", "001", "0100", dir });
    QCOMPARE(textOf(edited), AppText::StickerFailed);
    const QString other = kind == "mount" ? dir : outside;
    QCOMPARE(QDir(other).entryList(QDir::Files), QStringList { "001.dar" });
    QCOMPARE(readFile(other + "001.dar"), package);
}

void CatalogueTest::staleTemporaries()
{
    // What an interrupted install left is removed; a copy that an install still holds is not,
    // nor anything else.
    QTemporaryDir pen;
    const QString dir = pen.path() + "/";
    const QStringList stale { ".penshelf-abcdefgh.tmp", ".penshelf-01234567.tmp" };
    const QStringList kept { ".penshelf-held0000.tmp", ".penshelf-ABCDEFGH.tmp", ".penshelf-abc.tmp",
        "penshelf-abcdefgh.tmp", "001.dar" };
    for (const QString& name : stale + kept)
        QVERIFY(writeFile(dir + name, QByteArray(4096, 'x')));
    const int held
        = ::open(QFile::encodeName(dir + ".penshelf-held0000.tmp").constData(), O_RDONLY | O_CLOEXEC);
    QVERIFY(held >= 0);
    QCOMPARE(::flock(held, LOCK_EX), 0);
    const auto closeHeld = qScopeGuard([held] { ::close(held); });

    QList<QStringList> heldAtFlush;
    {
        const FlushLog log;
        ScanCatalogue(dir);
        heldAtFlush = log.heldAtFolderFlush();
    }
    QStringList expected = kept;
    expected.sort();
    QCOMPARE(QDir(dir).entryList(QDir::Files | QDir::Hidden, QDir::Name), expected);

    // Held until the folder without their names is flushed, so that FAT cannot free their
    // clusters on the medium first; let go afterwards.
    QVERIFY(!heldAtFlush.isEmpty());
    QStringList removedHeld;
    for (const QString& path : heldAtFlush.first())
        removedHeld.append(QFileInfo(path).fileName());
    removedHeld.sort();
    QStringList removed = stale;
    removed.sort();
    QCOMPARE(removedHeld, removed);
    QCOMPARE(heldAtFlush.last(), QStringList());
}

void CatalogueTest::scanOfNothing()
{
    QTemporaryDir pen;
    QCOMPARE(ScanCatalogue(pen.path() + "/").size(), 0);
    QCOMPARE(ScanCatalogue(pen.path() + "/missing/").size(), 0);

    // No volume: no directory at all, and nothing relative to the working directory.
    QTemporaryDir cwd;
    PackageBuilder().title("Trap").writeTo(cwd.filePath("USER/CUSTOM/001.dar"));
    const QString previous = QDir::currentPath();
    QDir::setCurrent(cwd.path());
    const QString directory = packageDirectoryFor(QString());
    const BookList relative = ScanCatalogue(directory);
    const BookList explicitRelative = ScanCatalogue(QStringLiteral("USER/CUSTOM/"));
    QDir::setCurrent(previous);
    QCOMPARE(directory, QString());
    QCOMPARE(relative.size(), 0);
    QCOMPARE(explicitRelative.size(), 0);
    QCOMPARE(packageDirectoryFor("/media/MY PEN/"), QStringLiteral("/media/MY PEN/USER/CUSTOM/"));
}

void CatalogueTest::sharedTargetStaysInDirectory()
{
    // The target of a shared package is named by file content; it must not reach outside.
    QTemporaryDir pen;
    const QString dir = pen.path() + "/USER/CUSTOM/";
    PackageBuilder().title("Secret").writeTo(pen.path() + "/USER/x.dar");
    PackageBuilder().title("ATT../x").writeTo(dir + "030.dar");
    PackageBuilder().title("Sub").writeTo(dir + "a/b.dar");
    PackageBuilder().title("ATTa/b").writeTo(dir + "031.dar");
    const BookList rows = ScanCatalogue(dir);
    QStringList names;
    for (const ListData& row : rows)
        names << row.name;
    names.sort();
    QCOMPARE(names, QStringList({ "(../x)", "(a/b)", "Sub" }));
}

void CatalogueTest::tableModelReadsTheList()
{
    BookList rows;
    BookTableModel model(rows);
    QCOMPARE(model.rowCount(), 0);
    QCOMPARE(model.columnCount(), 2);
    QCOMPARE(model.headerData(0, Qt::Horizontal, BookTableModel::IdentifierRole).toString(),
        QStringLiteral("name"));
    QCOMPARE(model.headerData(1, Qt::Horizontal, BookTableModel::IdentifierRole).toString(),
        QStringLiteral("stat"));

    model.beginReload();
    rows.append({ "数学", "自制-001", "D", "/p/001.dar", "dab" });
    model.endReload();
    QCOMPARE(model.rowCount(), 1);
    QCOMPARE(model.data(model.index(0, 0), Qt::DisplayRole).toString(), QStringLiteral("数学"));
    QCOMPARE(model.data(model.index(0, 1), Qt::DisplayRole).toString(), QStringLiteral("自制-001"));

    // The list can shrink before the model is told; the model then gives nothing, not a crash.
    const QModelIndex stale = model.index(0, 0);
    rows.clear();
    QVERIFY(!model.data(stale, Qt::DisplayRole).isValid());
}

void CatalogueTest::removal()
{
    QTemporaryDir pen;
    const QString dir = pen.path() + "/";
    PackageBuilder().title("A").writeTo(dir + "001.dar");
    PackageBuilder().title("ATT001").writeTo(dir + "002.dar");
    PackageBuilder().writeTo(dir + "003.dar/inner/deep.bin");

    // A shared package goes alone; the package it stands for stays.
    QCOMPARE(removePackage(dir + "002.dar", dir), RemovalResult::Removed);
    QVERIFY(!QFileInfo::exists(dir + "002.dar"));
    QVERIFY(QFileInfo::exists(dir + "001.dar"));
    // A directory entry goes with its content.
    QCOMPARE(removePackage(dir + "003.dar", dir), RemovalResult::Removed);
    QVERIFY(!QFileInfo::exists(dir + "003.dar"));
    // Already gone: reported, not pretended.
    QCOMPARE(removePackage(dir + "003.dar", dir), RemovalResult::Failed);
    QCOMPARE(removePackage(dir + "001.dar", QString()), RemovalResult::Failed);
    QVERIFY(QFileInfo::exists(dir + "001.dar"));
}

void CatalogueTest::removalNeverLeavesTheDirectory()
{
    QTemporaryDir pen;
    const QString dir = pen.path() + "/USER/CUSTOM/";
    QDir().mkpath(dir);
    const QString outside = pen.path() + "/keep";
    PackageBuilder().writeTo(outside + "/important.bin");
    PackageBuilder().writeTo(pen.path() + "/precious.dar");

    // A link named like a package: the link goes, what it points at stays.
    QVERIFY(QFile::link(outside, dir + "040.dar"));
    QVERIFY(QFile::link(pen.path() + "/precious.dar", dir + "041.dar"));
    // A directory package holding a link out: the link goes, its target stays.
    QDir().mkpath(dir + "042.dar");
    QVERIFY(QFile::link(outside, dir + "042.dar/escape"));

    for (const char* name : { "040.dar", "041.dar", "042.dar" })
        QVERIFY2(removePackage(dir + name, dir) == RemovalResult::Removed, name);
    QVERIFY(QFileInfo::exists(outside + "/important.bin"));
    QVERIFY(QFileInfo::exists(pen.path() + "/precious.dar"));

    // A path outside the package directory is refused.
    QCOMPARE(removePackage(pen.path() + "/precious.dar", dir), RemovalResult::Failed);
    QCOMPARE(removePackage(dir + "../../precious.dar", dir), RemovalResult::Failed);
    QVERIFY(QFileInfo::exists(pen.path() + "/precious.dar"));
}

void CatalogueTest::removalFaults_data()
{
    QTest::addColumn<int>("folderFlush");
    QTest::addColumn<int>("unlink");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("stays");

    QTest::addRow("folder not flushed") << 1 << 0 << AppText::RemoveNotFlushed << false;
    QTest::addRow("not removed") << 0 << 1 << AppText::RemoveFailed << true;
}

void CatalogueTest::removalFaults()
{
    // The pen fails under the removal: the window says so, and what is on the pen is what it says.
    QFETCH(int, folderFlush);
    QFETCH(int, unlink);
    QFETCH(QString, message);
    QFETCH(bool, stays);

    QTemporaryDir pen;
    const QString dir = pen.path() + "/";
    PackageBuilder().writeTo(dir + "001.dar");
    RemovalResult result;
    {
        const FailingSync failing({ 0, folderFlush, unlink });
        result = removePackage(dir + "001.dar", dir);
    }
    QCOMPARE(textOf(result), message);
    QCOMPARE(QFileInfo::exists(dir + "001.dar"), stays);
}

void CatalogueTest::removalKeepsTheDataUntilTheNameIsFlushed()
{
    // FAT frees a removed file's clusters when nothing holds the file any more, and they could
    // reach the medium before the folder entry: a pen pulled then kept the name over free
    // clusters. So the package is still held when the folder is flushed first.
    QTemporaryDir pen;
    const QString dir = pen.path() + "/";
    PackageBuilder().writeTo(dir + "001.dar");
    const QString removed = QFileInfo(dir + "001.dar").canonicalFilePath();
    QList<QStringList> held;
    {
        const FlushLog log;
        QCOMPARE(removePackage(dir + "001.dar", dir), RemovalResult::Removed);
        held = log.heldAtFolderFlush();
    }
    QStringList heldAtFlush;
    for (const QStringList& paths : held)
        heldAtFlush.append(paths.contains(removed) ? "held" : "let go");
    QCOMPARE(heldAtFlush, (QStringList { "held", "let go" }));
}

QTEST_GUILESS_MAIN(CatalogueTest)
#include "catalogue_test.moc"
