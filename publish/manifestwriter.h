#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>

#include <optional>

// The manifest and its trusted comment as a publication writes them, and
// where each address lands in the web root.

struct ManifestEntry
{
    QString file; // "SERVER_FILES/a/b.js"
    QString url;
    QString hash; // lower-case MD5
    qint64 size = 0;
};

// One entry a line, members in the launcher's documented order.
QByteArray manifestText(const QList<ManifestEntry> &entries);

// `base` (ending in '/') followed by the path, each segment percent-encoded.
QString fileUrl(const QString &base, const QString &path);

// An address the tool publishes at, checked: absolute HTTP(S), a host, no
// query, fragment or user, and a path the launcher's rules allow; `folder`
// says whether it names a folder (the base URL) or a file (the manifest).
struct WebAddress
{
    QString url;        // as given, a folder's with its final '/'
    QString pathInRoot; // decoded, where it lands under the web root ("" for the root)
};
struct WebAddressCheck
{
    std::optional<WebAddress> address;
    QString error;
};
WebAddressCheck checkWebAddress(const QString &text, bool folder);

// minisign's layout ("timestamp:…<TAB>file:…<TAB>hashed"), then the
// manifest's address and its end of validity.
QByteArray publicationComment(quint64 timestamp, const QString &fileName, const QString &manifestUrl,
                              quint64 expires);
// minisign keeps a trusted comment below this many bytes.
constexpr int maxTrustedCommentBytes = 1023;
