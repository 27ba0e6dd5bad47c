// The manifest's .minisig as the loader reads it, then checked against a key.
// Besides crashes, checks that whatever parses has minisign's sizes, and that
// writing it out again as minisign would reads back the same.
#include "fuzzcheck.h"
#include "trust/minisign.h"
#include "trust/signeddocument.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(data), int(size));
    const std::optional<MinisignSignature> parsed = parseMinisignSignature(text);

    // The demo network's key; what the input is checked against is the input.
    static const std::optional<MinisignPublicKey> key =
            parseMinisignPublicKey("RWTfC/b9oCNGfAf/ULSM7aux0A5Btp9WQkMxIL9A39WLkLlBN8voRowF");
    FUZZ_CHECK(key);
    const SignatureVerdict verdict = verifyMinisign(text, text, { *key });
    FUZZ_CHECK(parsed || verdict.check == SignatureCheck::Malformed);
    if (!parsed)
        return 0;
    FUZZ_CHECK(verdict.check != SignatureCheck::Malformed);
    FUZZ_CHECK(parsed->keyId.size() == 8 && parsed->signature.size() == 64
               && parsed->globalSignature.size() == 64);
    FUZZ_CHECK(!parsed->trustedComment.contains('\n'));
    SignedDocumentRules rules;
    rules.address = QStringLiteral("http://127.0.0.1:7080/files.json");
    rules.now = 1796661797;
    const QString refusal = trustedCommentRefusal(parsed->trustedComment, "d1", rules,
                                                  AcceptedDocument { 1796661797, "d2" });
    // Accepted only with a timestamp in seconds, later than the one kept.
    const std::optional<quint64> timestamp = trustedTimestamp(parsed->trustedComment);
    FUZZ_CHECK(!refusal.isEmpty() || (timestamp && *timestamp > 1796661797 && *timestamp <= (quint64(1) << 32)));

    const QByteArray written = "untrusted comment: x\n"
            + (QByteArray(parsed->prehashed ? "ED" : "Ed") + parsed->keyId + parsed->signature).toBase64()
            + "\ntrusted comment: " + parsed->trustedComment + '\n'
            + parsed->globalSignature.toBase64() + '\n';
    const std::optional<MinisignSignature> again = parseMinisignSignature(written);
    FUZZ_CHECK(again);
    FUZZ_CHECK(again->prehashed == parsed->prehashed && again->keyId == parsed->keyId
               && again->signature == parsed->signature
               && again->trustedComment == parsed->trustedComment
               && again->globalSignature == parsed->globalSignature);
    return 0;
}
