#include "loader/loaderrun.h"

#include "feeds/blockingget.h"
#include "trust/minisign.h"
#include "loader/progress.h"
#include "loader/syncscheduler.h"
#include "transfer/pipelinednetworkmanager.h"
#include "transfer/transfer.h"
#include "platform/diagnostics.h"
#include "platform/installfolder.h"
#include "platform/ragempsettings.h"
#include "servers/servercatalogue.h"

#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRandomGenerator>
#include <QSslConfiguration>
#include <QTimer>

#include <exception>

namespace {

const QString exeName = QStringLiteral("/ragemp_v.exe");

// Far above any real manifest; a runaway or hostile host must not fill the
// memory with one.
constexpr qint64 manifestSizeLimit = 64 * 1024 * 1024;

// Server files must stay readable by their owner, or every run would find
// them unreadable, hash nothing and download them again.
constexpr QFile::Permissions serverFilePermissions =
        QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther | QFile::WriteOther;

void makeFolder(const QString &path)
{
    if (!QFileInfo::exists(path))
        QDir().mkdir(path);
}

class LoaderRun
{
public:
    explicit LoaderRun(const LoaderEnvironment &environment) : m_env(environment) { }

    LoaderOutcome exec();

private:
    void report(const QString &info, int percent) { m_env.report(info, percent); }
    LoaderOutcome fail(const QString &errorInfo) { return { false, errorInfo }; }
    LoaderOutcome stopped() { return { false, QString() }; }

    bool fetchManifest(LoaderOutcome &failure);
    bool checkSignature(const QByteArray &manifest, LoaderOutcome &failure);
    bool refuseUndigested(bool installNeeded, LoaderOutcome &failure);
    bool install(LoaderOutcome &failure);
    bool syncServerFiles(LoaderOutcome &failure);
    LoaderOutcome launch();
    bool failedSync(const SyncOutcome &outcome, const QList<FileEntry> &entries,
                    LoaderOutcome &failure);
    QNetworkReply *getManifest(const QString &url);
    void limitManifestSize(QNetworkReply *reply);
    bool wait(std::chrono::milliseconds delay);

    const LoaderEnvironment &m_env;
    // One manager for the whole run, so that the files reuse its connections.
    PipelinedNetworkManager m_manager;
    QEventLoop m_loop;
    RageMpSettings m_settings;
    QString m_ragePath;
    QString m_exePath;
    ManifestSections m_manifest;
    bool m_manifestTooLarge = false;
};

LoaderOutcome LoaderRun::exec()
{
    report(QStringLiteral("Поиск RageMP"), 0);
    bool installNeeded = true;
    if (m_settings.contains(RageMpSettings::ragePathKey())) {
        m_ragePath = m_settings.value(RageMpSettings::ragePathKey());
        m_exePath = m_ragePath + exeName;
        if (QFileInfo(m_exePath).isFile())
            installNeeded = false;
    }

    report(QStringLiteral("Получение списка файлов..."), 1);
    LoaderOutcome failure;
    if (!fetchManifest(failure) || refuseUndigested(installNeeded, failure))
        return failure;
    if (installNeeded && !install(failure))
        return failure;
    if (!syncServerFiles(failure))
        return failure;
    if (loaderThreadStopping())
        return stopped();
    return launch();
}

bool LoaderRun::fetchManifest(LoaderOutcome &failure)
{
    try {
        QNetworkReply *reply = getManifest(m_env.manifestUrl);
        if (!reply) {
            failure = stopped();
            return false;
        }
        if (m_manifestTooLarge) {
            reply->deleteLater();
            failure = fail(QStringLiteral("Ошибка получения списка файлов."));
            return false;
        }
        if (reply->error() != QNetworkReply::NoError) {
            reply->deleteLater();
            failure = loaderThreadStopping() ? stopped()
                                             : fail(QStringLiteral("Ошибка запроса файлов."));
            return false;
        }
        const QByteArray body = reply->readAll();
        reply->deleteLater();
        if (!m_env.manifestKeys.isEmpty() && !checkSignature(body, failure))
            return false;
        const QJsonArray array = manifestArray(body);
        if (array.isEmpty()) {
            failure = fail(QStringLiteral("Ошибка получения списка файлов (*)."));
            return false;
        }
        m_manifest = splitManifest(array);
    } catch (const std::exception &) {
        failure = fail(QStringLiteral("Ошибка получения списка файлов."));
        return false;
    }
    return true;
}

// The signature comes from beside the manifest, the same way, before
// anything in the manifest is read.
bool LoaderRun::checkSignature(const QByteArray &manifest, LoaderOutcome &failure)
{
    QNetworkReply *reply = getManifest(m_env.manifestUrl + QStringLiteral(".minisig"));
    if (!reply || loaderThreadStopping()) {
        delete reply;
        failure = stopped();
        return false;
    }
    std::optional<QByteArray> signature;
    if (reply->error() == QNetworkReply::NoError)
        signature = reply->readAll();
    else
        qCInfo(lcLoader).noquote() << "the manifest's signature:" << reply->errorString();
    reply->deleteLater();
    if (acceptSignedManifest(m_env.manifestUrl, manifest, signature, m_env.manifestKeys))
        return true;
    failure = fail(QStringLiteral("Ошибка проверки списка файлов."));
    return false;
}

// Under a signed manifest, a file without a digest would be taken unchecked.
bool LoaderRun::refuseUndigested(bool installNeeded, LoaderOutcome &failure)
{
    if (m_env.manifestKeys.isEmpty())
        return false;
    for (const QList<FileEntry> *files : { &m_manifest.ragempFiles, &m_manifest.serverFiles }) {
        if (files == &m_manifest.ragempFiles && !installNeeded)
            continue;
        for (const FileEntry &entry : *files) {
            if (entry.hash.isEmpty()) {
                qCInfo(lcLoader).noquote() << entry.file << "has no digest in the manifest";
                failure = fail(QStringLiteral("Ошибка загрузки файла:") + entry.file);
                return true;
            }
        }
    }
    return false;
}

QNetworkReply *LoaderRun::getManifest(const QString &url)
{
    QNetworkRequest request { QUrl(url) };
    QSslConfiguration ssl = request.sslConfiguration();
    ssl.setPeerVerifyMode(QSslSocket::VerifyNone);
    request.setSslConfiguration(ssl);
    const QMetaObject::Connection quitOnFinish = QObject::connect(
            &m_manager, &QNetworkAccessManager::finished, &m_loop, &QEventLoop::quit);
    QNetworkReply *reply = nullptr;
    m_manifestTooLarge = false;
    for (int tries = 1;; ++tries) {
        reply = blockingGet(m_manager, m_loop, request,
                            [this](QNetworkReply *started) { limitManifestSize(started); });
        if (reply->error() == QNetworkReply::NoError || tries == Transfer::maxTries
            || m_manifestTooLarge)
            break;
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (loaderThreadStopping() || !isPassingFailure(reply->error(), status))
            break;
        std::optional<std::chrono::seconds> retryAfter;
        if (status == 429 || status == 503)
            retryAfter = parseRetryAfter(reply->rawHeader("Retry-After"),
                                         QDateTime::currentDateTimeUtc());
        qCInfo(lcLoader).noquote() << url << "try" << tries << "failed:" << reply->errorString();
        delete reply;
        reply = nullptr;
        if (!wait(retryDelay(tries, retryAfter, QRandomGenerator::global()->generateDouble())))
            break;
    }
    QObject::disconnect(quitOnFinish);
    return reply;
}

void LoaderRun::limitManifestSize(QNetworkReply *reply)
{
    // Checked as the body arrives, and against the announced length first.
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply,
                     [this, reply](qint64 received, qint64 total) {
                         if (received <= manifestSizeLimit && total <= manifestSizeLimit)
                             return;
                         qCInfo(lcLoader) << "the manifest is longer than" << manifestSizeLimit
                                          << "bytes; not read further";
                         m_manifestTooLarge = true;
                         reply->abort();
                     });
}

bool LoaderRun::wait(std::chrono::milliseconds delay)
{
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &m_loop, &QEventLoop::quit);
    timer.start(delay);
    m_loop.exec();
    // The loop also ends when the thread is told to quit.
    return !timer.isActive();
}

bool LoaderRun::failedSync(const SyncOutcome &outcome, const QList<FileEntry> &entries,
                           LoaderOutcome &failure)
{
    if (outcome.stopped()) {
        failure = stopped();
        return true;
    }
    if (outcome.failedIndex < 0)
        return false;
    const QString &file = entries.at(outcome.failedIndex).file;
    const SyncResult &result = outcome.failure;
    switch (result.outcome) {
    case SyncResult::UpToDate:
    case SyncResult::Replaced:
        return false;
    case SyncResult::CreateFailed:
        failure = fail(QStringLiteral("Ошибка создание файла:") + file);
        return true;
    case SyncResult::NetworkFailed:
        m_env.showMessage(result.networkError);
        failure = fail(QStringLiteral("Ошибка загрузки файла:") + file);
        return true;
    case SyncResult::DownloadFailed:
        failure = fail(QStringLiteral("Ошибка загрузки файла:") + file);
        return true;
    case SyncResult::Stopped:
        failure = stopped();
        return true;
    }
    return true;
}

bool LoaderRun::install(LoaderOutcome &failure)
{
    report(QStringLiteral("Установка RageMP"), 5);
    makeFolder(defaultInstallParent());
    makeFolder(defaultInstallFolder());
    m_ragePath = defaultInstallFolder();
    m_exePath = m_ragePath + exeName;
    makeFolder(m_ragePath);

    const QList<FileEntry> &files = m_manifest.ragempFiles;
    SyncHooks hooks;
    hooks.step = [&](int index, SyncStep at) {
        const QString step = QStringLiteral("Установка RageMP ( ") + files.at(index).file;
        if (at == SyncStep::Started)
            report(step + QStringLiteral(" )"), 5);
        else if (at == SyncStep::Opening)
            report(step + QStringLiteral(" ) ( загрузка )."), 5);
        else if (at == SyncStep::Written)
            report(step + QStringLiteral(" ) ( готово )."), 5);
    };
    SyncScheduler scheduler(m_manager);
    if (failedSync(scheduler.run(files, m_ragePath, hooks), files, failure))
        return false;
    if (QFileInfo(m_exePath).isFile())
        makeExecutable(m_exePath);
    // Written last: only a complete install counts as one at the next run.
    m_settings.setValue(RageMpSettings::ragePathKey(), m_ragePath);
    m_settings.sync();
    return true;
}

bool LoaderRun::syncServerFiles(LoaderOutcome &failure)
{
    report(QStringLiteral("Проверка файлов сервера"), 10);
    makeFolder(m_ragePath + QStringLiteral("/client_resources"));
    const QString serverFolder = m_ragePath + QStringLiteral("/client_resources/")
            + QString::fromUtf8(currentServer().identifier);
    makeFolder(serverFolder);

    const QList<FileEntry> &files = m_manifest.serverFiles;
    const int count = files.size();
    int shownPercent = 10;
    auto show = [&](const QString &info, int percent) {
        // Never backwards, even when a download starts over.
        shownPercent = qMax(shownPercent, percent);
        report(info, shownPercent);
    };
    SyncHooks hooks;
    hooks.step = [&](int index, SyncStep at) {
        if (at == SyncStep::Hashing)
            show(QStringLiteral("Проверка ") + files.at(index).file, serverFileProgress(index, count));
        else if (at == SyncStep::Opened)
            show(QStringLiteral("Загрузка ") + files.at(index).file, serverFileProgress(index, count));
    };
    hooks.progress = [&](int index, qint64 received, qint64 total) {
        show(QStringLiteral("Загрузка ") + files.at(index).file,
             serverFileProgressWithin(index, count, received, total));
    };
    hooks.placed = [&](int index) {
        QFile::setPermissions(serverFolder + QLatin1Char('/') + files.at(index).file,
                              serverFilePermissions);
    };
    SyncScheduler scheduler(m_manager);
    return !failedSync(scheduler.run(files, serverFolder, hooks), files, failure);
}

LoaderOutcome LoaderRun::launch()
{
    report(QStringLiteral("Запуск RageMP..."), 90);
    const ServerEntry &server = currentServer();
    const QString host = QString::fromUtf8(server.host);
    const QString port = QString::fromUtf8(server.port);
    m_settings.setValue(RageMpSettings::launchIpKey(), host);
    m_settings.setValue(RageMpSettings::launchPortKey(), port);
    m_settings.setValue(RageMpSettings::launch2IpKey(), host);
    m_settings.setValue(RageMpSettings::launch2PortKey(), port);
    // The game reads them as it starts: unwritten, it would join another
    // server or none, so it is not started.
    if (!m_settings.sync()) {
        qCWarning(lcLoader).noquote() << "the launch values could not be written to"
                                      << RageMpSettings::location();
        return fail(QStringLiteral("Ошибка запуска игры."));
    }
    // A client that is missing, quarantined or not a program must not read
    // as a game started.
    if (!QFileInfo(m_exePath).isFile()
        || !QProcess::startDetached(m_exePath, { QString::fromUtf8(server.identifier) }, m_ragePath)) {
        qCWarning(lcLoader).noquote() << "the game could not be started:" << m_exePath;
        return fail(QStringLiteral("Ошибка запуска игры."));
    }
    return { true, QString() };
}

} // namespace

bool loaderThreadStopping()
{
    // QThread::quit() marks the thread so that every event loop started on
    // it afterwards returns -1 at once; otherwise this loop runs one pass.
    QEventLoop probe;
    QTimer::singleShot(0, &probe, [&probe] { probe.exit(0); });
    return probe.exec() == -1;
}

LoaderOutcome runLoader(const LoaderEnvironment &environment)
{
    qCInfo(lcLoader).noquote() << "load started, manifest" << environment.manifestUrl;
    LoaderRun run(environment);
    const LoaderOutcome outcome = run.exec();
    qCInfo(lcLoader).noquote() << "load ended:"
                               << (outcome.result ? QStringLiteral("game started")
                                                  : outcome.errorInfo.isEmpty() ? QStringLiteral("stopped")
                                                                                : outcome.errorInfo);
    return outcome;
}
