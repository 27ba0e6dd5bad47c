#include "update/launcherupdate.h"

#include "platform/diagnostics.h"
#include "platform/fetchtimeout.h"
#include "platform/launchersettings.h"
#include "transfer/transfer.h"
#include "trust/minisign.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QNetworkReply>
#include <QProcess>
#include <QStandardPaths>
#include <QTimer>

SelfUpdate SelfUpdate::builtIn()
{
    SelfUpdate setup;
#ifdef Q_OS_WIN
    setup.enabled = true;
    // %LOCALAPPDATA%: the player's own, no elevation needed.
    setup.folder = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
            + QStringLiteral("/Zanrok/updates");
    setup.startInstaller = [](const QString &installer) {
        return QProcess::startDetached(installer, { QStringLiteral("/S"), QStringLiteral("/UPDATE") },
                                       QFileInfo(installer).absolutePath());
    };
#endif
    return setup;
}

LauncherUpdate::LauncherUpdate(UpdateSource source, SelfUpdate setup, QObject *parent)
    : QObject(parent), m_source(std::move(source)), m_setup(std::move(setup))
{
}

LauncherUpdate::~LauncherUpdate() = default;

void LauncherUpdate::start()
{
    qCInfo(lcUpdate).noquote() << "updating from" << m_source.ownVersion << "to the published"
                               << m_source.versionText.left(64) << "through" << m_source.descriptorUrl;
    fetch(m_source.descriptorUrl, [this](const std::optional<QByteArray> &descriptor) {
        if (!descriptor)
            return fallBack(QStringLiteral("no descriptor"));
        fetch(m_source.descriptorUrl + QStringLiteral(".minisig"),
              [this, descriptor](const std::optional<QByteArray> &signature) { check(*descriptor, signature); });
    });
}

// A small document, whole: an error status, a redirect, a body past the
// cap or a fetch past the deadline gives nothing.
void LauncherUpdate::fetch(const QString &url, const Fetched &done)
{
    QNetworkReply *reply = m_manager.get(QNetworkRequest(QUrl(url)));
    auto *deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, reply, [reply] {
        reply->setProperty("why", QStringLiteral("no answer in time"));
        reply->abort();
    });
    deadline->start(fetchInactivityTimeout());
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64 total) {
        if (received <= maxDescriptorSize && total <= maxDescriptorSize)
            return;
        reply->setProperty("why", QStringLiteral("longer than %1 bytes").arg(maxDescriptorSize));
        reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this, [reply, url, done] {
        reply->deleteLater();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        QString why = reply->property("why").toString();
        if (why.isEmpty() && reply->error() != QNetworkReply::NoError)
            why = reply->errorString();
        else if (why.isEmpty() && (status < 200 || status > 299))
            why = QStringLiteral("HTTP %1").arg(status);
        if (!why.isEmpty()) {
            qCInfo(lcUpdate).noquote() << url << "could not be fetched:" << why;
            return done(std::nullopt);
        }
        done(reply->readAll());
    });
}

void LauncherUpdate::check(const QByteArray &descriptor, const std::optional<QByteArray> &signature)
{
    SignedDocumentRules rules;
    rules.trustedKeys = m_source.trustedKeys;
    rules.address = m_source.descriptorUrl;
    rules.minimumTimestamp = m_source.minimumTimestamp;
    rules.now = QDateTime::currentSecsSinceEpoch();
    const ReleaseCheck check = checkLauncherRelease(descriptor, signature, rules,
                                                    acceptedDocument(m_source.descriptorUrl),
                                                    m_source.versionText, m_source.ownVersion);
    if (!check.ok())
        return fallBack(QStringLiteral("the descriptor refused: ") + check.refusal);
    // Remembered, so that an older one is refused later, as a manifest is.
    if (!keepAcceptedDocument(m_source.descriptorUrl, check.accepted)) {
        return fallBack(QStringLiteral("the descriptor's timestamp could not be stored at ")
                        + LauncherSettings::location());
    }
    qCInfo(lcUpdate).noquote() << "the descriptor, signed at" << check.accepted.timestamp << "offers"
                               << check.release.version << "from" << check.release.url
                               << QStringLiteral("(%1 bytes, SHA-256 %2)").arg(check.release.size).arg(check.release.sha256);
    download(check.release);
}

void LauncherUpdate::download(const LauncherRelease &release)
{
    // The folder is named by the checked version: digits and dots only.
    const QString folder = m_setup.folder + QLatin1Char('/') + release.version;
    m_installer = folder + QStringLiteral("/ZanrokLauncherSetup.exe");
    if (!QDir().mkpath(folder))
        return fallBack(QStringLiteral("the folder %1 cannot be made").arg(QDir::toNativeSeparators(folder)));
    m_transfer = new Transfer(m_manager, release.url, m_installer, release.sha256, release.size, this);
    m_transfer->setDigestAlgorithm(QCryptographicHash::Sha256);
    if (!m_transfer->open())
        return fallBack(QStringLiteral("the installer cannot be written at %1").arg(QDir::toNativeSeparators(m_installer)));
    connect(m_transfer, &Transfer::progressed, this, [this, size = release.size] {
        emit progressed(int(qBound<qint64>(0, m_transfer->received() * 100 / size, 100)));
    });
    connect(m_transfer, &Transfer::finished, this, &LauncherUpdate::downloaded);
    if (m_transfer->keptPartSize() > 0)
        qCInfo(lcUpdate) << "resuming the installer after byte" << m_transfer->keptPartSize();
    m_transfer->start();
}

void LauncherUpdate::downloaded()
{
    switch (m_transfer->outcome()) {
    case Transfer::Outcome::Completed:
        break;
    case Transfer::Outcome::NetworkFailed:
        return fallBack(QStringLiteral("the installer could not be downloaded: ") + m_transfer->networkError());
    case Transfer::Outcome::CreateFailed:
        return fallBack(QStringLiteral("the installer cannot be put in place at ")
                        + QDir::toNativeSeparators(m_installer));
    default:
        // zanrok.loader has each try: cut, too long, too short or another digest.
        return fallBack(QStringLiteral("the installer downloaded is not the one signed for (its size or "
                                       "SHA-256 differs), or its download failed"));
    }
    emit progressed(100);
    if (!m_setup.startInstaller || !m_setup.startInstaller(m_installer))
        return fallBack(QStringLiteral("the installer %1 could not be started").arg(QDir::toNativeSeparators(m_installer)));
    qCInfo(lcUpdate).noquote() << "the installer" << QDir::toNativeSeparators(m_installer)
                               << "started with /S /UPDATE: the launcher ends";
    m_done = true;
    emit finished(true);
}

void LauncherUpdate::fallBack(const QString &reason)
{
    if (std::exchange(m_done, true))
        return;
    qCInfo(lcUpdate).noquote() << "no update:" << reason + QStringLiteral("; the download page instead");
    emit finished(false);
}
