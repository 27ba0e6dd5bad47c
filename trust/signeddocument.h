#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

// A document the launcher takes from a network only when signed with
// minisign: the manifest, and later whatever else must be as fresh and meant
// for where it was fetched. Beside a signature by a trusted key, its trusted
// comment (tab-separated fields, unknown ones ignored) must carry
//   timestamp:<seconds since 1970>  not above 2^32, not below the floor built
//                                   into the launcher, not older than the one
//                                   accepted before for the address, and, when
//                                   equal to it, over the same bytes;
//   <addressField><address>         exactly the address it was fetched from
//                                   ("manifest:http://…/files.json");
// and may carry expires:<seconds since 1970>, past which, by the local clock,
// it is refused.

// What was accepted for an address, kept so that nothing older passes later.
struct AcceptedDocument
{
    quint64 timestamp = 0;
    QByteArray digest; // documentDigest(); empty when not known
};

struct SignedDocumentRules
{
    QStringList trustedKeys; // minisign public key lines
    QString address;         // where the document was fetched from
    QByteArray addressField = QByteArrayLiteral("manifest:");
    quint64 minimumTimestamp = 0; // the floor built into the launcher
    qint64 now = 0;               // seconds since 1970, by the local clock
};

struct SignedDocumentCheck
{
    QString refusal;           // why it is refused; empty when it is not
    QByteArray keyId;          // the signature's, once it parsed
    AcceptedDocument accepted; // what to keep once its content has passed its checks too

    bool ok() const { return refusal.isEmpty(); }
};

// The BLAKE2b-512 of a document, as lower-case hexadecimal text.
QByteArray documentDigest(const QByteArray &document);

// The trusted comment's rules alone, for a signature that verified: the
// reason to refuse, or an empty text.
QString trustedCommentRefusal(const QByteArray &trustedComment, const QByteArray &digest,
                              const SignedDocumentRules &rules,
                              const std::optional<AcceptedDocument> &previous);

// The signature (nothing: it could not be fetched), then the trusted comment.
// Pure: the caller reads `previous` and keeps what is accepted.
SignedDocumentCheck checkSignedDocument(const QByteArray &document,
                                        const std::optional<QByteArray> &signature,
                                        const SignedDocumentRules &rules,
                                        const std::optional<AcceptedDocument> &previous);

// The launcher's own settings: what was accepted for `address` before, and
// keeping a newly accepted one (what is kept already is not written again).
// False when the store could not be written.
std::optional<AcceptedDocument> acceptedDocument(const QString &address);
bool keepAcceptedDocument(const QString &address, const AcceptedDocument &document);
