#include "feeds/blockingget.h"

#include "platform/diagnostics.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

namespace {
// "HTTP 200"; "HTTP 404, error 203: <Qt's text>"; "no HTTP status, error 99: …".
QString outcome(const QNetworkReply *reply)
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    QString text = status.isValid() ? QStringLiteral("HTTP ") + status.toString() : QStringLiteral("no HTTP status");
    if (reply->error() != QNetworkReply::NoError)
        text += QStringLiteral(", error %1: %2").arg(reply->error()).arg(reply->errorString());
    return text;
}
} // namespace

QNetworkReply *blockingGet(QNetworkAccessManager &manager, QEventLoop &loop,
                           const QNetworkRequest &request,
                           const std::function<void(QNetworkReply *)> &started)
{
    // The user part of an address is left out of the log: logs get passed around.
    const QString shownUrl = request.url().toString(QUrl::RemoveUserInfo);
    QElapsedTimer clock;
    clock.start();
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
    QObject::connect(&watchdog, &QTimer::timeout, reply, [reply, &watchdog, &shownUrl] {
        qCInfo(lcNet).noquote() << "GET" << shownUrl << "- no progress for" << watchdog.interval()
                                << "ms, giving up";
        reply->abort();
    });
    watchdog.start();

    if (!reply->isFinished())
        loop.exec(QEventLoop::AllEvents);

    // The loop also ends when its thread is told to quit; a reply left
    // running then must not be read as a success.
    if (!reply->isFinished())
        reply->abort();
    qCInfo(lcNet).noquote() << "GET" << shownUrl << "->"
                            << outcome(reply) << "in" << clock.elapsed() << "ms";
    return reply;
}
