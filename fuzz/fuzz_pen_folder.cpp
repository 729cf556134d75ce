// The catalogue scan, the sticker change and the removal over a generated package folder.
// Input lines (names relative to the package folder, with the escapes of FuzzSupport.h):
//   file NAME SIZE [HEAD]      a package of SIZE bytes (at most 64 KiB) starting with HEAD
//   sparse NAME SIZE [HEAD]    a file extended to SIZE (up to 1 TiB) without writing it
//   dir NAME | fifo NAME | link NAME TARGET (@file, @fifo, @dir, @dirfile, @missing point
//   outside) | mode NAME OCTAL
//   folder-link TARGET         the package folder itself is a link
//   scan | change ROW BOOK START | remove ROW    (ROW indexes the rows of the last scan)
// After every step nothing outside the folder was opened or changed, nothing blocked, and the
// folder changed only as the step may change it: a scan changes nothing; a sticker change moves
// the package and rewrites its start sticker field only, or changes nothing when it says it
// failed; a removal removes that entry only.
#include "BookRemoval.h"
#include "Catalogue.h"
#include "FuzzSupport.h"
#include "StickerChange.h"

#include <QDir>
#include <QFile>
#include <QHash>

#include <unistd.h>

namespace {

QByteArray relativeTo(const QString& root, const QString& file)
{
    const QByteArray base = QFile::encodeName(QDir::cleanPath(root)) + '/';
    const QByteArray full = QFile::encodeName(QDir::cleanPath(file));
    return full.startsWith(base) ? full.mid(base.size()) : QByteArray();
}

bool under(const QByteArray& key, const QByteArray& entry)
{
    return key == entry || key.startsWith(entry + '/');
}

QString extensionFor(const QString& flag)
{
    static const QHash<QString, QString> extensions { { QStringLiteral("D"), QStringLiteral(".dar") },
        { QStringLiteral("S"), QStringLiteral(".das") }, { QStringLiteral("O"), QStringLiteral(".dsr") },
        { QStringLiteral("C"), QStringLiteral(".dcs") } };
    return extensions.value(flag);
}

// The start sticker fields: the plain one and the masked one of "unb" packages.
bool inStartField(qsizetype i) { return (i >= 379 && i < 383) || (i >= 141 && i < 143); }

void expectSamePackage(const QByteArray& before, const QByteArray& after, const char* during)
{
    if (before.size() != after.size())
        fuzz::fail("%s changed the package's length from %lld to %lld", during, qlonglong(before.size()),
            qlonglong(after.size()));
    for (qsizetype i = 0; i < before.size(); ++i) {
        if (before[i] != after[i] && !inStartField(i))
            fuzz::fail(
                "%s changed byte %lld of the package, outside the start sticker field", during, qlonglong(i));
    }
}

class Run {
public:
    Run(fuzz::Scratch& scratch, fuzz::Sentinel& sentinel)
        : m_scratch(scratch)
        , m_sentinel(sentinel)
        , m_folder(scratch.work() + QStringLiteral("/pen/USER/CUSTOM"))
        , m_pathKavo(m_folder + QLatin1Char('/'))
    {
    }

    void build(const QList<QByteArrayList>& lines)
    {
        fuzz::Unprivileged unprivileged;
        QDir().mkpath(m_folder);
        fuzz::TreeBuilder tree(m_folder, m_sentinel);
        QByteArray folderLink;
        for (const QByteArrayList& fields : lines) {
            const QByteArray& command = fields[0];
            const QByteArray name = fuzz::unescape(fields.value(1));
            const QByteArray head = fuzz::unescape(fields.mid(3).join(' '));
            if (command == "file" && fields.size() >= 3)
                tree.file(name, fuzz::number(fields, 2), head);
            else if (command == "sparse" && fields.size() >= 3)
                tree.sparse(name, fuzz::number(fields, 2), head);
            else if (command == "dir" && fields.size() >= 2)
                tree.directory(name);
            else if (command == "fifo" && fields.size() >= 2)
                tree.fifo(name);
            else if (command == "link" && fields.size() >= 3)
                tree.link(name, fuzz::unescape(fields[2]));
            else if (command == "mode" && fields.size() >= 3)
                tree.mode(name, int(fields[2].toInt(nullptr, 8)));
            else if (command == "folder-link" && fields.size() >= 2)
                folderLink = fuzz::unescape(fields[1]);
        }
        if (!folderLink.isEmpty()) {
            // The folder's content stays beside it; the name now leads elsewhere.
            QFile::rename(m_folder, m_folder + QStringLiteral(".real"));
            fuzz::TreeBuilder(m_scratch.work() + QStringLiteral("/pen/USER"), m_sentinel)
                .link("CUSTOM", folderLink);
        }
    }

    void step(const QByteArrayList& fields)
    {
        const QByteArray& command = fields[0];
        if (command == "scan") {
            scan();
        } else if (command == "change" && fields.size() >= 4) {
            if (m_rows.isEmpty() && !scan())
                return;
            change(m_rows.at(qsizetype(quint64(fuzz::number(fields, 1)) % quint64(m_rows.size()))),
                QString::fromUtf8(fuzz::unescape(fields[2])), QString::fromUtf8(fuzz::unescape(fields[3])));
        } else if (command == "remove" && fields.size() >= 2) {
            if (m_rows.isEmpty() && !scan())
                return;
            const qsizetype index = qsizetype(quint64(fuzz::number(fields, 1)) % quint64(m_rows.size()));
            remove(m_rows.at(index));
            m_rows.removeAt(index);
        }
    }

private:
    bool scan()
    {
        const fuzz::Tree before = fuzz::snapshotTree(m_scratch.work());
        m_sentinel.arm();
        {
            fuzz::Unprivileged unprivileged;
            m_rows = ScanCatalogue(m_pathKavo);
        }
        m_sentinel.check("the scan");
        const fuzz::Tree after = fuzz::snapshotTree(m_scratch.work());
        if (after != before)
            fuzz::fail("the scan changed the folder:\n%s", qUtf8Printable(fuzz::describe(before, after)));
        return !m_rows.isEmpty();
    }

    void change(const ListData& row, const QString& bookOid, const QString& offsetOid)
    {
        const QByteArray entry = relativeTo(m_scratch.work(), row.file);
        const QByteArray packageBefore = fuzz::readRegular(row.file);
        const fuzz::Tree before = fuzz::snapshotTree(m_scratch.work());

        const StickerChangeRequest request { row.file, row.flag, row.type, row.bookOid(), bookOid, offsetOid,
            m_pathKavo };
        m_sentinel.arm();
        StickerChangeResult result;
        {
            fuzz::Unprivileged unprivileged;
            result = applyStickerChange(request);
        }
        m_sentinel.check("the sticker change");
        const fuzz::Tree after = fuzz::snapshotTree(m_scratch.work());

        if (result.outcome != StickerChangeOutcome::Done) {
            if (after != before)
                fuzz::fail("the sticker change refused or failed (outcome %d) but changed the folder:\n%s",
                    int(result.outcome), qUtf8Printable(fuzz::describe(before, after)));
            return;
        }
        // Where the package is now: moved to its new number, or left under its name.
        QByteArray moved = entry;
        QString movedFile = row.file;
        const QString extension = extensionFor(row.flag);
        if (bookOid != row.bookOid() && !entry.isEmpty() && !extension.isEmpty()) {
            moved = relativeTo(m_scratch.work(), m_folder) + '/' + QFile::encodeName(bookOid + extension);
            movedFile = m_pathKavo + bookOid + extension;
        }
        fuzz::Tree expected;
        for (auto it = before.cbegin(); it != before.cend(); ++it) {
            const QByteArray key
                = !entry.isEmpty() && under(it.key(), entry) ? moved + it.key().mid(entry.size()) : it.key();
            expected.insert(key, it.value());
        }
        // The package's own bytes are compared apart: only its start sticker field may differ.
        if (expected.value(moved).kind == 'f' && after.value(moved).kind == 'f') {
            expectSamePackage(packageBefore, fuzz::readRegular(movedFile), "the sticker change");
            expected[moved] = after.value(moved);
        }
        if (after != expected)
            fuzz::fail("the sticker change of %s to %s changed more than that package:\n%s",
                entry.constData(), moved.constData(), qUtf8Printable(fuzz::describe(expected, after)));
    }

    void remove(const ListData& row)
    {
        const QByteArray entry = relativeTo(m_scratch.work(), row.file);
        const fuzz::Tree before = fuzz::snapshotTree(m_scratch.work());
        m_sentinel.arm();
        bool removed = false;
        {
            fuzz::Unprivileged unprivileged;
            removed = removePackage(row.file, m_pathKavo) != RemovalResult::Failed;
        }
        m_sentinel.check("the removal");
        const fuzz::Tree after = fuzz::snapshotTree(m_scratch.work());
        for (auto it = before.cbegin(); it != before.cend(); ++it) {
            const bool inside = !entry.isEmpty() && under(it.key(), entry);
            if (!inside && after.value(it.key()) != it.value())
                fuzz::fail("the removal of %s changed %s", entry.constData(), it.key().constData());
            if (inside && removed && after.contains(it.key()))
                fuzz::fail("the removal of %s said it was gone but %s is left", entry.constData(),
                    it.key().constData());
        }
        for (auto it = after.cbegin(); it != after.cend(); ++it) {
            if (!before.contains(it.key()))
                fuzz::fail("the removal of %s made %s", entry.constData(), it.key().constData());
        }
    }

    fuzz::Scratch& m_scratch;
    fuzz::Sentinel& m_sentinel;
    QString m_folder;
    QString m_pathKavo;
    BookList m_rows;
};

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static fuzz::Scratch scratch("pen_folder");
    static fuzz::Sentinel sentinel(scratch.outside());
    scratch.reset();

    const QList<QByteArrayList> lines = fuzz::parseLines(data, size);
    Run run(scratch, sentinel);
    run.build(lines);
    for (const QByteArrayList& fields : lines)
        run.step(fields);
    return 0;
}
