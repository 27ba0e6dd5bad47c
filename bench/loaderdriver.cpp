// One loader run without a window: the controller's wiring (a worker on its
// own thread, the status object on this one, loadGame queued), timed from the
// queued call to resultReady. Prints one JSON line:
//   {"ok":true,"error":"","runMs":123.4,"reports":56}
// Usage: bench-loader <manifest url>
#include "loader/gameloaderstatus.h"
#include "loader/gameloaderworker.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (app.arguments().size() != 2) {
        std::fprintf(stderr, "usage: bench-loader <manifest url>\n");
        return 2;
    }

    GameLoaderStatus status;
    int reports = 0;
    QObject::connect(&status, &GameLoaderStatus::infoChange, [&reports] { ++reports; });

    QThread loaderThread;
    auto *worker = new GameLoaderWorker(app.arguments().at(1), [](const QString &text) {
        std::fprintf(stderr, "message: %s\n", qPrintable(text));
    });
    worker->moveToThread(&loaderThread);
    QObject::connect(&loaderThread, &QThread::finished, worker, &QObject::deleteLater);

    QElapsedTimer timer;
    QJsonObject outcome;
    QObject::connect(worker, &GameLoaderWorker::resultReady, &app,
                     [&](bool result, const QString &errorInfo) {
                         outcome = { { QStringLiteral("ok"), result },
                                     { QStringLiteral("error"), errorInfo },
                                     { QStringLiteral("runMs"), timer.nsecsElapsed() / 1e6 },
                                     { QStringLiteral("reports"), reports } };
                         app.quit();
                     });
    loaderThread.start();
    timer.start();
    QMetaObject::invokeMethod(worker, [worker, &status] { worker->loadGame(&status); },
                              Qt::QueuedConnection);
    app.exec();
    loaderThread.quit();
    loaderThread.wait();

    std::printf("%s\n", QJsonDocument(outcome).toJson(QJsonDocument::Compact).constData());
    return outcome.value(QStringLiteral("ok")).toBool() ? 0 : 1;
}
