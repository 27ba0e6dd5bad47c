#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// The manifest's signature in the format of minisign, checked with libsodium
// as `minisign -V` checks it: the key id names one of the trusted keys, the
// signature covers the manifest (or, for the prehashed algorithm, its
// BLAKE2b-512), and the global signature covers the signature and its trusted
// comment. Pure functions over bytes; nothing here touches the network.

// minisign's own limits on its comment lines, with room for the prefixes: a
// longer .minisig is not one it wrote, and is not read past this.
inline constexpr int maxMinisignFileSize = 16 * 1024;

// A public key: the base64 line of a minisign public key file (`-P` form).
struct MinisignPublicKey
{
    QByteArray keyId;  // 8 bytes
    QByteArray key;    // 32 bytes, Ed25519
};

// A parsed .minisig file.
struct MinisignSignature
{
    bool prehashed = false;     // "ED": over the BLAKE2b-512 of the file; "Ed": over the file
    QByteArray keyId;           // 8 bytes
    QByteArray signature;       // 64 bytes
    QByteArray trustedComment;  // the text after "trusted comment: "
    QByteArray globalSignature; // 64 bytes
};

// The BLAKE2b-512 of a message, which the prehashed algorithm signs.
QByteArray blake2b512(const QByteArray &message);

std::optional<MinisignPublicKey> parseMinisignPublicKey(const QByteArray &base64Line);

// Anything not laid out as minisign writes it gives nothing: four lines (the
// untrusted comment, the signature, the trusted comment, the global
// signature), strict base64 of the exact sizes, a known algorithm.
std::optional<MinisignSignature> parseMinisignSignature(const QByteArray &text);

// A field of a trusted comment: the text after `name` (with its colon, as in
// "timestamp:") in the first of its tab-separated fields that starts so, as
// minisign writes its own ("timestamp:…<TAB>file:…<TAB>hashed"). Nothing when
// absent; unknown fields are ignored.
std::optional<QByteArray> trustedCommentField(const QByteArray &trustedComment, const QByteArray &name);

// A field holding a plain decimal number, such as "expires:"; nothing when
// absent or not one.
std::optional<quint64> trustedNumber(const QByteArray &trustedComment, const QByteArray &name);

// The `timestamp:` field (seconds since the epoch, as minisign writes it);
// nothing when absent or not a plain decimal number.
std::optional<quint64> trustedTimestamp(const QByteArray &trustedComment);

// A key id as minisign prints it ("7C4623A0FDF60BDF").
QString keyIdText(const QByteArray &keyId);

enum class SignatureCheck {
    Valid,
    Malformed,          // the .minisig does not parse
    UnknownKey,         // its key id is none of the trusted keys
    BadSignature,       // the manifest is not what was signed
    BadGlobalSignature, // the trusted comment (or signature) was changed
};

struct SignatureVerdict
{
    SignatureCheck check = SignatureCheck::Malformed;
    MinisignSignature signature; // as parsed, when it parsed
};

SignatureVerdict verifyMinisign(const QByteArray &message, const QByteArray &minisig,
                                const QList<MinisignPublicKey> &trusted);

// What the diagnostics say about each outcome.
QString signatureCheckText(SignatureCheck check);
