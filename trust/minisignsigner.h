#pragma once

#include "trust/minisign.h"

#include <QByteArray>
#include <QString>

#include <optional>

// The signing side of minisign.h, for the operator's publishing tool: a
// secret key file as `minisign -G` writes it, with or without a password,
// and signatures that `minisign -V` and the launcher accept.

// A secret key file as read, before its password is applied.
struct MinisignSecretKeyFile
{
    bool encrypted = false;  // "Sc": scrypt over a password; otherwise stored plain (-W)
    QByteArray salt;         // 32 bytes
    quint64 opsLimit = 0;
    quint64 memLimit = 0;
    QByteArray sealed;       // key id, secret key and checksum, 104 bytes, XORed when encrypted
};

// Nothing when the text is not a secret key file of minisign's.
std::optional<MinisignSecretKeyFile> parseMinisignSecretKeyFile(const QByteArray &text);

// An opened secret key. It zeroes its bytes when it goes.
class MinisignSecretKey
{
public:
    MinisignSecretKey(QByteArray keyId, QByteArray secretKey);
    ~MinisignSecretKey();
    MinisignSecretKey(const MinisignSecretKey &) = default;
    MinisignSecretKey &operator=(const MinisignSecretKey &) = default;

    QByteArray keyId() const { return m_keyId; }
    MinisignPublicKey publicKey() const;
    // The public key's base64 line, as the second line of a .pub file.
    QByteArray publicKeyLine() const;

    // A .minisig for `message`, prehashed ("ED", minisign's default), with the
    // trusted comment given (one line, fields between tabs).
    QByteArray sign(const QByteArray &message, const QByteArray &trustedComment) const;

private:
    QByteArray m_keyId;     // 8 bytes
    QByteArray m_secretKey; // 64 bytes: libsodium's Ed25519 form, the seed then the public key
};

enum class SecretKeyOpening {
    Opened,
    WrongPassword, // the checksum does not match what the password gives
    Damaged,       // a plain key whose parts disagree
    Unusable,      // the password derivation failed (too little memory)
};

struct OpenedSecretKey
{
    SecretKeyOpening result = SecretKeyOpening::Unusable;
    std::optional<MinisignSecretKey> key;
};

// Opens the key with `password` (ignored for a plain key). Deriving a
// password-protected key takes minisign's scrypt: about a GiB and a few seconds.
OpenedSecretKey openMinisignSecretKey(const MinisignSecretKeyFile &file, const QByteArray &password);

QString secretKeyOpeningText(SecretKeyOpening result);
