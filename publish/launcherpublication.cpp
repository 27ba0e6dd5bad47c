#include "publish/launcherpublication.h"

#include "publish/manifestwriter.h"
#include "trust/minisignsigner.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include <memory>

namespace {

QString underOut(const QString &out, const QString &pathInRoot)
{
    return QDir::cleanPath(QFileInfo(out).absoluteFilePath() + QLatin1Char('/') + pathInRoot);
}

} // namespace

LauncherPublication::LauncherPublication(LauncherOptions options) : m_options(std::move(options)) { }

bool LauncherPublication::prepare()
{
    if (!versionNumbers(m_options.version))
        m_problems.append(QStringLiteral("--version must be one to four dotted numbers: '%1'").arg(m_options.version));
    const WebAddressCheck base = checkWebAddress(m_options.baseUrl, true);
    if (!base.address)
        m_problems.append(base.error);
    m_descriptorUrl = m_options.descriptorUrl;
    if (m_descriptorUrl.isEmpty() && base.address) {
        m_descriptorUrl = QUrl(m_options.baseUrl).adjusted(QUrl::RemovePath).toString()
                + QStringLiteral("/launcher/update.json");
    }
    const WebAddressCheck descriptor = checkWebAddress(m_descriptorUrl, false);
    if (!descriptor.address && !m_descriptorUrl.isEmpty())
        m_problems.append(descriptor.error);
    if (m_options.expiresDays < 1 || m_options.expiresDays > 3650)
        m_problems.append(QStringLiteral("--expires takes 1 to 3650 days"));
    const QFileInfo setup(m_options.setup);
    if (!setup.isFile() || !setup.isReadable() || setup.size() < 1 || setup.size() > maxInstallerSize)
        m_problems.append(QStringLiteral("%1 is not a readable file of 1 byte to 1 GiB").arg(m_options.setup));
    if (!m_problems.isEmpty())
        return false;

    const QString installerName = QStringLiteral("launcher/ZanrokLauncherSetup-%1.exe").arg(m_options.version);
    m_release.version = m_options.version;
    m_release.url = base.address->url + installerName;
    m_release.size = setup.size();
    m_installerPath = underOut(m_options.out, base.address->pathInRoot + QLatin1Char('/') + installerName);
    m_descriptorPath = underOut(m_options.out, descriptor.address->pathInRoot);
    if (publicationComment(0, QStringLiteral("update.json"), m_descriptorUrl, 0).size() + 40 > maxTrustedCommentBytes)
        m_problems.append(QStringLiteral("the descriptor's address is too long for minisign's trusted comment"));
    return m_problems.isEmpty();
}

bool LauncherPublication::publish(const MinisignSecretKey &key)
{
    // Everything is written under temporary names and checked first.
    QFile setup(m_options.setup);
    QDir().mkpath(QFileInfo(m_installerPath).absolutePath());
    QDir().mkpath(QFileInfo(m_descriptorPath).absolutePath());
    QDir().mkpath(underOut(m_options.out, QStringLiteral("LAUNCHER_FILES")));
    QSaveFile installer(m_installerPath);
    QCryptographicHash sha256(QCryptographicHash::Sha256);
    if (!setup.open(QIODevice::ReadOnly) || !installer.open(QIODevice::WriteOnly)) {
        m_problems.append(QStringLiteral("%1 cannot be copied to %2").arg(m_options.setup, m_installerPath));
        return false;
    }
    qint64 copied = 0;
    while (!setup.atEnd()) {
        const QByteArray chunk = setup.read(1024 * 1024);
        if (chunk.isEmpty() || installer.write(chunk) != chunk.size())
            break;
        sha256.addData(chunk);
        copied += chunk.size();
    }
    if (copied != m_release.size) {
        m_problems.append(QStringLiteral("%1 cannot be copied to %2, or changed meanwhile").arg(m_options.setup, m_installerPath));
        return false;
    }
    m_release.sha256 = QString::fromLatin1(sha256.result().toHex());

    const QByteArray descriptor = launcherReleaseText(m_release);
    const quint64 now = quint64(QDateTime::currentSecsSinceEpoch());
    const QByteArray signature = key.sign(descriptor, publicationComment(now, QStringLiteral("update.json"), m_descriptorUrl,
                                                                         now + quint64(m_options.expiresDays) * 86400));
    // The launcher's own check, as a launcher one version older reads it.
    SignedDocumentRules rules;
    rules.trustedKeys = QStringList { QString::fromLatin1(key.publicKeyLine()) };
    rules.address = m_descriptorUrl;
    rules.now = qint64(now);
    const ReleaseCheck check = checkLauncherRelease(descriptor, signature, rules, std::nullopt, m_options.version,
                                                    QStringLiteral("0"));
    if (!check.ok() || !(check.release == m_release)) {
        m_problems.append(QStringLiteral("the descriptor made is refused: ") + check.refusal);
        return false;
    }

    QSaveFile signatureFile(m_descriptorPath + QStringLiteral(".minisig"));
    QSaveFile descriptorFile(m_descriptorPath);
    QSaveFile versionFile(underOut(m_options.out, QStringLiteral("LAUNCHER_FILES/ver.txt")));
    const QList<std::pair<QSaveFile *, QByteArray>> files { { &signatureFile, signature },
                                                           { &descriptorFile, descriptor },
                                                           { &versionFile, m_options.version.toUtf8() } };
    for (const auto &[file, content] : files) {
        if (!file->open(QIODevice::WriteOnly) || file->write(content) != content.size()) {
            m_problems.append(QStringLiteral("%1 cannot be written: %2").arg(file->fileName(), file->errorString()));
            return false;
        }
    }
    // In place in the order players need: the installer, then the signature,
    // the descriptor, and last the version text that sends them to it.
    for (QSaveFile *file : { &installer, &signatureFile, &descriptorFile, &versionFile }) {
        if (!file->commit()) {
            m_problems.append(QStringLiteral("%1 cannot be put in place: %2").arg(file->fileName(), file->errorString()));
            return false;
        }
    }
    return true;
}
