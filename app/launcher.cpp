#include "app/launcher.h"

#include "app/instanceguard.h"
#include "app/mainwindow.h"
#include "platform/diagnostics.h"
#include "platform/tlsconfig.h"

#include <QApplication>
#include <QQmlApplicationEngine>
#include <QWindow>

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
    auto *window = new MainWindow(hooks.addresses ? hooks.addresses() : NetworkAddresses::builtIn());
    if (hooks.started)
        hooks.started(*window);

    // Qt quits when the last window closes only once the event loop runs; a
    // window closed during start-up, or a scene that never loaded, would
    // leave a process with nothing on screen that never ends.
    if (sceneOnScreen(*window))
        app.exec();
    else
        qCInfo(lcStartup) << "no window on screen after start-up: ending";

    // The window is gone: a load still running is stopped cleanly first.
    window->stopRunningLoad();
    return 0;
}
