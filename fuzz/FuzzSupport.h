#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QList>
#include <QMap>
#include <QString>

#include <sys/types.h>

// Shared by the fuzz targets: a scratch directory rebuilt for every input, files outside it
// that nothing may touch, and a small line language that describes a directory tree.
namespace fuzz {

// Prints the reason and aborts, so that libFuzzer keeps the input as a crash.
[[noreturn]] void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A scratch directory for one process, on a RAM file system where there is one
// ($PENSHELF_FUZZ_SCRATCH, else /dev/shm, else the temporary directory). It holds `work/`,
// emptied for every input, and `outside/`, the sentinel.
class Scratch {
public:
    explicit Scratch(const char* target);
    ~Scratch();
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    QString work() const { return m_work; }
    QString outside() const { return m_outside; }
    // Empties work/ without following any link in it.
    void reset();

private:
    QString m_base;
    QString m_work;
    QString m_outside;
};

// Files outside the directory under test: a package, a FIFO and a folder with a package.
// inotify reports every open, read, write or change of them, and their metadata is compared,
// so any access through a link or a path that escapes the directory is caught.
class Sentinel {
public:
    explicit Sentinel(const QString& directory);
    ~Sentinel();

    QString file() const;
    QString fifo() const;
    QString folder() const;
    QString folderFile() const;
    // Where a link target written as "@file", "@fifo", "@dir", "@dirfile" or "@missing"
    // points; any other target is returned unchanged.
    QString resolve(const QByteArray& target) const;

    // Forgets what happened so far (the harness's own set-up).
    void arm();
    // Aborts when anything touched the sentinel since arm().
    void check(const char* during);

private:
    QList<QByteArray> snapshot() const;

    QString m_directory;
    int m_inotify = -1;
    QList<QByteArray> m_before;
};

// Runs the code under test with the file-system identity of an unprivileged user when the
// process is root, so that entries made unreadable stay unreadable. Files the harness creates
// while it is active belong to that user.
class Unprivileged {
public:
    Unprivileged();
    ~Unprivileged();
    static uid_t user();

private:
    bool m_active = false;
};

// One input line split at blanks; a field may carry escapes: \xNN, \s (blank), \n, \\.
QList<QByteArrayList> parseLines(const uint8_t* data, size_t size);
QByteArray unescape(const QByteArray& field);
qint64 number(const QByteArrayList& fields, int index, qint64 fallback = 0);

// Builds entries below a root from relative names; a name that would leave the root (absolute,
// "..", or with a 0x00 byte) is refused, so the harness itself never writes outside.
class TreeBuilder {
public:
    TreeBuilder(const QString& root, const Sentinel& sentinel);

    // A relative name (raw bytes, as a pen may carry) checked and made absolute; empty when
    // refused.
    QByteArray place(const QByteArray& name) const;
    bool directory(const QByteArray& name);
    // A regular file of `size` bytes that starts with `head`; the rest is a byte pattern.
    bool file(const QByteArray& name, qint64 size, const QByteArray& head);
    // A file extended to `size` without writing it (sparse), starting with `head`.
    bool sparse(const QByteArray& name, qint64 size, const QByteArray& head);
    bool link(const QByteArray& name, const QByteArray& target);
    bool fifo(const QByteArray& name);
    bool mode(const QByteArray& name, int mode);

private:
    bool parents(const QByteArray& path);

    QByteArray m_root;
    const Sentinel& m_sentinel;
};

// Everything below a directory, without following links: relative name -> kind, size and a
// digest of the content (the first and last 64 KiB of big files).
struct TreeEntry {
    char kind = '?'; // f file, d directory, l link (with its target), p FIFO, o other
    qint64 size = 0;
    QByteArray digest;
    bool operator==(const TreeEntry&) const = default;
};
using Tree = QMap<QByteArray, TreeEntry>;
Tree snapshotTree(const QString& root);
QString describe(const Tree& before, const Tree& after);

// Reads a whole regular file without following links; empty when it is not one.
QByteArray readRegular(const QString& path, qint64 limit = 1 << 20);

}
