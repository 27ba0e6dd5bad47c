#include "loader/manifest.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace {

// The prefix (12 characters) and its separator.
constexpr int sectionPrefixLength = 13;
// Past 2^53 a JSON number may already be another number than was written.
constexpr double largestExactSize = 9007199254740992.0;

qint64 entrySize(const QJsonValue &value)
{
    const double size = value.toDouble(-1);
    if (!(size >= 0 && size <= largestExactSize) || size != std::floor(size))
        return -1;
    return qint64(size);
}

} // namespace

QJsonArray manifestArray(const QByteArray &body)
{
    return QJsonDocument::fromJson(body).array();
}

QString downloadUrl(const QString &url)
{
    if (url.startsWith(QLatin1String("https")))
        return QLatin1String("http") + url.mid(5);
    return url;
}

ManifestSections splitManifest(const QJsonArray &array)
{
    ManifestSections sections;
    for (const QJsonValue &element : array) {
        const QJsonObject object = element.toObject();
        const QString file = object.value(QLatin1String("file")).toString();
        QList<FileEntry> *section = nullptr;
        if (file.startsWith(QLatin1String("SERVER_FILES")))
            section = &sections.serverFiles;
        else if (file.startsWith(QLatin1String("RAGEMP_FILES")))
            section = &sections.ragempFiles;
        else
            continue;
        section->append({ file.mid(sectionPrefixLength),
                          downloadUrl(object.value(QLatin1String("url")).toString()),
                          object.value(QLatin1String("hash")).toString(),
                          entrySize(object.value(QLatin1String("size"))) });
    }
    return sections;
}

const FileEntry *firstUncheckedEntry(const QList<FileEntry> &files)
{
    for (const FileEntry &entry : files) {
        if (entry.hash.isEmpty() || entry.size < 0)
            return &entry;
    }
    return nullptr;
}
