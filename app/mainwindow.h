#pragma once

#include "platform/networkaddresses.h"

#include <QObject>
#include <QString>
#include <QThread>

class QQmlApplicationEngine;
class GameLoaderStatus;
class GameLoaderWorker;

// The controller behind the scene. Its constructor is the whole start-up:
// status object, news, scene, loader wiring, online counts, version check.
class MainWindow : public QObject
{
    Q_OBJECT
    Q_PROPERTY(GameLoaderStatus *gameLoaderStatus READ gameLoaderStatus)

public:
    explicit MainWindow(const NetworkAddresses &addresses = NetworkAddresses::builtIn());
    ~MainWindow() override;

    GameLoaderStatus *gameLoaderStatus() const { return status; }
    QQmlApplicationEngine *qmlEngine() const { return engine; }

    // Stops a running load: quits the loader thread and waits for it.
    void stopRunningLoad();

    Q_INVOKABLE void buttonHeaderOpenURL(QString url);
    Q_INVOKABLE void buttonStartPlayClick();
    Q_INVOKABLE void buttonSetServer(int index);
    Q_INVOKABLE void buttonExitClick();

signals:
    void gameLoadOperate(GameLoaderStatus *status);

public slots:
    void gameLoadResult(bool result, const QString &errorInfo);

private:
    [[noreturn]] void fetchFailed();
    void checkLauncherVersion(class QNetworkReply *reply, const NetworkAddresses &addresses);

    QQmlApplicationEngine *engine = nullptr;
    QThread loaderThread;
    GameLoaderWorker *worker = nullptr;
    GameLoaderStatus *status = nullptr;
};
