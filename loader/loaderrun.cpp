#include "loader/loaderrun.h"

#include "feeds/blockingget.h"
#include "trust/minisign.h"
#include "trust/signeddocument.h"
#include "loader/diskspace.h"
#include "loader/pathrules.h"
#include "loader/progress.h"
#include "loader/syncscheduler.h"
#include "transfer/pipelinednetworkmanager.h"
#include "transfer/transfer.h"
#include "platform/diagnostics.h"
#include "platform/installfolder.h"
#include "platform/launchersettings.h"
#include "platform/ragempsettings.h"
#include "servers/servercatalogue.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRandomGenerator>
#include <QSslConfiguration>
#include <QStorageInfo>
#include <QTimer>

#include <atomic>
#include <exception>

namespace {

const QString exeName = QStringLiteral("/ragemp_v.exe");

// Far above any real manifest; a runaway or hostile host must not fill the
// memory with one.
constexpr qint64 manifestSizeLimit = 64 * 1024 * 1024;

// The manifest with its signature, tries and waits included: a host that
// trickles a byte now and then must not hold the run forever.
std::atomic<long long> manifestDeadlineMs { 60000 };
std::atomic<long long> availableSpaceOverride { -1 };

// Server files must stay readable by their owner, or every run would find
// them unreadable, hash nothing and download them again; and writable by no
// other user (0644). On Windows only the write flags count: the file stays
// writable.
constexpr QFile::Permissions serverFilePermissions =
        QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;

std::chrono::milliseconds remaining(const QDeadlineTimer &deadline)
{
    return std::chrono::milliseconds(deadline.remainingTime());
}

// The current server's files, inside RageMP's folder.
QString serverFolderIn(const QString &ragePath)
{
    return ragePath + QStringLiteral("/client_resources/") + QString::fromUtf8(currentServer().identifier);
}

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

    // A whole body from the manifest's host: the manifest or its signature.
    struct Fetched
    {
        enum { Body, Failed, TooLarge, Stopped } end = Failed;
        QByteArray body;
        QString why; // for the diagnostics, when not a body
    };
    Fetched fetchWhole(const QString &url, qint64 sizeLimit);

    bool fetchManifest(LoaderOutcome &failure);
    bool checkSignature(const QByteArray &manifest, LoaderOutcome &failure);
    bool refuseUncheckedEntries(bool installNeeded, LoaderOutcome &failure);
    bool keepManifest(LoaderOutcome &failure);
    bool install(LoaderOutcome &failure);
    bool syncServerFiles(LoaderOutcome &failure);
    LoaderOutcome launch();
    bool failedSync(const SyncOutcome &outcome, const QList<FileEntry> &entries,
                    LoaderOutcome &failure);
    bool roomFor(const QString &folder, const QList<qint64> &sizes);
    QNetworkReply *getManifest(const QString &url, qint64 sizeLimit);
    void watchManifestReply(QNetworkReply *reply, qint64 sizeLimit);
    bool wait(std::chrono::milliseconds delay);

    const LoaderEnvironment &m_env;
    // One manager for the whole run, so that the files reuse its connections.
    PipelinedNetworkManager m_manager;
    QEventLoop m_loop;
    RageMpSettings m_settings;
    QString m_ragePath;
    QString m_exePath;
    ManifestSections m_manifest;
    AcceptedDocument m_acceptedManifest; // kept once its entries have passed their checks
    QDeadlineTimer m_manifestDeadline;
    bool m_manifestTooLarge = false;
    bool m_pastManifestDeadline = false;
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
    if (!fetchManifest(failure) || refuseUncheckedEntries(installNeeded, failure) || !keepManifest(failure))
        return failure;
    if (installNeeded && !install(failure))
        return failure;
    if (!syncServerFiles(failure))
        return failure;
    if (loaderThreadStopping())
        return stopped();
    return launch();
}

LoaderRun::Fetched LoaderRun::fetchWhole(const QString &url, qint64 sizeLimit)
{
    Fetched fetched;
    QNetworkReply *reply = getManifest(url, sizeLimit);
    if (!reply || (reply->error() != QNetworkReply::NoError && loaderThreadStopping())) {
        delete reply;
        fetched.end = Fetched::Stopped;
        return fetched;
    }
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (m_manifestTooLarge) {
        fetched.end = Fetched::TooLarge;
        fetched.why = QStringLiteral("longer than %1 bytes").arg(sizeLimit);
    } else if (m_pastManifestDeadline) {
        fetched.why = QStringLiteral("the manifest and its signature took longer than %1 s")
                              .arg(double(manifestDeadlineMs.load()) / 1000);
    } else if (reply->error() != QNetworkReply::NoError) {
        fetched.why = QStringLiteral("network error: ") + reply->errorString();
    } else if (status >= 300 && status < 400) {
        // Qt 5 follows none, and the 3xx body would read as the answer.
        const QByteArray location = reply->rawHeader("Location");
        fetched.why = QStringLiteral("HTTP %1, a redirect%2; redirects are not followed")
                              .arg(status)
                              .arg(location.isEmpty() ? QString()
                                                      : QStringLiteral(" to ") + QString::fromUtf8(location));
    } else {
        fetched.end = Fetched::Body;
        fetched.body = reply->readAll();
    }
    reply->deleteLater();
    return fetched;
}

bool LoaderRun::fetchManifest(LoaderOutcome &failure)
{
    m_manifestDeadline.setRemainingTime(manifestDeadlineMs.load());
    try {
        const Fetched fetched = fetchWhole(m_env.manifestUrl, manifestSizeLimit);
        if (fetched.end == Fetched::Stopped) {
            failure = stopped();
            return false;
        }
        if (fetched.end != Fetched::Body) {
            qCInfo(lcLoader).noquote() << "the manifest could not be fetched:" << fetched.why;
            failure = fail(fetched.end == Fetched::TooLarge ? QStringLiteral("Ошибка получения списка файлов.")
                                                            : QStringLiteral("Ошибка запроса файлов."));
            return false;
        }
        if (!m_env.manifestKeys.isEmpty() && !checkSignature(fetched.body, failure))
            return false;
        const QJsonArray array = manifestArray(fetched.body);
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
// anything in the manifest is read. What it vouches for is kept only once
// the manifest's entries have passed their checks too (keepManifest).
bool LoaderRun::checkSignature(const QByteArray &manifest, LoaderOutcome &failure)
{
    const Fetched fetched = fetchWhole(m_env.manifestUrl + QStringLiteral(".minisig"), maxMinisignFileSize);
    if (fetched.end == Fetched::Stopped || loaderThreadStopping()) {
        failure = stopped();
        return false;
    }
    std::optional<QByteArray> signature;
    if (fetched.end == Fetched::Body)
        signature = fetched.body;
    else
        qCInfo(lcLoader).noquote() << "the manifest's signature could not be fetched:" << fetched.why;

    SignedDocumentRules rules;
    rules.trustedKeys = m_env.manifestKeys;
    rules.address = m_env.manifestUrl;
    rules.minimumTimestamp = m_env.manifestMinTimestamp;
    rules.now = QDateTime::currentSecsSinceEpoch();
    const SignedDocumentCheck check =
            checkSignedDocument(manifest, signature, rules, acceptedDocument(m_env.manifestUrl));
    if (!check.ok()) {
        qCInfo(lcLoader).noquote() << "manifest refused:" << check.refusal;
        failure = fail(QStringLiteral("Ошибка проверки списка файлов."));
        return false;
    }
    qCInfo(lcLoader).noquote() << "manifest signed by key" << keyIdText(check.keyId)
                               << "at timestamp" << check.accepted.timestamp;
    m_acceptedManifest = check.accepted;
    return true;
}

// A launcher that cannot remember the manifest it took cannot refuse an
// older one later.
bool LoaderRun::keepManifest(LoaderOutcome &failure)
{
    if (m_env.manifestKeys.isEmpty() || keepAcceptedDocument(m_env.manifestUrl, m_acceptedManifest))
        return true;
    qCInfo(lcLoader).noquote() << "manifest refused: its timestamp and digest could not be stored at"
                               << LauncherSettings::location();
    failure = fail(QStringLiteral("Ошибка проверки списка файлов."));
    return false;
}

// Under a signed manifest, every entry the run would act on is checked
// before anything is written or the manifest kept: a file without a digest
// would be taken unchecked, one without a size could grow without bound, and
// a path that leaves its folder would end the run halfway through.
bool LoaderRun::refuseUncheckedEntries(bool installNeeded, LoaderOutcome &failure)
{
    if (m_env.manifestKeys.isEmpty())
        return false;
    const QString ragePath = installNeeded ? defaultInstallFolder() : m_ragePath;
    for (const QList<FileEntry> *files : { &m_manifest.ragempFiles, &m_manifest.serverFiles }) {
        if (files == &m_manifest.ragempFiles && !installNeeded)
            continue;
        if (const FileEntry *entry = firstUncheckedEntry(*files)) {
            qCInfo(lcLoader).noquote() << entry->file << "has no"
                                       << (entry->hash.isEmpty() ? "digest" : "size") << "in the manifest";
            failure = fail(QStringLiteral("Ошибка загрузки файла:") + entry->file);
            return true;
        }
        const QString base = files == &m_manifest.ragempFiles ? ragePath : serverFolderIn(ragePath);
        for (const FileEntry &entry : *files) {
            if (!isSafeRelativePath(entry.file, base)) {
                qCInfo(lcLoader).noquote() << entry.file << "is not a plain path inside its folder";
                failure = fail(QStringLiteral("Ошибка создание файла:") + entry.file);
                return true;
            }
        }
    }
    return false;
}

QNetworkReply *LoaderRun::getManifest(const QString &url, qint64 sizeLimit)
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
        reply = blockingGet(m_manager, m_loop, request, [this, sizeLimit](QNetworkReply *started) {
            watchManifestReply(started, sizeLimit);
        });
        if (reply->error() == QNetworkReply::NoError || tries == Transfer::maxTries
            || m_manifestTooLarge || m_pastManifestDeadline)
            break;
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (loaderThreadStopping() || !isPassingFailure(reply->error(), status))
            break;
        std::optional<std::chrono::seconds> retryAfter;
        if (status == 429 || status == 503)
            retryAfter = parseRetryAfter(reply->rawHeader("Retry-After"),
                                         QDateTime::currentDateTimeUtc());
        qCInfo(lcLoader).noquote() << url << "try" << tries << "failed:" << reply->errorString();
        const std::chrono::milliseconds delay =
                retryDelay(tries, retryAfter, QRandomGenerator::global()->generateDouble());
        const bool waited = wait(qMin(delay, remaining(m_manifestDeadline)));
        if (waited && m_manifestDeadline.hasExpired()) {
            m_pastManifestDeadline = true; // the failed try's reply is the answer
            break;
        }
        delete reply;
        reply = nullptr;
        if (!waited)
            break;
    }
    QObject::disconnect(quitOnFinish);
    return reply;
}

void LoaderRun::watchManifestReply(QNetworkReply *reply, qint64 sizeLimit)
{
    // Checked as the body arrives, and against the announced length first.
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply,
                     [this, reply, sizeLimit](qint64 received, qint64 total) {
                         if (received <= sizeLimit && total <= sizeLimit)
                             return;
                         qCInfo(lcLoader).noquote() << reply->url().toString() << "is longer than"
                                                    << sizeLimit << "bytes; not read further";
                         m_manifestTooLarge = true;
                         reply->abort();
                     });
    auto *deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    QObject::connect(deadline, &QTimer::timeout, reply, [this, reply] {
        m_pastManifestDeadline = true;
        reply->abort();
    });
    QObject::connect(reply, &QNetworkReply::finished, deadline, &QTimer::stop);
    deadline->start(remaining(m_manifestDeadline));
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
    if (outcome.noRoom) {
        failure = fail(QStringLiteral("Недостаточно места на диске."));
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

bool LoaderRun::roomFor(const QString &folder, const QList<qint64> &sizes)
{
    const qint64 available = availableSpaceOverride >= 0 ? availableSpaceOverride.load()
                                                         : QStorageInfo(folder).bytesAvailable();
    const DiskSpaceVerdict verdict = diskSpaceVerdict(sizes, available);
    if (!verdict.fits)
        qCInfo(lcLoader).noquote() << "not enough room for the files to fetch into" << folder << ":"
                                   << verdict.needed << "bytes needed," << available << "free";
    return verdict.fits;
}

bool LoaderRun::install(LoaderOutcome &failure)
{
    report(QStringLiteral("Установка RageMP"), 5);
    makeDefaultInstallFolder();
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
    hooks.room = [&](QList<qint64> sizes) {
        // The server's files go into this folder right after.
        for (const FileEntry &entry : m_manifest.serverFiles)
            sizes << entry.size;
        return roomFor(m_ragePath, sizes);
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
    const QString serverFolder = serverFolderIn(m_ragePath);
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
    hooks.room = [&](const QList<qint64> &sizes) { return roomFor(serverFolder, sizes); };
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

void setAvailableSpace(qint64 bytes)
{
    availableSpaceOverride = bytes;
}

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

void setManifestDeadline(std::chrono::milliseconds deadline)
{
    manifestDeadlineMs = deadline.count();
}
