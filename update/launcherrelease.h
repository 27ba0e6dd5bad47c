#pragma once

#include "trust/signeddocument.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <optional>

// The launcher's next version as the network publishes it: the descriptor
// launcher/update.json beside the manifest, signed with the manifest's keys
// and rules (its trusted comment's manifest: names the descriptor's own
// address), naming the installer by address, length and SHA-256. Pure
// functions over bytes; the publishing tool writes what they read.

struct LauncherRelease
{
    QString version; // dotted numbers
    QString url;     // the installer's address, http or https
    qint64 size = 0; // the installer's length in bytes
    QString sha256;  // its SHA-256, lower-case hexadecimal

    bool operator==(const LauncherRelease &other) const
    {
        return version == other.version && url == other.url && size == other.size && sha256 == other.sha256;
    }
};

// Far above a real descriptor or installer: nothing a host sends may grow
// past them.
inline constexpr int maxDescriptorSize = 16 * 1024;
inline constexpr qint64 maxInstallerSize = qint64(1) << 30;

// "1.10" as {1, 10}: one to four numbers of up to nine digits, dots between,
// nothing else (no blank, sign or line break). Nothing otherwise.
std::optional<QVector<quint32>> versionNumbers(const QString &version);
// Below, equal to or above zero as `a` is older than, the same as or newer
// than `b`, number by number ("1.8" is "1.8.0"); nothing when either is not
// a version.
std::optional<int> compareVersions(const QString &a, const QString &b);

QByteArray launcherReleaseText(const LauncherRelease &release);

// The descriptor read strictly: a JSON object whose version, url, size and
// sha256 are all there and well-formed; other members are ignored.
struct ReleaseRead
{
    std::optional<LauncherRelease> release;
    QString error;
};
ReleaseRead readLauncherRelease(const QByteArray &descriptor);

// Whether to update: the signature and its trusted comment, then the
// descriptor, which must offer exactly the published version text and one
// newer than the launcher's own. Anything else is a reason to fall back to
// the download page.
struct ReleaseCheck
{
    QString refusal; // empty: update
    LauncherRelease release;
    AcceptedDocument accepted; // to keep once taken

    bool ok() const { return refusal.isEmpty(); }
};
ReleaseCheck checkLauncherRelease(const QByteArray &descriptor, const std::optional<QByteArray> &signature,
                                  const SignedDocumentRules &rules,
                                  const std::optional<AcceptedDocument> &previous, const QString &versionText,
                                  const QString &ownVersion);
