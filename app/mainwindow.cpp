#include "app/mainwindow.h"

#include "app/messagebox.h"
#include "feeds/blockingget.h"
#include "feeds/newsfeed.h"
#include "feeds/onlinestats.h"
#include "feeds/versioncheck.h"
#include "loader/gameloaderstatus.h"
#include "loader/gameloaderworker.h"
#include "platform/diagnostics.h"
#include "servers/servercatalogue.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QSslConfiguration>
#include <QTimer>
#include <QUrl>
#include <QWindow>

#include <cstdlib>

namespace {

void publish(QQmlContext *context, const ContextProperties &properties)
{
    for (const auto &property : properties)
        context->setContextProperty(property.first, property.second);
}

QNetworkRequest requestFor(const QString &url)
{
    return QNetworkRequest(QUrl(url, QUrl::TolerantMode));
}

bool failed(const QNetworkReply *reply)
{
    return reply->error() != QNetworkReply::NoError;
}

} // namespace

MainWindow::MainWindow(const NetworkAddresses &addresses, const SelfUpdate &selfUpdate)
    : QObject(nullptr), m_selfUpdate(selfUpdate)
{
    // The scene reads the status through this type, and the play request
    // carries it across threads.
    qRegisterMetaType<GameLoaderStatus *>();
    status = new GameLoaderStatus;
    qCInfo(lcStartup) << "status object created";

    bool windowClosed = false;
    QEventLoop loop;
    QNetworkAccessManager manager;
    QObject::connect(&manager, SIGNAL(finished(QNetworkReply *)), &loop, SLOT(quit()));
    // A fetch of start-up; none, and no reply, once the window has closed.
    const auto startupGet = [&](const QNetworkRequest &request) -> QNetworkReply * {
        QNetworkReply *reply = windowClosed ? nullptr : blockingGet(manager, loop, request);
        if (!windowClosed)
            return reply;
        qCInfo(lcStartup) << "window closed during start-up: start-up ends";
        return nullptr;
    };
    QNetworkRequest request;

    // The news host is read without verifying its certificate.
    request = requestFor(addresses.newsApi());
    QSslConfiguration relaxed = request.sslConfiguration();
    relaxed.setPeerVerifyMode(QSslSocket::VerifyNone);
    relaxed.setProtocol(QSsl::TlsV1_2);
    request.setSslConfiguration(relaxed);
    qCInfo(lcStartup) << "news fetch";
    QNetworkReply *newsReply = blockingGet(manager, loop, request);
    if (failed(newsReply))
        fetchFailed();
    // The manager would reuse the unverified connection for the next
    // requests to the same host; they must verify afresh.
    manager.clearConnectionCache();

    engine = new QQmlApplicationEngine;
    QQmlContext *context = engine->rootContext();
    context->setContextProperty(QStringLiteral("self"), this);
    engine->load(QUrl(QStringLiteral("qrc:/main.qml")));
    qCInfo(lcStartup) << (engine->rootObjects().isEmpty() ? "scene failed to load" : "scene loaded");
    // Qt ends the program when its last window closes only once the main
    // event loop runs (before it, not even lastWindowClosed comes); a close
    // during start-up would wait for the fetch in flight, and the ones after
    // it, however long their hosts hold them. It ends the wait at once
    // instead, and start-up with it.
    for (QObject *root : engine->rootObjects()) {
        if (auto *sceneWindow = qobject_cast<QWindow *>(root)) {
            connect(sceneWindow, &QWindow::visibleChanged, &loop, [&windowClosed, &loop](bool visible) {
                if (visible)
                    return;
                windowClosed = true;
                loop.quit();
            });
        }
    }

    worker = new GameLoaderWorker(addresses.manifest(), showMessage);
    worker->setManifestKeys(addresses.manifestKeys);
    worker->moveToThread(&loaderThread);
    connect(&loaderThread, &QThread::finished, worker, &QObject::deleteLater);
    connect(this, &MainWindow::gameLoadOperate, worker, &GameLoaderWorker::loadGame);
    connect(worker, &GameLoaderWorker::resultReady, this, &MainWindow::gameLoadResult);
    qCInfo(lcStartup) << "loader wired";

    context->setContextProperty(QStringLiteral("currentServerName"),
                                QString::fromUtf8(currentServer().displayName));
    const ContextProperties news = newsProperties(parseNews(newsReply->readAll(), addresses.newsPagePrefix()));
    publish(context, news);
    qCInfo(lcStartup) << "news items published:" << news.size() / 3;

    request = requestFor(addresses.statsApi());
    qCInfo(lcStartup) << "statistics fetch";
    QNetworkReply *statsReply = startupGet(request);
    if (!statsReply)
        return;
    if (failed(statsReply))
        fetchFailed();
    publish(context, onlineProperties(parseOnline(statsReply->readAll())));
    qCInfo(lcStartup) << "online counts published";

    request = requestFor(addresses.versionFile());
    qCInfo(lcStartup) << "version fetch";
    QNetworkReply *versionReply = startupGet(request);
    if (!versionReply)
        return;
    checkLauncherVersion(versionReply, addresses);
    qCInfo(lcStartup) << "start-up complete";
}

MainWindow::~MainWindow()
{
    loaderThread.quit();
    loaderThread.wait();
}

void MainWindow::fetchFailed()
{
    qCInfo(lcStartup) << "fetch failed: message, then exit";
    showMessage(QStringLiteral("Ошибка получения данных."));
    // The player may have started a load while the statistics were fetched.
    stopRunningLoad();
    std::exit(0);
}

void MainWindow::checkLauncherVersion(QNetworkReply *reply, const NetworkAddresses &addresses)
{
    // An aborted reply is closed; reading it would draw a warning from Qt.
    const QByteArray body = reply->isOpen() ? reply->readAll() : QByteArray();
    if (failed(reply) || !isOtherVersionPublished(body)) {
        qCInfo(lcStartup) << "no new version to announce";
        return;
    }
    qCInfo(lcStartup) << "another version is published:" << body.left(64);
    showMessage(QStringLiteral("Вышла новая версия лаунчера."));
    m_downloadPage = addresses.downloadPage();
    if (!m_selfUpdate.enabled) {
        QDesktopServices::openUrl(QUrl(m_downloadPage, QUrl::TolerantMode));
        return;
    }
    m_update = UpdateSource { addresses.launcherUpdate(), QString::fromUtf8(body), launcherVersion(),
                              addresses.manifestKeys, addresses.manifestMinTimestamp };
    // In the main event loop, with the window usable: start-up is over.
    QTimer::singleShot(0, this, &MainWindow::updateLauncher);
}

void MainWindow::updateLauncher()
{
    // Never beside a load: it comes once the load has ended.
    if (status->gameLoadStarted()) {
        m_updateAfterLoad = true;
        return;
    }
    // As a load shows itself, so that play waits: "Обновление лаунчера ( N% )".
    const QString infoBefore = status->info();
    status->setGameLoadStarted(true);
    status->setInfo(QStringLiteral("Обновление лаунчера"));
    status->setLoadPercent(0);
    auto *update = new LauncherUpdate(*m_update, m_selfUpdate, this);
    connect(update, &LauncherUpdate::progressed, status, &GameLoaderStatus::setLoadPercent);
    connect(update, &LauncherUpdate::finished, this, [this, update, infoBefore](bool installerStarted) {
        update->deleteLater();
        if (installerStarted) {
            // As a closed window ends it; the installer waits for the process to end.
            QCoreApplication::exit(0);
            return;
        }
        status->setGameLoadStarted(false);
        status->setInfo(infoBefore);
        status->setLoadPercent(0);
        QDesktopServices::openUrl(QUrl(m_downloadPage, QUrl::TolerantMode));
    });
    update->start();
}

void MainWindow::stopRunningLoad()
{
    if (!status->gameLoadStarted())
        return;
    loaderThread.quit();
    loaderThread.wait();
}

void MainWindow::buttonHeaderOpenURL(QString url)
{
    QDesktopServices::openUrl(QUrl(url, QUrl::TolerantMode));
}

void MainWindow::buttonStartPlayClick()
{
    if (status->gameLoadStarted())
        return;
    status->setGameLoadStarted(true);
    status->setInfo(QStringLiteral("Запускаем..."));
    status->setLoadPercent(0);
    loaderThread.start(QThread::InheritPriority);
    emit gameLoadOperate(status);
}

void MainWindow::buttonSetServer(int index)
{
    if (status->gameLoadStarted() || !setCurrentServer(index))
        return;
    engine->rootContext()->setContextProperty(QStringLiteral("currentServerName"),
                                              QString::fromUtf8(currentServer().displayName));
}

void MainWindow::buttonExitClick()
{
    stopRunningLoad();
    std::exit(0);
}

void MainWindow::gameLoadResult(bool result, const QString &errorInfo)
{
    status->setGameLoadStarted(false);
    status->setInfo(result ? QStringLiteral("Игра готова к запуску") : errorInfo);
    status->setLoadPercent(0);
    if (std::exchange(m_updateAfterLoad, false))
        updateLauncher();
}
