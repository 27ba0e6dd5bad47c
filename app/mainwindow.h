#pragma once

#include "loader/gameloaderstatus.h"
#include "platform/networkaddresses.h"
#include "update/launcherupdate.h"

#include <QObject>
#include <QString>
#include <QThread>

class QQmlApplicationEngine;
class GameLoaderWorker;

// The controller behind the scene. Its constructor is the whole start-up:
// status object, news, scene, loader wiring, online counts, version check;
// where the launcher updates itself, the update follows in the event loop.
class MainWindow : public QObject
{
    Q_OBJECT
    // Constant: the pointer never changes, and bindings through a property
    // with neither a change signal nor CONSTANT draw a warning at each read.
    Q_PROPERTY(GameLoaderStatus *gameLoaderStatus READ gameLoaderStatus CONSTANT)

public:
    explicit MainWindow(const NetworkAddresses &addresses = NetworkAddresses::builtIn(),
                        const SelfUpdate &selfUpdate = SelfUpdate::builtIn());
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
    void updateLauncher();

    QQmlApplicationEngine *engine = nullptr;
    QThread loaderThread;
    GameLoaderWorker *worker = nullptr;
    GameLoaderStatus *status = nullptr;

    SelfUpdate m_selfUpdate;
    std::optional<UpdateSource> m_update; // once another version is announced
    QString m_downloadPage;
    bool m_updateAfterLoad = false;
};
