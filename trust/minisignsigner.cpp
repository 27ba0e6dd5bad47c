#include "trust/minisignsigner.h"

#include <sodium.h>

namespace {

constexpr int keyIdSize = 8;
constexpr int secretKeySize = 64;
constexpr int checksumSize = 32;
constexpr int saltSize = 32;
constexpr int sealedSize = keyIdSize + secretKeySize + checksumSize;
// Algorithms (2 bytes each: signature, derivation, checksum), salt, two limits, sealed part.
constexpr int keyFileSize = 3 * 2 + saltSize + 8 + 8 + sealedSize;

const uchar *bytes(const QByteArray &data)
{
    return reinterpret_cast<const uchar *>(data.constData());
}

quint64 littleEndian64(const char *data)
{
    quint64 value = 0;
    for (int i = 7; i >= 0; --i)
        value = value << 8 | uchar(data[i]);
    return value;
}

QByteArray blake2b(const QByteArray &message, int size)
{
    QByteArray digest(size, Qt::Uninitialized);
    crypto_generichash(reinterpret_cast<uchar *>(digest.data()), size_t(size), bytes(message),
                       quint64(message.size()), nullptr, 0);
    return digest;
}

QByteArray ed25519Sign(const QByteArray &message, const QByteArray &secretKey)
{
    QByteArray signature(crypto_sign_BYTES, Qt::Uninitialized);
    crypto_sign_detached(reinterpret_cast<uchar *>(signature.data()), nullptr, bytes(message),
                         quint64(message.size()), bytes(secretKey));
    return signature;
}

void wipe(QByteArray &data)
{
    if (!data.isEmpty())
        sodium_memzero(data.data(), size_t(data.size()));
}

} // namespace

std::optional<MinisignSecretKeyFile> parseMinisignSecretKeyFile(const QByteArray &text)
{
    const QList<QByteArray> lines = text.split('\n');
    if (lines.size() < 2 || !lines.at(0).startsWith("untrusted comment: "))
        return std::nullopt;
    const QByteArray::FromBase64Result decoded =
            QByteArray::fromBase64Encoding(lines.at(1).trimmed(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != keyFileSize)
        return std::nullopt;
    const QByteArray &raw = decoded.decoded;
    const QByteArray derivation = raw.mid(2, 2);
    if (raw.left(2) != "Ed" || raw.mid(4, 2) != "B2" || (derivation != "Sc" && derivation != QByteArray(2, '\0')))
        return std::nullopt;
    MinisignSecretKeyFile file;
    file.encrypted = derivation == "Sc";
    file.salt = raw.mid(6, saltSize);
    file.opsLimit = littleEndian64(raw.constData() + 6 + saltSize);
    file.memLimit = littleEndian64(raw.constData() + 6 + saltSize + 8);
    file.sealed = raw.right(sealedSize);
    return file;
}

MinisignSecretKey::MinisignSecretKey(QByteArray keyId, QByteArray secretKey)
    : m_keyId(std::move(keyId)), m_secretKey(std::move(secretKey))
{
}

MinisignSecretKey::~MinisignSecretKey()
{
    wipe(m_secretKey);
}

MinisignPublicKey MinisignSecretKey::publicKey() const
{
    return { m_keyId, m_secretKey.right(crypto_sign_PUBLICKEYBYTES) };
}

QByteArray MinisignSecretKey::publicKeyLine() const
{
    return (QByteArrayLiteral("Ed") + m_keyId + m_secretKey.right(crypto_sign_PUBLICKEYBYTES)).toBase64();
}

QByteArray MinisignSecretKey::sign(const QByteArray &message, const QByteArray &trustedComment) const
{
    const QByteArray signature = ed25519Sign(blake2b(message, crypto_generichash_BYTES_MAX), m_secretKey);
    const QByteArray global = ed25519Sign(signature + trustedComment, m_secretKey);
    return "untrusted comment: signature from zanrok-publish\n" + (QByteArrayLiteral("ED") + m_keyId + signature).toBase64()
            + "\ntrusted comment: " + trustedComment + '\n' + global.toBase64() + '\n';
}

OpenedSecretKey openMinisignSecretKey(const MinisignSecretKeyFile &file, const QByteArray &password)
{
    OpenedSecretKey opened;
    if (sodium_init() < 0 || file.sealed.size() != sealedSize)
        return opened;
    QByteArray plain = file.sealed;
    plain.detach();
    if (file.encrypted) {
        QByteArray stream(sealedSize, Qt::Uninitialized);
        const int derived = crypto_pwhash_scryptsalsa208sha256(
                reinterpret_cast<uchar *>(stream.data()), quint64(stream.size()), password.constData(),
                quint64(password.size()), bytes(file.salt), file.opsLimit, size_t(file.memLimit));
        if (derived != 0) {
            wipe(plain);
            return opened;
        }
        for (int i = 0; i < sealedSize; ++i)
            plain[i] = char(plain.at(i) ^ stream.at(i));
        wipe(stream);
    }
    QByteArray keyId = plain.left(keyIdSize);
    QByteArray secretKey = plain.mid(keyIdSize, secretKeySize);
    const QByteArray checksum = plain.right(checksumSize);
    QByteArray checked = QByteArrayLiteral("Ed") + keyId + secretKey;
    const bool checksumMatches = blake2b(checked, checksumSize) == checksum;
    wipe(checked);
    wipe(plain);
    // minisign leaves the checksum of a plain key zero; the key's own halves
    // must still agree.
    QByteArray publicKey(crypto_sign_PUBLICKEYBYTES, Qt::Uninitialized);
    QByteArray rebuilt(crypto_sign_SECRETKEYBYTES, Qt::Uninitialized);
    crypto_sign_seed_keypair(reinterpret_cast<uchar *>(publicKey.data()), reinterpret_cast<uchar *>(rebuilt.data()),
                             bytes(secretKey));
    const bool halvesAgree = rebuilt == secretKey;
    wipe(rebuilt);
    if (file.encrypted && !checksumMatches) {
        opened.result = SecretKeyOpening::WrongPassword;
    } else if (!halvesAgree || (!checksumMatches && checksum != QByteArray(checksumSize, '\0'))) {
        opened.result = SecretKeyOpening::Damaged;
    } else {
        opened.result = SecretKeyOpening::Opened;
        opened.key.emplace(keyId, secretKey);
    }
    wipe(secretKey);
    return opened;
}

QString secretKeyOpeningText(SecretKeyOpening result)
{
    switch (result) {
    case SecretKeyOpening::Opened:
        return QStringLiteral("opened");
    case SecretKeyOpening::WrongPassword:
        return QStringLiteral("wrong password (the key's checksum does not match)");
    case SecretKeyOpening::Damaged:
        return QStringLiteral("the secret key file is damaged (its parts do not agree)");
    case SecretKeyOpening::Unusable:
        return QStringLiteral("the key could not be derived from the password (too little memory?)");
    }
    return QString();
}
