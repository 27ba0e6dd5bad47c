#include "publish/manifestwriter.h"

#include "loader/pathrules.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace {

QByteArray jsonString(const QString &text)
{
    const QByteArray array = QJsonDocument(QJsonArray { text }).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

} // namespace

QByteArray manifestText(const QList<ManifestEntry> &entries)
{
    QByteArray text = "[\n";
    for (int i = 0; i < entries.size(); ++i) {
        const ManifestEntry &entry = entries.at(i);
        text += "    {\"file\": " + jsonString(entry.file) + ", \"url\": " + jsonString(entry.url)
                + ", \"hash\": " + jsonString(entry.hash) + ", \"size\": " + QByteArray::number(entry.size) + '}'
                + (i + 1 < entries.size() ? ",\n" : "\n");
    }
    return text + "]\n";
}

QString fileUrl(const QString &base, const QString &path)
{
    QStringList encoded;
    for (const QString &segment : path.split(QLatin1Char('/')))
        encoded.append(QString::fromLatin1(QUrl::toPercentEncoding(segment)));
    return base + encoded.join(QLatin1Char('/'));
}

WebAddressCheck checkWebAddress(const QString &text, bool folder)
{
    WebAddressCheck check;
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https"))
        || url.host().isEmpty()) {
        check.error = QStringLiteral("%1 is not an absolute http:// or https:// address").arg(text);
        return check;
    }
    if (url.hasQuery() || url.hasFragment() || !url.userInfo().isEmpty()) {
        check.error = QStringLiteral("%1 has a query, a fragment or a user: the web root has no place for them").arg(text);
        return check;
    }
    QString path = url.path(QUrl::FullyDecoded);
    if (folder && !path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    // What lies under the root must be a path the web root can hold.
    const QString inRoot = path.mid(1, folder ? path.size() - 2 : -1);
    if ((!folder || !inRoot.isEmpty()) && !isSafeRelativePath(inRoot, QStringLiteral("/base"))) {
        check.error = QStringLiteral("%1: its path is not a plain one under the web root").arg(text);
        return check;
    }
    WebAddress address;
    address.url = text;
    if (folder && !address.url.endsWith(QLatin1Char('/')))
        address.url += QLatin1Char('/');
    address.pathInRoot = inRoot;
    check.address = address;
    return check;
}

QByteArray publicationComment(quint64 timestamp, const QString &fileName, const QString &manifestUrl,
                              quint64 expires)
{
    return "timestamp:" + QByteArray::number(timestamp) + "\tfile:" + fileName.toUtf8() + "\thashed\tmanifest:"
            + manifestUrl.toUtf8() + "\texpires:" + QByteArray::number(expires);
}
