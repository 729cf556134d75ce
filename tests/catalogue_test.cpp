#include "BookRemoval.h"
#include "BookTableModel.h"
#include "Catalogue.h"
#include "PackageBuilder.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

class CatalogueTest : public QObject {
    Q_OBJECT
private slots:
    void title_data();
    void title();
    void scan_data();
    void scan();
    void scanKeepsNothingElse();
    void scanOfNothing();
    void sharedTargetStaysInDirectory();
    void tableModelReadsTheList();
    void removal();
    void removalNeverLeavesTheDirectory();

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

void CatalogueTest::scanKeepsNothingElse()
{
    // A directory named like a package is listed with an empty title; the walk goes on.
    QTemporaryDir pen;
    const QString dir = pen.path() + "/";
    QDir().mkpath(dir + "007.dar");
    PackageBuilder().title("Inside").writeTo(dir + "007.dar/001.dar");
    const BookList rows = ScanCatalogue(dir);
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows.first().stat, QStringLiteral("自制-007"));
    QCOMPARE(rows.first().name, QString());
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
    QVERIFY(removePackage(dir + "002.dar", dir));
    QVERIFY(!QFileInfo::exists(dir + "002.dar"));
    QVERIFY(QFileInfo::exists(dir + "001.dar"));
    // A directory entry goes with its content.
    QVERIFY(removePackage(dir + "003.dar", dir));
    QVERIFY(!QFileInfo::exists(dir + "003.dar"));
    // Already gone: reported, not pretended.
    QVERIFY(!removePackage(dir + "003.dar", dir));
    QVERIFY(!removePackage(dir + "001.dar", QString()));
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
        QVERIFY2(removePackage(dir + name, dir), name);
    QVERIFY(QFileInfo::exists(outside + "/important.bin"));
    QVERIFY(QFileInfo::exists(pen.path() + "/precious.dar"));

    // A path outside the package directory is refused.
    QVERIFY(!removePackage(pen.path() + "/precious.dar", dir));
    QVERIFY(!removePackage(dir + "../../precious.dar", dir));
    QVERIFY(QFileInfo::exists(pen.path() + "/precious.dar"));
}

QTEST_GUILESS_MAIN(CatalogueTest)
#include "catalogue_test.moc"
