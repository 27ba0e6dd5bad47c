#include "update/launcherrelease.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

#include <algorithm>
#include <cmath>

namespace {

bool plainDigits(const QString &text, int maxLength)
{
    if (text.isEmpty() || text.size() > maxLength)
        return false;
    return std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); });
}

bool isLowerHex(const QString &text)
{
    return std::all_of(text.cbegin(), text.cend(), [](QChar c) {
        return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('a') && c <= QLatin1Char('f'));
    });
}

} // namespace

std::optional<QVector<quint32>> versionNumbers(const QString &version)
{
    const QStringList parts = version.split(QLatin1Char('.'));
    if (parts.size() > 4)
        return std::nullopt;
    QVector<quint32> numbers;
    for (const QString &part : parts) {
        if (!plainDigits(part, 9))
            return std::nullopt;
        numbers.append(part.toUInt());
    }
    return numbers;
}

std::optional<int> compareVersions(const QString &a, const QString &b)
{
    std::optional<QVector<quint32>> left = versionNumbers(a);
    std::optional<QVector<quint32>> right = versionNumbers(b);
    if (!left || !right)
        return std::nullopt;
    const int length = qMax(left->size(), right->size());
    left->resize(length);
    right->resize(length);
    return *left < *right ? -1 : (*left == *right ? 0 : 1);
}

QByteArray launcherReleaseText(const LauncherRelease &release)
{
    const QJsonObject object { { QStringLiteral("version"), release.version },
                               { QStringLiteral("url"), release.url },
                               { QStringLiteral("size"), double(release.size) },
                               { QStringLiteral("sha256"), release.sha256 } };
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

ReleaseRead readLauncherRelease(const QByteArray &descriptor)
{
    ReleaseRead read;
    if (descriptor.size() > maxDescriptorSize) {
        read.error = QStringLiteral("it is longer than %1 bytes").arg(maxDescriptorSize);
        return read;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(descriptor, &parseError);
    if (!document.isObject()) {
        read.error = parseError.error == QJsonParseError::NoError ? QStringLiteral("it is not a JSON object")
                                                                 : parseError.errorString();
        return read;
    }
    const QJsonObject object = document.object();
    const QJsonValue version = object.value(QLatin1String("version"));
    const QJsonValue url = object.value(QLatin1String("url"));
    const QJsonValue size = object.value(QLatin1String("size"));
    const QJsonValue sha256 = object.value(QLatin1String("sha256"));
    const double bytes = size.toDouble();
    const bool wholeBytes = size.isDouble() && std::floor(bytes) == bytes && bytes >= 1 && bytes <= double(maxInstallerSize);
    LauncherRelease release { version.toString(), url.toString(), wholeBytes ? qint64(bytes) : 0, sha256.toString() };
    const QUrl address(release.url, QUrl::StrictMode);
    if (!version.isString() || !versionNumbers(release.version)) {
        read.error = QStringLiteral("its version is not dotted numbers");
    } else if (!url.isString() || !address.isValid() || address.host().isEmpty()
               || (address.scheme() != QLatin1String("http") && address.scheme() != QLatin1String("https"))) {
        read.error = QStringLiteral("its url is not an http:// or https:// address");
    } else if (!wholeBytes) {
        read.error = QStringLiteral("its size is not a whole number of bytes from 1 to %1").arg(maxInstallerSize);
    } else if (!sha256.isString() || release.sha256.size() != 64 || !isLowerHex(release.sha256)) {
        read.error = QStringLiteral("its sha256 is not 64 lower-case hexadecimal digits");
    } else {
        read.release = release;
    }
    return read;
}

ReleaseCheck checkLauncherRelease(const QByteArray &descriptor, const std::optional<QByteArray> &signature,
                                  const SignedDocumentRules &rules,
                                  const std::optional<AcceptedDocument> &previous, const QString &versionText,
                                  const QString &ownVersion)
{
    ReleaseCheck check;
    const SignedDocumentCheck signedCheck = checkSignedDocument(descriptor, signature, rules, previous);
    if (!signedCheck.ok()) {
        check.refusal = QStringLiteral("its signature: ") + signedCheck.refusal;
        return check;
    }
    const ReleaseRead read = readLauncherRelease(descriptor);
    if (!read.release) {
        check.refusal = QStringLiteral("it is malformed: ") + read.error;
        return check;
    }
    check.release = *read.release;
    if (check.release.version != versionText) {
        check.refusal = QStringLiteral("it offers %1 where the version text says %2")
                                .arg(check.release.version, versionText.left(64));
    } else if (compareVersions(check.release.version, ownVersion).value_or(0) <= 0) {
        check.refusal = QStringLiteral("it offers %1, not newer than this launcher's %2")
                                .arg(check.release.version, ownVersion);
    } else {
        check.accepted = signedCheck.accepted;
    }
    return check;
}
