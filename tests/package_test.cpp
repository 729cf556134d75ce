#include "BookHeader.h"
#include "FileSync.h"
#include "PackageBuilder.h"
#include "ScratchMount.h"
#include "StickerChange.h"
#include "StickerNumber.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

RandomBelow fixedRandom(quint32 value)
{
    return [value](quint32 bound) {
        Q_ASSERT(bound == 253);
        return value;
    };
}

} // namespace

class PackageTest : public QObject {
    Q_OBJECT
private slots:
    void bookType_data();
    void bookType();
    void bookTypeOfMissingAndShortFiles();

    void bookCode_data();
    void bookCode();
    void bookCodeLeavesEverythingElse();
    void bookCodeKeyIsNeverZeroOr254Up();
    void headerWritesNeverCreateFiles();

    void startSticker();
    void maskedStartSticker_data();
    void maskedStartSticker();
    void startStickerReadersOnShortFiles();

    void digitRule_data();
    void digitRule();

    void stickerChange_data();
    void stickerChange();
    void renameToNewNumber();
    void renameNeverReplaces();
    void renameFailureWritesNothing();

private:
    QTemporaryDir m_dir;
};

void PackageTest::bookType_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<QByteArray>("marker");
    QTest::addColumn<QString>("extension");
    QTest::addColumn<int>("nTypeBook");
    QTest::addColumn<int>("cut");

    const QByteArray zero(2, '\0');
    const QByteArray set("\x00\x01", 2);
    QTest::addRow("dsb deb") << "a.dsb" << QByteArray("deb-") << set << ".dsr" << 1 << 4;
    QTest::addRow("dsb DEB") << "a.dsb" << QByteArray("DEB-") << set << ".dsr" << 1 << 4;
    QTest::addRow("dsb unb is untagged") << "a.dsb" << QByteArray("unbX") << zero << ".dsr" << 0 << 0;
    QTest::addRow("dsb plain") << "a.dsb" << QByteArray("abc") << zero << ".dsr" << 0 << 0;
    QTest::addRow("dab deb") << "a.dab" << QByteArray("deb-") << zero << ".das" << 1 << 4;
    QTest::addRow("dab unb zero marker") << "a.dab" << QByteArray("unb") << zero << ".dar" << 2 << 3;
    QTest::addRow("dab Unb marker set") << "a.dab" << QByteArray("Unb") << set << ".das" << 2 << 3;
    QTest::addRow("dab plain") << "a.dab" << QByteArray("xyz") << set << ".dar" << 0 << 0;
    QTest::addRow("DSB capitals is not a story") << "a.DSB" << QByteArray("deb-") << zero << ".das" << 1 << 4;
    QTest::addRow("invalid utf-8 has no tag")
        << "a.dab" << QByteArray("\xFF\xFE\xFD") << zero << ".dar" << 0 << 0;
}

void PackageTest::bookType()
{
    QFETCH(QString, fileName);
    QFETCH(QByteArray, head);
    QFETCH(QByteArray, marker);
    const QString path
        = m_dir.filePath(QStringLiteral("type/") + QTest::currentDataTag() + QLatin1Char('/') + fileName);
    PackageBuilder(200).rawTitle(head).bytesAt(BookHeader::SmartMarkerOffset, marker).writeTo(path);

    const BookType type = GetBookType(path);
    QTEST(type.extension, "extension");
    QTEST(type.nTypeBook, "nTypeBook");
    QTEST(type.tagLength, "cut");
}

void PackageTest::bookTypeOfMissingAndShortFiles()
{
    const BookType missing = GetBookType(m_dir.filePath("missing.dab"));
    QCOMPARE(missing.extension, ExtSelfMade);
    QCOMPARE(missing.nTypeBook, 0);
    QCOMPARE(GetBookType(m_dir.filePath("missing.dsb")).extension, ExtStory);

    // Shorter than the tag: no tag. Tagged "unb" but too short for the marker: zero marker.
    writeFile(m_dir.filePath("short/de.dab"), "de");
    QCOMPARE(GetBookType(m_dir.filePath("short/de.dab")).nTypeBook, 0);
    writeFile(m_dir.filePath("short/unb.dab"), "unb");
    const BookType unb = GetBookType(m_dir.filePath("short/unb.dab"));
    QCOMPARE(unb.extension, ExtSelfMade);
    QCOMPARE(unb.nTypeBook, 2);
}

void PackageTest::bookCode_data()
{
    QTest::addColumn<int>("bookOid");
    QTest::addColumn<int>("nTypeBook");
    QTest::addColumn<QByteArray>("codeBytes");

    QTest::addRow("000 untagged") << 0 << 0 << QByteArray("\xC0\xDA\x00\x00", 4);
    QTest::addRow("999 untagged") << 999 << 0 << le32(56999);
    QTest::addRow("000 deb") << 0 << 1 << le32(65230);
    QTest::addRow("302 deb") << 302 << 1 << QByteArray("\xFC\xFF\x00\x00", 4);
    QTest::addRow("303 deb") << 303 << 1 << QByteArray("\x15\xFC\x00\x00", 4);
    QTest::addRow("999 deb") << 999 << 1 << le32(65229);
}

void PackageTest::bookCode()
{
    QFETCH(int, bookOid);
    QFETCH(int, nTypeBook);
    QFETCH(QByteArray, codeBytes);
    const QString path = m_dir.filePath(QStringLiteral("code/%1.dar").arg(QTest::currentDataTag()));
    PackageBuilder(400).writeTo(path);

    QVERIFY(setSmartBookInfo(path, bookOid, nTypeBook, fixedRandom(99))); // key byte 100
    const QByteArray bytes = readFile(path);
    QCOMPARE(bytes.mid(BookHeader::BookCodeOffset, 4), codeBytes);
    QCOMPARE(quint8(bytes[BookHeader::CodeKeyOffset]), quint8(100));
    for (int i = 0; i < 4; ++i)
        QCOMPARE(
            quint8(bytes[BookHeader::MaskedBookCodeOffset + i]), quint8(quint8(codeBytes[i]) ^ 100 ^ 0x3B));
}

void PackageTest::bookCodeLeavesEverythingElse()
{
    // Type 2 gets no code at all; types 0 and 1 change exactly the nine bytes of the code.
    const QByteArray original = PackageBuilder(1000).bytes();
    const QString unb = m_dir.filePath("rest/unb.dar");
    writeFile(unb, original);
    QVERIFY(setSmartBookInfo(unb, 123, 2, fixedRandom(0)));
    QCOMPARE(readFile(unb), original);

    const QString plain = m_dir.filePath("rest/plain.dar");
    writeFile(plain, original);
    QVERIFY(setSmartBookInfo(plain, 123, 0, fixedRandom(0)));
    const QByteArray after = readFile(plain);
    QCOMPARE(after.size(), original.size());
    for (int i = 0; i < original.size(); ++i) {
        const bool field = (i >= 336 && i < 340) || i == 343 || (i >= 373 && i < 377);
        if (!field && after[i] != original[i])
            QFAIL(qPrintable(QStringLiteral("byte %1 changed").arg(i)));
    }
}

void PackageTest::bookCodeKeyIsNeverZeroOr254Up()
{
    const QString path = m_dir.filePath("key/k.dar");
    PackageBuilder(400).writeTo(path);
    QVERIFY(setSmartBookInfo(path, 5, 0, fixedRandom(0)));
    QCOMPARE(quint8(readFile(path)[BookHeader::CodeKeyOffset]), quint8(1));
    QVERIFY(setSmartBookInfo(path, 5, 0, fixedRandom(252)));
    QCOMPARE(quint8(readFile(path)[BookHeader::CodeKeyOffset]), quint8(253));

    // The system source stays in range and gives the same code bytes every time.
    for (int i = 0; i < 50; ++i) {
        QVERIFY(setSmartBookInfo(path, 5, 0));
        const QByteArray bytes = readFile(path);
        const quint8 key = quint8(bytes[BookHeader::CodeKeyOffset]);
        QVERIFY2(key >= 1 && key <= 253, qPrintable(QString::number(key)));
        QCOMPARE(bytes.mid(BookHeader::BookCodeOffset, 4), le32(56005));
    }
}

void PackageTest::headerWritesNeverCreateFiles()
{
    const QString missing = m_dir.filePath("nothing/here.dar");
    QVERIFY(!setSmartBookInfo(missing, 1, 0, fixedRandom(0)));
    QVERIFY(!WriteOffsetOid(missing, 5));
    QVERIFY(!WriteOffsetOidUnb(missing, 5));
    QVERIFY(!QFileInfo::exists(missing));
}

void PackageTest::startSticker()
{
    const QString path = m_dir.filePath("start/s.dar");
    const QByteArray original = PackageBuilder(500).bytes();
    writeFile(path, original);

    QVERIFY(WriteOffsetOid(path, 9999));
    QByteArray expected = original;
    expected.replace(379, 4, QByteArray("\x0F\x27\x00\x00", 4));
    QCOMPARE(readFile(path), expected);
    QCOMPARE(ReadOffsetOid(path), 9999);

    QVERIFY(WriteOffsetOid(path, 150));
    QCOMPARE(readFile(path).mid(379, 4), QByteArray("\x96\x00\x00\x00", 4));
    QCOMPARE(ReadOffsetOid(path), 150);
}

void PackageTest::maskedStartSticker_data()
{
    QTest::addColumn<int>("value");
    QTest::addRow("0000 leaves the key") << 0;
    QTest::addRow("1234") << 1234;
    QTest::addRow("9999") << 9999;
}

void PackageTest::maskedStartSticker()
{
    QFETCH(int, value);
    const QString path = m_dir.filePath(QStringLiteral("masked/%1.dar").arg(value));
    const QByteArray original = PackageBuilder(300).byteAt(161, 0xA5).byteAt(162, 0x3C).bytes();
    writeFile(path, original);

    QVERIFY(WriteOffsetOidUnb(path, value));
    const QByteArray after = readFile(path);
    QCOMPARE(quint8(after[141]), quint8(0xA5 ^ (value & 0xFF)));
    QCOMPARE(quint8(after[142]), quint8(0x3C ^ ((value >> 8) & 0xFF)));
    QCOMPARE(after.mid(161, 2), original.mid(161, 2));
    QCOMPARE(after.size(), original.size());
    QCOMPARE(ReadOffsetOidUnb(path), value);
}

void PackageTest::startStickerReadersOnShortFiles()
{
    // Too short for the field: 0, never bytes from past the end.
    const QString shortPlain = m_dir.filePath("shortread/p.dar");
    writeFile(shortPlain, PackageBuilder(381).bytes());
    QCOMPARE(ReadOffsetOid(shortPlain), 0);
    QCOMPARE(ReadOffsetOid(m_dir.filePath("shortread/missing.dar")), 0);

    const QString shortMasked = m_dir.filePath("shortread/m.dar");
    writeFile(shortMasked, PackageBuilder(162).bytes());
    QCOMPARE(ReadOffsetOidUnb(shortMasked), 0);
    QVERIFY(!WriteOffsetOidUnb(shortMasked, 7));
    QCOMPARE(readFile(shortMasked), PackageBuilder(162).bytes());
}

void PackageTest::digitRule_data()
{
    QTest::addColumn<QString>("book");
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("message");

    QTest::addRow("valid") << "123"
                           << "0456"
                           << "";
    QTest::addRow("000 and 0000") << "000"
                                  << "0000"
                                  << "";
    QTest::addRow("empty book") << ""
                                << "0000"
                                << "书名贴号必须为3位数字！";
    QTest::addRow("empty start") << "123"
                                 << ""
                                 << "起始贴号必须为4位数字！";
    QTest::addRow("letter") << "12a"
                            << "0000"
                            << "书名贴号必须为数字！";
    QTest::addRow("letter in both: book first") << "12a"
                                                << "x"
                                                << "书名贴号必须为数字！";
    QTest::addRow("full-width digits") << "１２３"
                                       << "0000"
                                       << "书名贴号必须为数字！";
    QTest::addRow("arabic-indic digits") << "٠١٢"
                                         << "0000"
                                         << "书名贴号必须为数字！";
    QTest::addRow("start sign") << "123"
                                << "-100"
                                << "起始贴号必须为数字！";
    QTest::addRow("start blank") << "123"
                                 << "01 2"
                                 << "起始贴号必须为数字！";
    QTest::addRow("digits before lengths") << "0123"
                                           << "1a"
                                           << "起始贴号必须为数字！";
    QTest::addRow("book too long") << "0123"
                                   << "0000"
                                   << "书名贴号必须为3位数字！";
    QTest::addRow("start too short") << "123"
                                     << "100"
                                     << "起始贴号必须为4位数字！";
}

void PackageTest::digitRule()
{
    QFETCH(QString, book);
    QFETCH(QString, start);
    QTEST(checkStickerTexts(book, start), "message");
}

void PackageTest::stickerChange_data()
{
    // Start-sticker-only changes: the number is unchanged, so only the header may change.
    QTest::addColumn<QString>("flag");
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("book");
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("plain"); // expected ReadOffsetOid afterwards
    QTest::addColumn<int>("masked"); // expected ReadOffsetOidUnb afterwards

    // The fixture file holds plain 77 and masked 88.
    QTest::addRow("D dab writes the plain field") << "D"
                                                  << "dab"
                                                  << "123"
                                                  << "0100"
                                                  << "" << 100 << 88;
    QTest::addRow("D unb writes the masked field") << "D"
                                                   << "unb"
                                                   << "123"
                                                   << "0100"
                                                   << "" << 77 << 100;
    QTest::addRow("S writes nothing") << "S"
                                      << "dab"
                                      << "123"
                                      << "0100"
                                      << "" << 77 << 88;
    QTest::addRow("O writes nothing") << "O"
                                      << "dsb"
                                      << "123"
                                      << "0100"
                                      << "" << 77 << 88;
    QTest::addRow("C writes nothing") << "C"
                                      << "dcb"
                                      << "123"
                                      << "0100"
                                      << "" << 77 << 88;
    QTest::addRow("E unchanged writes nothing") << "E"
                                                << "dab"
                                                << "123"
                                                << "0100"
                                                << "" << 77 << 88;
    QTest::addRow("E renumbered is refused") << "E"
                                             << "dab"
                                             << "124"
                                             << "0100"
                                             << "共享教材无法更改贴号！" << 77 << 88;
    QTest::addRow("invalid book") << "D"
                                  << "dab"
                                  << "12a"
                                  << "0100"
                                  << "书名贴号必须为数字！" << 77 << 88;
    QTest::addRow("full-width book") << "D"
                                     << "dab"
                                     << "１２３"
                                     << "0100"
                                     << "书名贴号必须为数字！" << 77 << 88;
    QTest::addRow("empty book") << "D"
                                << "dab"
                                << ""
                                << "0100"
                                << "书名贴号必须为3位数字！" << 77 << 88;
    QTest::addRow("short start") << "D"
                                 << "dab"
                                 << "123"
                                 << "100"
                                 << "起始贴号必须为4位数字！" << 77 << 88;
    QTest::addRow("bad start") << "D"
                               << "dab"
                               << "123"
                               << "01x0"
                               << "起始贴号必须为数字！" << 77 << 88;
    QTest::addRow("textual comparison: 0123 is a change, refused by length")
        << "D"
        << "dab"
        << "0123"
        << "0100"
        << "书名贴号必须为3位数字！" << 77 << 88;
}

void PackageTest::stickerChange()
{
    QFETCH(QString, flag);
    QFETCH(QString, type);
    QFETCH(QString, book);
    QFETCH(QString, start);

    QTemporaryDir pen;
    const QString file = pen.filePath("123.dar");
    PackageBuilder(400)
        .bytesAt(379, le32(77))
        .byteAt(161, 0x11)
        .byteAt(162, 0x22)
        .byteAt(141, 0x11 ^ 88)
        .byteAt(142, 0x22)
        .writeTo(file);

    const StickerChangeResult result
        = applyStickerChange({ file, flag, type, "123", book, start, pen.path() + "/" });
    QTEST(result.message, "message");
    QVERIFY(!result.rescan);
    QVERIFY(QFileInfo::exists(file));
    QCOMPARE(QDir(pen.path()).entryList(QDir::Files).size(), 1);
    QTEST(ReadOffsetOid(file), "plain");
    QTEST(ReadOffsetOidUnb(file), "masked");
}

void PackageTest::renameToNewNumber()
{
    QTemporaryDir pen;
    const QString dir = pen.path() + "/";
    const QString file = dir + "123.dar";
    PackageBuilder(400).writeTo(file);
    QVERIFY(setSmartBookInfo(file, 123, 0, fixedRandom(5)));
    const QByteArray code = readFile(file).mid(336, 4);

    // A file of the same number with another extension does not block the change.
    PackageBuilder(10).writeTo(dir + "045.das");
    StickerChangeResult result = applyStickerChange({ file, "D", "dab", "123", "045", "0100", dir });
    QCOMPARE(result.message, QString());
    QVERIFY(result.rescan);
    QVERIFY(!QFileInfo::exists(file));
    QCOMPARE(ReadOffsetOid(dir + "045.dar"), 100);
    QCOMPARE(readFile(dir + "045.dar").mid(336, 4), code); // still the code of 123
    QCOMPARE(code, le32(56123));

    // A story package moves with its own extension and gets no header write.
    const QByteArray story = PackageBuilder(400).bytes();
    writeFile(dir + "007.dsr", story);
    result = applyStickerChange({ dir + "007.dsr", "O", "dsb", "007", "008", "0100", dir });
    QVERIFY(result.rescan);
    QCOMPARE(readFile(dir + "008.dsr"), story);
}

void PackageTest::renameNeverReplaces()
{
    QTemporaryDir pen;
    const QString dir = pen.path() + "/";
    const QByteArray mine = PackageBuilder(400).byteAt(0, 'A').bytes();
    const QByteArray theirs = PackageBuilder(400).byteAt(0, 'B').bytes();
    writeFile(dir + "123.dar", mine);
    writeFile(dir + "045.dar", theirs);
    QDir().mkpath(dir + "046.dar");

    for (const QString& number : { QStringLiteral("045"), QStringLiteral("046") }) {
        const StickerChangeResult result
            = applyStickerChange({ dir + "123.dar", "D", "dab", "123", number, "0100", dir });
        QCOMPARE(result.message, QStringLiteral("教材已存在无法更改贴号！"));
    }
    QCOMPARE(readFile(dir + "123.dar"), mine);
    QCOMPARE(readFile(dir + "045.dar"), theirs);

    // The file system's own refusal, for a name taken after the check (or taken in another
    // letter case on FAT), is reported the same way and replaces nothing.
    QCOMPARE(renameNoReplace(dir + "123.dar", dir + "045.dar"), RenameResult::TargetExists);
    QCOMPARE(readFile(dir + "045.dar"), theirs);
    QCOMPARE(readFile(dir + "123.dar"), mine);
}

void PackageTest::renameFailureWritesNothing()
{
    // The package vanished (pen pulled, or another program moved it): the rename fails, no
    // file is created at the new name, and the window is told to rescan and say so.
    QTemporaryDir pen;
    const QString dir = pen.path() + "/";
    const StickerChangeResult result
        = applyStickerChange({ dir + "123.dar", "D", "dab", "123", "045", "0100", dir });
    QCOMPARE(result.message, QStringLiteral("更改贴号失败，请检查点读笔后重试！"));
    QVERIFY(result.rescan);
    QVERIFY(!QFileInfo::exists(dir + "045.dar"));

    // A read-only pen: nothing moves, and the start sticker edit is refused with a message
    // rather than reported as done.
    ScratchMount readOnlyPen;
    if (!readOnlyPen.isMounted())
        QSKIP(qPrintable(readOnlyPen.reason()));
    const QString roDir = readOnlyPen.path();
    const QByteArray original = PackageBuilder(400).bytesAt(379, le32(5)).bytes();
    writeFile(roDir + "123.dar", original);
    QVERIFY(readOnlyPen.remountReadOnly());
    const StickerChangeResult moved
        = applyStickerChange({ roDir + "123.dar", "D", "dab", "123", "045", "0100", roDir });
    QCOMPARE(moved.message, QStringLiteral("更改贴号失败，请检查点读笔后重试！"));
    const StickerChangeResult edited
        = applyStickerChange({ roDir + "123.dar", "D", "dab", "123", "123", "0100", roDir });
    QCOMPARE(edited.message, QStringLiteral("更改贴号失败，请检查点读笔后重试！"));
    QCOMPARE(readFile(roDir + "123.dar"), original);
    QVERIFY(!QFileInfo::exists(roDir + "045.dar"));
}

QTEST_GUILESS_MAIN(PackageTest)
#include "package_test.moc"
