// The header readers and writers over any package bytes. Input: the first line lists the
// operations, the rest is the package (at most 1 KiB):
//   type  read  start:VALUE  unb:VALUE  code:BOOK:TYPE:RANDOM  as:link|fifo|dir|dangling
// A write never changes the file's length or a byte outside its field; a failed write changes
// nothing; a successful one reads back. With "as:" the package name is a link to a file outside,
// a FIFO, a folder or a dangling link: nothing is read or written through it, nothing blocks.
#include "BookHeader.h"
#include "Catalogue.h"
#include "FuzzSupport.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Range {
    qint64 offset;
    qint64 length;
};

void expectOnlyFields(const QByteArray& before, const QByteArray& after, std::initializer_list<Range> fields,
    const char* operation)
{
    if (after.size() != before.size())
        fuzz::fail("%s changed the length from %lld to %lld", operation, qlonglong(before.size()),
            qlonglong(after.size()));
    for (qsizetype i = 0; i < before.size(); ++i) {
        const bool inField = std::any_of(fields.begin(), fields.end(),
            [i](const Range& r) { return i >= r.offset && i < r.offset + r.length; });
        if (!inField && before[i] != after[i])
            fuzz::fail("%s changed byte %lld outside its field", operation, qlonglong(i));
    }
}

quint32 le32(const QByteArray& bytes, qint64 offset)
{
    quint32 value = 0;
    for (int i = 0; i < 4; ++i)
        value |= quint32(quint8(bytes[offset + i])) << (8 * i);
    return value;
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static fuzz::Scratch scratch("header");
    static fuzz::Sentinel sentinel(scratch.outside());
    scratch.reset();

    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    const qsizetype split = input.indexOf('\n');
    const QByteArrayList operations = (split < 0 ? input : input.left(split)).split(' ');
    const QByteArray content = split < 0 ? QByteArray() : input.mid(split + 1, 1024);

    fuzz::Unprivileged unprivileged;
    fuzz::TreeBuilder tree(scratch.work(), sentinel);
    QByteArray special;
    for (const QByteArray& operation : operations) {
        if (operation == "as:link" || operation == "as:dangling" || operation == "as:fifo"
            || operation == "as:dir")
            special = operation.mid(3);
    }
    if (special == "link")
        tree.link("001.dar", "@file");
    else if (special == "dangling")
        tree.link("001.dar", "@missing");
    else if (special == "fifo")
        tree.fifo("001.dar");
    else if (special == "dir")
        tree.link("001.dar", "@dir");
    else if (!tree.file("001.dar", content.size(), content))
        fuzz::fail("cannot write the package");
    const bool regular = special.isEmpty();
    const QString file = scratch.work() + QStringLiteral("/001.dar");
    sentinel.arm();

    for (const QByteArray& operation : operations) {
        const QByteArray before = fuzz::readRegular(file);
        const QByteArrayList parts = operation.split(':');
        bool wrote = false;
        if (operation == "type") {
            for (const QString& name : { QStringLiteral("/001.dab"), QStringLiteral("/001.dsb") }) {
                QFile::rename(file, scratch.work() + name);
                const BookType type = GetBookType(scratch.work() + name);
                QFile::rename(scratch.work() + name, file);
                if (type.nTypeBook < 0 || type.nTypeBook > 2
                    || (type.extension != ExtSelfMade && type.extension != ExtSmart
                        && type.extension != ExtStory))
                    fuzz::fail(
                        "book type %d with extension \"%s\"", type.nTypeBook, qUtf8Printable(type.extension));
            }
            // The source lives on the computer, where following a link is the user's choice; it
            // must still never block.
            sentinel.arm();
            continue;
        } else if (operation == "read") {
            const qint32 start = ReadOffsetOid(file);
            const qint32 expected = before.size() >= 383 ? qint32(le32(before, 379)) : 0;
            if (start != expected)
                fuzz::fail("start sticker read as %d, the bytes say %d", start, expected);
            const int unb = ReadOffsetOidUnb(file);
            const int expectedUnb = before.size() >= 163
                ? (quint8(before[141] ^ before[161]) | (quint8(before[142] ^ before[162]) << 8))
                : 0;
            if (unb != expectedUnb)
                fuzz::fail("masked start sticker read as %d, the bytes say %d", unb, expectedUnb);
            if (!regular && !ReadBookName(file).isEmpty())
                fuzz::fail("a title was read through %s", special.constData());
        } else if (parts.size() == 2 && parts[0] == "start") {
            const qint32 value = qint32(parts[1].toLongLong());
            wrote = WriteOffsetOid(file, value);
            const QByteArray after = fuzz::readRegular(file);
            expectOnlyFields(before, after, { { 379, wrote ? 4 : 0 } }, "start sticker write");
            if (wrote && le32(after, 379) != quint32(value))
                fuzz::fail("start sticker %d does not read back", value);
        } else if (parts.size() == 2 && parts[0] == "unb") {
            const qint32 value = qint32(parts[1].toLongLong());
            wrote = WriteOffsetOidUnb(file, value);
            const QByteArray after = fuzz::readRegular(file);
            expectOnlyFields(before, after, { { 141, wrote ? 2 : 0 } }, "masked start sticker write");
            if (wrote && ReadOffsetOidUnb(file) != (value & 0xFFFF))
                fuzz::fail("masked start sticker %d does not read back", value);
        } else if (parts.size() == 4 && parts[0] == "code") {
            const int book = int(qAbs(parts[1].toLongLong()) % 1000);
            const int type = int(qAbs(parts[2].toLongLong()) % 3);
            const quint32 random = quint32(parts[3].toULongLong());
            wrote = setSmartBookInfo(
                file, book, type, [random](quint32 bound) { return bound ? random % bound : 0; });
            const QByteArray after = fuzz::readRegular(file);
            const bool changes = wrote && type != 2;
            expectOnlyFields(before, after,
                { { 336, changes ? 4 : 0 }, { 343, changes ? 1 : 0 }, { 373, changes ? 4 : 0 } },
                "book code write");
            if (changes) {
                const quint32 code = le32(after, 336);
                const quint8 key = quint8(after[343]);
                if (code != bookCodeFor(book, type) || key == 0 || key == 0xFF)
                    fuzz::fail("book code %u with key %u for book %d type %d", code, key, book, type);
                for (int i = 0; i < 4; ++i) {
                    if (quint8(after[373 + i] ^ key ^ BookHeader::CodeMask) != quint8(after[336 + i]))
                        fuzz::fail("masked book code byte %d does not match", i);
                }
            }
        } else {
            continue;
        }
        if (!regular && wrote)
            fuzz::fail("%s reported a write through %s", operation.constData(), special.constData());
        sentinel.check(operation.constData());
    }
    return 0;
}
