#include "BackupManifest.h"

#include "FileSync.h"
#include "PenFile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <algorithm>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int Format = 1;

bool isPlainName(const QString& name)
{
    return !name.isEmpty() && !name.contains(QLatin1Char('/')) && name != QLatin1String(".")
        && name != QLatin1String("..") && !name.contains(QChar::Null);
}

}

const BackupEntry* BackupManifest::find(const QString& name) const
{
    for (const BackupEntry& entry : files)
        if (entry.name == name)
            return &entry;
    return nullptr;
}

std::optional<BackupManifest> BackupManifest::read(const QString& folder, QString* error)
{
    // An empty error would read as a missing manifest.
    const auto refuse = [error](const QString& why) -> std::optional<BackupManifest> {
        if (error)
            *error = why.isEmpty() ? QStringLiteral("cannot be read") : why;
        return std::nullopt;
    };
    if (error)
        error->clear();
    QFile file(QDir(folder).filePath(ManifestFileName));
    if (!file.exists())
        return std::nullopt;
    if (!file.open(QIODevice::ReadOnly))
        return refuse(file.errorString());
    QJsonParseError parse;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parse);
    if (parse.error != QJsonParseError::NoError || !document.isObject())
        return refuse(parse.errorString());
    const QJsonObject root = document.object();
    if (root.value(QLatin1String("format")).toInt() != Format)
        return refuse(QStringLiteral("unknown format"));
    BackupManifest manifest;
    manifest.serial = root.value(QLatin1String("serial")).toString();
    manifest.date = QDateTime::fromString(root.value(QLatin1String("date")).toString(), Qt::ISODate);
    for (const QJsonValue& value : root.value(QLatin1String("files")).toArray()) {
        const QJsonObject object = value.toObject();
        BackupEntry entry { object.value(QLatin1String("name")).toString(),
            object.value(QLatin1String("title")).toString(),
            qint64(object.value(QLatin1String("size")).toDouble(-1)),
            object.value(QLatin1String("sha256")).toString() };
        if (!isPlainName(entry.name) || entry.size < 0 || entry.sha256.size() != 64
            || manifest.find(entry.name))
            return refuse(QStringLiteral("bad entry %1").arg(entry.name));
        manifest.files.append(entry);
    }
    return manifest;
}

bool BackupManifest::write(const QString& folder) const
{
    // In name order, so that a restore proposes numbers in that order too.
    QList<BackupEntry> sorted = files;
    std::sort(sorted.begin(), sorted.end(),
        [](const BackupEntry& a, const BackupEntry& b) { return a.name < b.name; });
    QJsonArray list;
    for (const BackupEntry& entry : sorted)
        list.append(
            QJsonObject { { QStringLiteral("name"), entry.name }, { QStringLiteral("title"), entry.title },
                { QStringLiteral("size"), double(entry.size) }, { QStringLiteral("sha256"), entry.sha256 } });
    const QJsonObject root { { QStringLiteral("format"), Format }, { QStringLiteral("serial"), serial },
        { QStringLiteral("date"), date.toUTC().toString(Qt::ISODate) }, { QStringLiteral("files"), list } };
    const QString path = QDir(folder).filePath(ManifestFileName);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(QJsonDocument(root).toJson());
    if (!file.flush() || ::fsync(file.handle()) != 0 || !file.commit())
        return false;
    return syncDirectory(folder);
}

QString sha256OfFile(int fd)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    std::vector<char> buffer(1024 * 1024);
    for (qint64 offset = 0;;) {
        const qint64 got = readAt(fd, offset, buffer.data(), qint64(buffer.size()));
        if (got < 0)
            return {};
        if (got == 0)
            break;
        hash.addData(QByteArrayView(buffer.data(), got));
        offset += got;
    }
    return QString::fromLatin1(hash.result().toHex());
}
