#include "app/launcher.h"

#include "app/instanceguard.h"
#include "app/mainwindow.h"
#include "feeds/versioncheck.h"
#include "platform/diagnostics.h"
#include "platform/tlsconfig.h"
#include "update/earlierversions.h"

#include <QApplication>
#include <QQmlApplicationEngine>
#include <QQuickWindow>

#include <memory>

namespace {

bool sceneOnScreen(const MainWindow &window)
{
    for (QObject *root : window.qmlEngine()->rootObjects()) {
        auto *sceneWindow = qobject_cast<QWindow *>(root);
        if (sceneWindow && sceneWindow->isVisible())
            return true;
    }
    return false;
}

// After an update, what the earlier versions left goes once this version's
// window has been drawn: until then, the earlier one is the one that works.
void cleanUpOnceDrawn(const MainWindow &window, const SelfUpdate &selfUpdate)
{
    const QString own = launcherVersion();
    for (QObject *root : window.qmlEngine()->rootObjects()) {
        auto *scene = qobject_cast<QQuickWindow *>(root);
        if (!selfUpdate.enabled || !scene)
            continue;
        auto drawn = std::make_shared<QMetaObject::Connection>();
        *drawn = QObject::connect(scene, &QQuickWindow::frameSwapped, scene, [drawn, selfUpdate, own] {
            QObject::disconnect(*drawn);
            // Only once the installer has made this version the installed one.
            const std::optional<QString> root = versionedInstallRoot(QCoreApplication::applicationDirPath(), own);
            if (root && registeredVersion() == own)
                removeEarlierVersions(*root, own);
            removeEarlierInstallers(selfUpdate.folder, own);
        }, Qt::QueuedConnection);
        // The first frame may have come during start-up: one more.
        scene->update();
        return;
    }
}

} // namespace

int runLauncher(int &argc, char **argv, const LauncherHooks &hooks)
{
    // The scene is laid out in device pixels on every screen.
    QCoreApplication::setAttribute(Qt::AA_DisableHighDpiScaling);
    QApplication app(argc, argv);

    if (hooks.created)
        hooks.created();
    // Before the controller: a second launcher must not fetch or show anything.
    InstanceGuard instance;
    if (!instance.claim())
        return 0;
    installBuiltInCaCertificates();

    // Never destroyed: it lives until the process ends.
    const SelfUpdate selfUpdate = SelfUpdate::builtIn();
    auto *window = new MainWindow(hooks.addresses ? hooks.addresses() : NetworkAddresses::builtIn(), selfUpdate);
    if (hooks.started)
        hooks.started(*window);

    // Qt quits when the last window closes only once the event loop runs; a
    // window closed during start-up, or a scene that never loaded, would
    // leave a process with nothing on screen that never ends.
    if (sceneOnScreen(*window)) {
        cleanUpOnceDrawn(*window, selfUpdate);
        app.exec();
    } else {
        qCInfo(lcStartup) << "no window on screen after start-up: ending";
    }

    // The window is gone: a load still running is stopped cleanly first.
    window->stopRunningLoad();
    return 0;
}
