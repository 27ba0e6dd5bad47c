#include "trust/minisign.h"

#include <sodium.h>

namespace {

constexpr int keyIdSize = 8;
constexpr int publicKeySize = 32;
constexpr int signatureSize = 64;
constexpr int algorithmSize = 2;

const QByteArray untrustedPrefix = QByteArrayLiteral("untrusted comment: ");
const QByteArray trustedPrefix = QByteArrayLiteral("trusted comment: ");

std::optional<QByteArray> strictBase64(const QByteArray &text, int size)
{
    const QByteArray::FromBase64Result decoded =
            QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != size)
        return std::nullopt;
    return decoded.decoded;
}

bool sodiumReady()
{
    // Safe to call again and from any thread; negative only when unusable.
    return sodium_init() >= 0;
}

bool ed25519Verifies(const QByteArray &signature, const QByteArray &message, const QByteArray &key)
{
    return crypto_sign_verify_detached(
                   reinterpret_cast<const unsigned char *>(signature.constData()),
                   reinterpret_cast<const unsigned char *>(message.constData()),
                   quint64(message.size()),
                   reinterpret_cast<const unsigned char *>(key.constData()))
            == 0;
}

} // namespace

QByteArray blake2b512(const QByteArray &message)
{
    sodiumReady();
    QByteArray digest(crypto_generichash_BYTES_MAX, Qt::Uninitialized);
    crypto_generichash(reinterpret_cast<unsigned char *>(digest.data()), std::size_t(digest.size()),
                       reinterpret_cast<const unsigned char *>(message.constData()),
                       quint64(message.size()), nullptr, 0);
    return digest;
}

std::optional<MinisignPublicKey> parseMinisignPublicKey(const QByteArray &base64Line)
{
    const std::optional<QByteArray> bytes =
            strictBase64(base64Line.trimmed(), algorithmSize + keyIdSize + publicKeySize);
    if (!bytes || !bytes->startsWith("Ed"))
        return std::nullopt;
    return MinisignPublicKey { bytes->mid(algorithmSize, keyIdSize),
                               bytes->mid(algorithmSize + keyIdSize) };
}

std::optional<MinisignSignature> parseMinisignSignature(const QByteArray &text)
{
    if (text.size() > maxMinisignFileSize)
        return std::nullopt;
    QList<QByteArray> lines = text.split('\n');
    if (lines.size() < 4)
        return std::nullopt;
    // Line ends trimmed as minisign trims them.
    for (QByteArray &line : lines) {
        while (line.endsWith('\r'))
            line.chop(1);
    }
    if (!lines.at(0).startsWith(untrustedPrefix) || !lines.at(2).startsWith(trustedPrefix))
        return std::nullopt;
    const std::optional<QByteArray> body =
            strictBase64(lines.at(1), algorithmSize + keyIdSize + signatureSize);
    const std::optional<QByteArray> global = strictBase64(lines.at(3), signatureSize);
    if (!body || !global)
        return std::nullopt;

    MinisignSignature signature;
    const QByteArray algorithm = body->left(algorithmSize);
    if (algorithm == "ED")
        signature.prehashed = true;
    else if (algorithm != "Ed")
        return std::nullopt;
    signature.keyId = body->mid(algorithmSize, keyIdSize);
    signature.signature = body->mid(algorithmSize + keyIdSize);
    signature.trustedComment = lines.at(2).mid(trustedPrefix.size());
    signature.globalSignature = *global;
    return signature;
}

std::optional<QByteArray> trustedCommentField(const QByteArray &trustedComment, const QByteArray &name)
{
    for (const QByteArray &field : trustedComment.split('\t')) {
        if (field.startsWith(name))
            return field.mid(name.size());
    }
    return std::nullopt;
}

std::optional<quint64> trustedNumber(const QByteArray &trustedComment, const QByteArray &name)
{
    const std::optional<QByteArray> digits = trustedCommentField(trustedComment, name);
    if (!digits)
        return std::nullopt;
    bool decimal = !digits->isEmpty();
    for (const char c : *digits)
        decimal = decimal && c >= '0' && c <= '9';
    bool ok = false;
    const quint64 value = digits->toULongLong(&ok);
    if (!decimal || !ok)
        return std::nullopt;
    return value;
}

std::optional<quint64> trustedTimestamp(const QByteArray &trustedComment)
{
    return trustedNumber(trustedComment, QByteArrayLiteral("timestamp:"));
}

QString keyIdText(const QByteArray &keyId)
{
    // minisign shows the id as a little-endian number.
    QByteArray reversed;
    for (auto it = keyId.crbegin(); it != keyId.crend(); ++it)
        reversed.append(*it);
    return QString::fromLatin1(reversed.toHex().toUpper());
}

SignatureVerdict verifyMinisign(const QByteArray &message, const QByteArray &minisig,
                                const QList<MinisignPublicKey> &trusted)
{
    SignatureVerdict verdict;
    const std::optional<MinisignSignature> parsed = parseMinisignSignature(minisig);
    if (!parsed || !sodiumReady())
        return verdict;
    verdict.signature = *parsed;
    const MinisignSignature &signature = verdict.signature;

    const MinisignPublicKey *key = nullptr;
    for (const MinisignPublicKey &candidate : trusted) {
        if (candidate.keyId == signature.keyId)
            key = &candidate;
    }
    if (!key) {
        verdict.check = SignatureCheck::UnknownKey;
        return verdict;
    }
    const QByteArray signedBytes = signature.prehashed ? blake2b512(message) : message;
    if (!ed25519Verifies(signature.signature, signedBytes, key->key)) {
        verdict.check = SignatureCheck::BadSignature;
        return verdict;
    }
    if (!ed25519Verifies(signature.globalSignature, signature.signature + signature.trustedComment,
                         key->key)) {
        verdict.check = SignatureCheck::BadGlobalSignature;
        return verdict;
    }
    verdict.check = SignatureCheck::Valid;
    return verdict;
}

QString signatureCheckText(SignatureCheck check)
{
    switch (check) {
    case SignatureCheck::Valid:
        return QStringLiteral("valid");
    case SignatureCheck::Malformed:
        return QStringLiteral("the signature file is malformed");
    case SignatureCheck::UnknownKey:
        return QStringLiteral("the signature's key id is not a trusted key");
    case SignatureCheck::BadSignature:
        return QStringLiteral("the signature does not match the manifest");
    case SignatureCheck::BadGlobalSignature:
        return QStringLiteral("the trusted comment's signature does not verify");
    }
    return QString();
}
