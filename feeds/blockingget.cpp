#include "feeds/blockingget.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

#include <atomic>

namespace {
std::atomic<long long> inactivityTimeoutMs { 30000 };
}

std::chrono::milliseconds fetchInactivityTimeout()
{
    return std::chrono::milliseconds(inactivityTimeoutMs.load());
}

void setFetchInactivityTimeout(std::chrono::milliseconds timeout)
{
    inactivityTimeoutMs = timeout.count();
}

QNetworkReply *blockingGet(QNetworkAccessManager &manager, QEventLoop &loop,
                           const QNetworkRequest &request,
                           const std::function<void(QNetworkReply *)> &started)
{
    QNetworkReply *reply = manager.get(request);
    if (started)
        started(reply);

    QTimer watchdog;
    watchdog.setSingleShot(true);
    watchdog.setInterval(fetchInactivityTimeout());
    auto keepAlive = [&watchdog] { watchdog.start(); };
    QObject::connect(reply, &QNetworkReply::downloadProgress, &watchdog, keepAlive);
    QObject::connect(reply, &QNetworkReply::uploadProgress, &watchdog, keepAlive);
    QObject::connect(reply, &QNetworkReply::metaDataChanged, &watchdog, keepAlive);
    QObject::connect(&watchdog, &QTimer::timeout, reply, &QNetworkReply::abort);
    watchdog.start();

    if (!reply->isFinished())
        loop.exec(QEventLoop::AllEvents);

    // The loop also ends when its thread is told to quit; a reply left
    // running then must not be read as a success.
    if (!reply->isFinished())
        reply->abort();
    return reply;
}
