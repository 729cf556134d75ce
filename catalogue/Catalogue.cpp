#include "Catalogue.h"

#include "BookHeader.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QStringDecoder>

namespace {

struct Kind {
    const char* extension;
    QString label;
    const char* flag;
    const char* type;
};

const Kind* kindFor(const QString& extension)
{
    static const Kind kinds[] = {
        { "dar", QStringLiteral("自制-"), "D", "dab" },
        { "das", QStringLiteral("智能-"), "S", "dab" },
        { "dsr", QStringLiteral("故事-"), "O", "dsb" },
        { "dcs", QStringLiteral("教辅-"), "C", "dcb" },
    };
    for (const Kind& kind : kinds) {
        if (extension == QLatin1String(kind.extension))
            return &kind;
    }
    return nullptr;
}

// A shared package names its target by book sticker number; anything that could leave the
// directory is treated as a missing target.
bool isPlainName(const QString& rest)
{
    return !rest.contains(QLatin1Char('/')) && !rest.contains(QLatin1String(".."))
        && !rest.contains(QChar(0));
}

} // namespace

QString ReadBookName(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QByteArray bytes = file.read(BookHeader::TitleLength);
    bytes.replace('\xFF', '\0');
    const qsizetype end = bytes.indexOf('\0');
    if (end >= 0)
        bytes.truncate(end);

    // Built with ICU, Qt's decoder knows GB 18030; invalid sequences decode to U+FFFD.
    QStringDecoder decoder("GB18030");
    if (!decoder.isValid())
        return QString::fromLatin1(bytes);
    // The decoder keeps a sequence cut off at the end for more input; the terminator we stopped
    // at makes it show that sequence as a replacement character instead of dropping it.
    QString title = decoder.decode(bytes + '\0');
    title.chop(1);
    return title;
}

QString packageDirectoryFor(const QString& volumePath)
{
    if (volumePath.isEmpty())
        return {};
    return volumePath + PackageDirectory;
}

BookList ScanCatalogue(const QString& pathKavo)
{
    BookList rows;
    if (pathKavo.isEmpty() || !QFileInfo(pathKavo).isAbsolute())
        return rows;

    const QDir root(pathKavo);
    QDirIterator it(pathKavo, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString full = it.next();
        const QString relative = root.relativeFilePath(full);
        if (relative.size() != 7)
            continue;
        const QString extension = relative.mid(4, 3).toLower();
        const Kind* kind = kindFor(extension);
        if (!kind)
            continue;

        ListData row;
        row.stat = kind->label + relative.left(3);
        row.flag = QLatin1String(kind->flag);
        row.type = QLatin1String(kind->type);
        row.file = root.filePath(relative);

        const QString title = ReadBookName(row.file);
        const QString tag = title.left(3);
        if (tag == QLatin1String("ATT")) {
            const QString rest = title.mid(3);
            QString target;
            if (isPlainName(rest))
                target = ReadBookName(root.filePath(rest + QLatin1Char('.') + extension));
            row.name = target + QLatin1Char('(') + rest + QLatin1Char(')');
            row.flag = QStringLiteral("E");
        } else if (tag == QLatin1String("UNB")) {
            row.type = QStringLiteral("unb");
            row.name = title.mid(3);
        } else if (tag == QLatin1String("deb")) {
            row.name = title.mid(4);
        } else {
            row.name = title;
        }
        rows.append(row);
    }
    return rows;
}
