#include "trust/signeddocument.h"

#include "trust/minisign.h"
#include "platform/launchersettings.h"

#include <QDateTime>

namespace {

// Seconds since 1970 fit below it until 2106; a value in milliseconds does
// not, and would otherwise lock out every later document stamped in seconds.
constexpr quint64 maxSeconds = quint64(1) << 32;

QString utcText(quint64 seconds)
{
    return QDateTime::fromSecsSinceEpoch(qint64(seconds), Qt::UTC).toString(Qt::ISODate);
}

} // namespace

QByteArray documentDigest(const QByteArray &document)
{
    return blake2b512(document).toHex();
}

QString trustedCommentRefusal(const QByteArray &trustedComment, const QByteArray &digest,
                              const SignedDocumentRules &rules,
                              const std::optional<AcceptedDocument> &previous)
{
    const std::optional<quint64> timestamp = trustedTimestamp(trustedComment);
    if (!timestamp)
        return QStringLiteral("the trusted comment has no timestamp");
    if (*timestamp > maxSeconds)
        return QStringLiteral("its timestamp %1 is not in seconds since 1970").arg(*timestamp);

    const std::optional<QByteArray> address = trustedCommentField(trustedComment, rules.addressField);
    if (!address) {
        return QStringLiteral("the trusted comment does not name its address (%1)")
                .arg(QString::fromLatin1(rules.addressField));
    }
    if (*address != rules.address.toUtf8()) {
        return QStringLiteral("it was signed for %1, not %2")
                .arg(QString::fromUtf8(*address), rules.address);
    }
    if (*timestamp < rules.minimumTimestamp) {
        return QStringLiteral("its timestamp %1 is older than the launcher's floor %2")
                .arg(*timestamp)
                .arg(rules.minimumTimestamp);
    }

    const QByteArray expiresField = QByteArrayLiteral("expires:");
    if (trustedCommentField(trustedComment, expiresField)) {
        const std::optional<quint64> expires = trustedNumber(trustedComment, expiresField);
        if (!expires || *expires > maxSeconds)
            return QStringLiteral("its expiry is not in seconds since 1970");
        if (rules.now > qint64(*expires)) {
            return QStringLiteral("it expired at %1 (%2), and the clock here says %3 (%4)")
                    .arg(*expires)
                    .arg(utcText(*expires))
                    .arg(rules.now)
                    .arg(utcText(quint64(rules.now)));
        }
    }

    if (previous && *timestamp < previous->timestamp) {
        return QStringLiteral("its timestamp %1 is older than %2, accepted before")
                .arg(*timestamp)
                .arg(previous->timestamp);
    }
    // One timestamp, one document. An earlier launcher kept no digest.
    if (previous && *timestamp == previous->timestamp && !previous->digest.isEmpty()
        && previous->digest != digest) {
        return QStringLiteral("its timestamp %1 is that of the one accepted before, over other bytes")
                .arg(*timestamp);
    }
    return QString();
}

SignedDocumentCheck checkSignedDocument(const QByteArray &document,
                                        const std::optional<QByteArray> &signature,
                                        const SignedDocumentRules &rules,
                                        const std::optional<AcceptedDocument> &previous)
{
    SignedDocumentCheck check;
    if (!signature) {
        check.refusal = QStringLiteral("no signature could be fetched");
        return check;
    }
    QList<MinisignPublicKey> keys;
    for (const QString &line : rules.trustedKeys) {
        if (const std::optional<MinisignPublicKey> key = parseMinisignPublicKey(line.toLatin1()))
            keys.append(*key);
    }
    if (keys.isEmpty()) {
        check.refusal = QStringLiteral("no usable key is built in");
        return check;
    }

    const SignatureVerdict verdict = verifyMinisign(document, *signature, keys);
    check.keyId = verdict.signature.keyId;
    if (verdict.check != SignatureCheck::Valid) {
        check.refusal = signatureCheckText(verdict.check);
        if (verdict.check == SignatureCheck::UnknownKey)
            check.refusal += QStringLiteral(" (") + keyIdText(verdict.signature.keyId) + QLatin1Char(')');
        return check;
    }
    const QByteArray digest = documentDigest(document);
    check.refusal = trustedCommentRefusal(verdict.signature.trustedComment, digest, rules, previous);
    if (check.ok())
        check.accepted = { *trustedTimestamp(verdict.signature.trustedComment), digest };
    return check;
}

std::optional<AcceptedDocument> acceptedDocument(const QString &address)
{
    const LauncherSettings settings;
    const std::optional<quint64> timestamp = settings.manifestTimestamp(address);
    if (!timestamp)
        return std::nullopt;
    return AcceptedDocument { *timestamp, settings.manifestDigest(address) };
}

bool keepAcceptedDocument(const QString &address, const AcceptedDocument &document)
{
    LauncherSettings settings;
    if (settings.manifestTimestamp(address) == document.timestamp
        && settings.manifestDigest(address) == document.digest)
        return true; // kept already: nothing new to remember
    settings.setManifestTimestamp(address, document.timestamp);
    settings.setManifestDigest(address, document.digest);
    return settings.sync();
}
