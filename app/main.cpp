#include "app/mainwindow.h"
#include "platform/tlsconfig.h"

#include <QApplication>

int main(int argc, char **argv)
{
    // The scene is laid out in device pixels on every screen.
    QCoreApplication::setAttribute(Qt::AA_DisableHighDpiScaling);
    auto *app = new QApplication(argc, argv);
    installBuiltInCaCertificates();

    // Never destroyed: it lives until the process ends.
    auto *window = new MainWindow;
    app->exec();

    // The window system closed the window: a load still running is stopped
    // cleanly before the process ends.
    window->stopRunningLoad();
    delete app;
    return 0;
}
