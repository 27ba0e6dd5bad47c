#include "loader/manifest.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {

// The prefix (12 characters) and its separator.
constexpr int sectionPrefixLength = 13;

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
                          object.value(QLatin1String("hash")).toString() });
    }
    return sections;
}
