// The title decoding: any bytes in a package's title field give a title without a crash; a
// field that is valid GB 18030 decodes to a title that encodes back to the same bytes.
#include "Catalogue.h"
#include "FuzzSupport.h"

#include <QFile>
#include <QStringDecoder>
#include <QStringEncoder>

#include <fcntl.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static fuzz::Scratch scratch("title");
    scratch.reset();
    const QByteArray content(reinterpret_cast<const char*>(data), qsizetype(qMin<size_t>(size, 4096)));
    const QString file = scratch.work() + QStringLiteral("/001.dar");
    const int fd
        = ::open(QFile::encodeName(file).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ::write(fd, content.constData(), size_t(content.size())) != content.size())
        fuzz::fail("cannot write the package");
    ::close(fd);

    const QString title = ReadBookName(file);

    // The field is the first 100 bytes up to the first 0x00 or 0xFF.
    QByteArray field = content.left(100);
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field[i] == '\0' || field[i] == '\xFF') {
            field.truncate(i);
            break;
        }
    }
    if (title.size() > field.size())
        fuzz::fail("title of %lld characters from a field of %lld bytes", qlonglong(title.size()),
            qlonglong(field.size()));
    if (title.contains(QChar(0)))
        fuzz::fail("title holds a 0x0000 character");

    // Where the field is valid GB 18030 the title is exactly its decoding and encodes back.
    QStringDecoder strict("GB18030", QStringConverter::Flag::Stateless);
    if (strict.isValid()) {
        const QString decoded = strict.decode(field);
        if (!strict.hasError()) {
            if (decoded != title)
                fuzz::fail(
                    "title of a valid field differs from its decoding (%s)", field.toHex().constData());
            QStringEncoder encoder("GB18030");
            const QByteArray back = encoder.encode(title);
            if (back != field)
                fuzz::fail("title does not encode back to its field (%s -> %s)", field.toHex().constData(),
                    back.toHex().constData());
        }
    }
    return 0;
}
