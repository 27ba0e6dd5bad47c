// Stands in for the RageMP client where the real one cannot run: it records
// how the launcher started it, then briefly shows which server it joins.
#include "platform/ragempsettings.h"
#include "standin/launchrecord.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QTimer>

#include <memory>

namespace {

bool displayAvailable()
{
#if defined(Q_OS_WIN) || defined(Q_OS_MACOS)
    return true;
#else
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (platform.startsWith("offscreen") || platform.startsWith("minimal"))
        return false;
    return qEnvironmentVariableIsSet("DISPLAY") || qEnvironmentVariableIsSet("WAYLAND_DISPLAY");
#endif
}

} // namespace

int main(int argc, char **argv)
{
    const bool withWindow = displayAvailable();
    std::unique_ptr<QCoreApplication> app(withWindow ? new QApplication(argc, argv)
                                                     : new QCoreApplication(argc, argv));

    const QStringList arguments = app->arguments().mid(1);
    RageMpSettings settings;
    QFile log(QCoreApplication::applicationDirPath() + QStringLiteral("/ragemp-standin.log"));
    if (log.open(QIODevice::WriteOnly | QIODevice::Append)) {
        log.write(launchRecord(settings, arguments, QDir::currentPath(),
                               QCoreApplication::applicationPid(),
                               QDateTime::currentDateTimeUtc()));
        log.close();
    }
    if (!withWindow)
        return 0;

    QLabel window(QStringLiteral("RageMP (stand-in)\n\nJoining %1:%2\n%3")
                          .arg(settings.value(RageMpSettings::launchIpKey()),
                               settings.value(RageMpSettings::launchPortKey()),
                               arguments.value(0)));
    window.setWindowTitle(QStringLiteral("RageMP"));
    window.setAlignment(Qt::AlignCenter);
    window.setMargin(24);
    window.show();
    QTimer::singleShot(4000, app.get(), &QCoreApplication::quit);
    return app->exec();
}
