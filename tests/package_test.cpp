#include "BookHeader.h"
#include "Deadline.h"
#include "FailingSync.h"
#include "FileSync.h"
#include "InstallTexts.h"
#include "NoFileEntry.h"
#include "PackageBuilder.h"
#include "PenFile.h"
#include "ScratchMount.h"
#include "StickerChange.h"
#include "StickerNumber.h"
#include "Texts.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

using namespace std::chrono_literals;

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
    void headerWritesKeepTheLength_data();
    void headerWritesKeepTheLength();
    void headerOpsOnEntriesThatAreNoFile_data();
    void headerOpsOnEntriesThatAreNoFile();

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
    void stickerChangeNotFlushed_data();
    void stickerChangeNotFlushed();
    void movedPackageFlushedUnderItsNewName_data();
    void movedPackageFlushedUnderItsNewName();
    void tooShortForTheStartSticker_data();
    void tooShortForTheStartSticker();
    void renameWithoutNoReplace_data();
    void renameWithoutNoReplace();

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

void PackageTest::headerWritesKeepTheLength_data()
{
    QTest::addColumn<QString>("write");
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("written");

    // Each field at its boundary: one byte short is refused, and the file stays as it was.
    QTest::addRow("start sticker, 382 bytes") << "plain" << 382 << false;
    QTest::addRow("start sticker, 200 bytes") << "plain" << 200 << false;
    QTest::addRow("start sticker, 383 bytes") << "plain" << 383 << true;
    QTest::addRow("masked start sticker, 162 bytes (key cut)") << "masked" << 162 << false;
    QTest::addRow("masked start sticker, 163 bytes") << "masked" << 163 << true;
    QTest::addRow("book code, 376 bytes") << "code" << 376 << false;
    QTest::addRow("book code, 0 bytes") << "code" << 0 << false;
    QTest::addRow("book code, 377 bytes") << "code" << 377 << true;
}

void PackageTest::headerWritesKeepTheLength()
{
    QFETCH(QString, write);
    QFETCH(int, size);
    QFETCH(bool, written);
    const QString path = m_dir.filePath(QStringLiteral("length/%1.dar").arg(QTest::currentDataTag()));
    const QByteArray original = PackageBuilder(size).bytes();
    QVERIFY(writeFile(path, original));

    bool ok = false;
    if (write == "plain")
        ok = WriteOffsetOid(path, 1234);
    else if (write == "masked")
        ok = WriteOffsetOidUnb(path, 1234);
    else
        ok = setSmartBookInfo(path, 5, 0, fixedRandom(0));
    QCOMPARE(ok, written);
    const QByteArray after = readFile(path);
    QCOMPARE(after.size(), original.size());
    if (!written)
        QCOMPARE(after, original);
}

void PackageTest::headerOpsOnEntriesThatAreNoFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addRow("link to a package outside") << "link";
    QTest::addRow("link to a FIFO") << "link to fifo";
    QTest::addRow("FIFO") << "fifo";
    QTest::addRow("directory") << "directory";
}

void PackageTest::headerOpsOnEntriesThatAreNoFile()
{
    // Nothing is read or written through a link, and nothing waits on a FIFO: every header
    // operation and the sticker change refuse such an entry.
    QFETCH(QString, kind);
    QTemporaryDir pen;
    const QString dir = pen.path() + "/CUSTOM/";
    QVERIFY(QDir().mkpath(dir));
    const QString outside = linkedOutsideFile(pen.path());
    const QByteArray original = PackageBuilder(400).bytesAt(379, le32(77)).byteAt(161, 9).bytes();
    QVERIFY(writeFile(outside, original));
    const QString entry = dir + "001.dar";
    QVERIFY(makeNoFileEntry(kind, entry, pen.path()));

    struct Seen {
        qint32 plain = -1;
        int masked = -1;
        bool written[3] = { true, true, true };
        StickerChangeResult edited, renumbered;
    };
    auto seen = std::make_shared<Seen>();
    QVERIFY2(finishesWithin(10s,
                 [seen, entry, dir] {
                     seen->plain = ReadOffsetOid(entry);
                     seen->masked = ReadOffsetOidUnb(entry);
                     seen->written[0] = WriteOffsetOid(entry, 1234);
                     seen->written[1] = WriteOffsetOidUnb(entry, 1234);
                     seen->written[2] = setSmartBookInfo(entry, 1, 0, fixedRandom(0));
                     seen->edited = applyStickerChange({ entry, "D", "dab", "001", "001", "0100", dir });
                     seen->renumbered = applyStickerChange({ entry, "D", "dab", "001", "002", "0100", dir });
                 }),
        "a header operation hangs");
    QCOMPARE(seen->plain, 0);
    QCOMPARE(seen->masked, 0);
    for (bool written : seen->written)
        QVERIFY(!written);
    QCOMPARE(textOf(seen->edited), AppText::StickerFailed);
    QCOMPARE(textOf(seen->renumbered), AppText::StickerFailed);
    QCOMPARE(readFile(outside), original);
    QVERIFY(QFileInfo::exists(entry) || QFileInfo(entry).isSymLink());
    QVERIFY(!QFileInfo::exists(dir + "002.dar") && !QFileInfo(dir + "002.dar").isSymLink());
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
    QTEST(textOf(checkStickerTexts(book, start)), "message");
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
    QTEST(textOf(result), "message");
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
    QCOMPARE(textOf(result), QString());
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
    // Taken as FAT sees it, on a file system that minds the case too.
    writeFile(dir + "047.DAR", theirs);

    for (const QString& number : { QStringLiteral("045"), QStringLiteral("046"), QStringLiteral("047") }) {
        const StickerChangeResult result
            = applyStickerChange({ dir + "123.dar", "D", "dab", "123", number, "0100", dir });
        QCOMPARE(textOf(result), QStringLiteral("教材已存在无法更改贴号！"));
    }
    QCOMPARE(readFile(dir + "123.dar"), mine);
    QCOMPARE(readFile(dir + "045.dar"), theirs);

    // The file system's own refusal, for a name taken after the check (or taken in another
    // letter case on FAT), is reported the same way and replaces nothing.
    QCOMPARE(renameNoReplace(dir + "123.dar", dir + "045.dar"), RenameResult::TargetExists);
    QCOMPARE(readFile(dir + "045.dar"), theirs);
    QCOMPARE(readFile(dir + "123.dar"), mine);
}

void PackageTest::movedPackageFlushedUnderItsNewName_data()
{
    QTest::addColumn<QString>("flag");
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");

    QTest::addRow("with a start sticker") << "D"
                                          << "dab"
                                          << "123.dar"
                                          << "045.dar";
    QTest::addRow("without one") << "O"
                                 << "dsb"
                                 << "005.dsr"
                                 << "006.dsr";
    QTest::addRow("from a subfolder") << "D"
                                      << "dab"
                                      << "old/123.dar"
                                      << "045.dar";
}

void PackageTest::movedPackageFlushedUnderItsNewName()
{
    // FAT writes a renamed file's size and first cluster only with the file's own metadata: a
    // renamed package not flushed after the rename is an empty file under its new name once
    // the pen is pulled. So the last flush of the file comes after the rename, then the folder.
    QFETCH(QString, flag);
    QFETCH(QString, type);
    QFETCH(QString, from);
    QFETCH(QString, to);

    QTemporaryDir pen;
    const QString dir = QFileInfo(pen.path()).canonicalFilePath() + "/";
    QVERIFY(writeFile(dir + from, PackageBuilder(400).bytes()));
    StickerChangeResult result;
    QStringList flushed;
    {
        const FlushLog log;
        result = applyStickerChange(
            { dir + from, flag, type, from.section('/', -1).left(3), to.left(3), "0100", dir });
        flushed = log.flushed();
    }
    QCOMPARE(textOf(result), QString());
    QVERIFY(QFileInfo::exists(dir + to));
    const QStringList files = flushed.filter(QRegularExpression("[^/]$"));
    QVERIFY2(!files.isEmpty(), qPrintable(flushed.join(", ")));
    QCOMPARE(files.last(), dir + to);
    const qsizetype lastFile = flushed.lastIndexOf(dir + to);
    QVERIFY2(flushed.indexOf(dir, lastFile) > lastFile, qPrintable(flushed.join(", ")));
}

void PackageTest::stickerChangeNotFlushed_data()
{
    QTest::addColumn<QString>("number");
    QTest::addColumn<int>("fileFlush");
    QTest::addColumn<int>("folderFlush");
    QTest::addColumn<bool>("rescan");

    QTest::addRow("start sticker not flushed") << "123" << 1 << 0 << false;
    QTest::addRow("renamed package not flushed") << "045" << 1 << 0 << true;
    QTest::addRow("folder not flushed after the rename") << "045" << 0 << 1 << true;
}

void PackageTest::stickerChangeNotFlushed()
{
    // Written but not known to be on the device: a failure, never "done". After a rename the
    // window lists the folder again and shows the package under the name it now has.
    QFETCH(QString, number);
    QFETCH(int, fileFlush);
    QFETCH(int, folderFlush);
    QFETCH(bool, rescan);

    QTemporaryDir pen;
    const QString dir = pen.path() + "/";
    const QByteArray original = PackageBuilder(400).bytesAt(379, le32(5)).bytes();
    writeFile(dir + "123.dar", original);
    StickerChangeResult result;
    {
        const FailingSync failing({ fileFlush, folderFlush, 0 });
        result = applyStickerChange({ dir + "123.dar", "D", "dab", "123", number, "0100", dir });
    }
    QCOMPARE(textOf(result), QStringLiteral("更改贴号失败，请检查点读笔后重试！"));
    QCOMPARE(result.rescan, rescan);
    QCOMPARE(QDir(dir).entryList(QDir::Files | QDir::Hidden), QStringList { number + ".dar" });
    QCOMPARE(readFile(dir + number + ".dar").size(), original.size());
}

void PackageTest::renameFailureWritesNothing()
{
    // The package vanished (pen pulled, or another program moved it): the rename fails, no
    // file is created at the new name, and the window is told to rescan and say so.
    QTemporaryDir pen;
    const QString dir = pen.path() + "/";
    const StickerChangeResult result
        = applyStickerChange({ dir + "123.dar", "D", "dab", "123", "045", "0100", dir });
    QCOMPARE(textOf(result), QStringLiteral("更改贴号失败，请检查点读笔后重试！"));
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
    QCOMPARE(textOf(moved), QStringLiteral("更改贴号失败，请检查点读笔后重试！"));
    const StickerChangeResult edited
        = applyStickerChange({ roDir + "123.dar", "D", "dab", "123", "123", "0100", roDir });
    QCOMPARE(textOf(edited), QStringLiteral("更改贴号失败，请检查点读笔后重试！"));
    QCOMPARE(readFile(roDir + "123.dar"), original);
    QVERIFY(!QFileInfo::exists(roDir + "045.dar"));
}

void PackageTest::tooShortForTheStartSticker_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("book");

    // Too short for the field that is to be written: refused before anything moves.
    QTest::addRow("unb renumbered, 150 bytes") << "unb" << 150 << "124";
    QTest::addRow("dab renumbered, 200 bytes") << "dab" << 200 << "124";
    QTest::addRow("dab renumbered, 382 bytes") << "dab" << 382 << "124";
    QTest::addRow("dab start sticker only, 200 bytes") << "dab" << 200 << "123";
    QTest::addRow("unb start sticker only, 162 bytes") << "unb" << 162 << "123";
}

void PackageTest::tooShortForTheStartSticker()
{
    QFETCH(QString, type);
    QFETCH(int, size);
    QFETCH(QString, book);
    QTemporaryDir pen;
    const QString dir = pen.path() + "/";
    const QByteArray original = PackageBuilder(size).bytes();
    QVERIFY(writeFile(dir + "123.dar", original));

    const StickerChangeResult result
        = applyStickerChange({ dir + "123.dar", "D", type, "123", book, "0100", dir });
    QCOMPARE(textOf(result), AppText::StickerFailed);
    QCOMPARE(QDir(dir).entryList(QDir::Files), QStringList { "123.dar" });
    QCOMPARE(readFile(dir + "123.dar"), original);
}

void PackageTest::renameWithoutNoReplace_data()
{
    // A file system without RENAME_NOREPLACE, acted out on the system calls. Another program
    // creates the new name right after the first attempt, as it could between a check and a
    // plain rename.
    QTest::addColumn<int>("linkError"); // 0: hard links work
    QTest::addColumn<int>("unlinkError");
    QTest::addColumn<int>("expected");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<bool>("raced");

    const auto r = [](RenameResult result) { return int(result); };
    QTest::addRow("hard link and unlink")
        << 0 << 0 << r(RenameResult::Done) << QStringList { "new.dar" } << false;
    QTest::addRow("hard link, unlink fails: under both names")
        << 0 << EIO << r(RenameResult::BothNames) << QStringList { "new.dar", "old.dar" } << false;
    QTest::addRow("hard link refused: the name appeared")
        << 0 << 0 << r(RenameResult::TargetExists) << QStringList { "new.dar", "old.dar" } << true;
    QTest::addRow("no hard links: never a plain rename")
        << EPERM << 0 << r(RenameResult::Unsupported) << QStringList { "new.dar", "old.dar" } << true;
    QTest::addRow("no hard links, nothing in the way")
        << EPERM << 0 << r(RenameResult::Unsupported) << QStringList { "old.dar" } << false;
    QTest::addRow("link fails otherwise")
        << EIO << 0 << r(RenameResult::Failed) << QStringList { "old.dar" } << false;
}

void PackageTest::renameWithoutNoReplace()
{
    QFETCH(int, linkError);
    QFETCH(int, unlinkError);
    QFETCH(int, expected);
    QFETCH(QStringList, names);
    QFETCH(bool, raced);
    QTemporaryDir pen;
    const QString dir = pen.path() + "/";
    QVERIFY(writeFile(dir + "old.dar", "mine"));

    RenameCalls calls = systemRenameCalls();
    calls.renameat2 = [&](int, const char*, int, const char*, unsigned) {
        if (raced)
            writeFile(dir + "new.dar", "theirs");
        errno = EINVAL;
        return -1;
    };
    const auto link = calls.linkat;
    calls.linkat = [&](int a, const char* b, int c, const char* d, int e) {
        if (linkError) {
            errno = linkError;
            return -1;
        }
        return link(a, b, c, d, e);
    };
    const auto unlink = calls.unlinkat;
    calls.unlinkat = [&](int a, const char* b, int c) {
        if (unlinkError) {
            errno = unlinkError;
            return -1;
        }
        return unlink(a, b, c);
    };
    const FileDescriptor folder(
        ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    QCOMPARE(int(renameNoReplaceAt(folder.get(), "old.dar", folder.get(), "new.dar", calls)), expected);
    QCOMPARE(QDir(dir).entryList(QDir::Files, QDir::Name), names);
    if (raced)
        QCOMPARE(readFile(dir + "new.dar"), QByteArray("theirs"));
    if (names.contains("old.dar"))
        QCOMPARE(readFile(dir + "old.dar"), QByteArray("mine"));
}

QTEST_GUILESS_MAIN(PackageTest)
#include "package_test.moc"
