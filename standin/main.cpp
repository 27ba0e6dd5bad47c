// Stands in for the RageMP client where the real one cannot run: it records
// how the launcher started it, then briefly shows which server it joins.
#include "platform/ragempsettings.h"
#include "standin/launchrecord.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QTimer>

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
    // The log comes first, from a plain application object, so that it is
    // written even where a window cannot be opened.
    QStringList arguments;
    QString server;
    {
        QCoreApplication app(argc, argv);
        arguments = app.arguments().mid(1);
        RageMpSettings settings;
        server = settings.value(RageMpSettings::launchIpKey()) + QLatin1Char(':')
                + settings.value(RageMpSettings::launchPortKey());
        QFile log(QCoreApplication::applicationDirPath() + QStringLiteral("/ragemp-standin.log"));
        if (log.open(QIODevice::WriteOnly | QIODevice::Append))
            log.write(launchRecord(settings, arguments, QDir::currentPath(),
                                   QCoreApplication::applicationPid(),
                                   QDateTime::currentDateTimeUtc()));
    }
    if (!displayAvailable())
        return 0;

    QApplication app(argc, argv);
    QLabel window(QStringLiteral("RageMP (stand-in)\n\nJoining %1\n%2")
                          .arg(server, arguments.value(0)));
    window.setWindowTitle(QStringLiteral("RageMP"));
    window.setAlignment(Qt::AlignCenter);
    window.setMargin(24);
    window.show();
    QTimer::singleShot(4000, &app, &QCoreApplication::quit);
    return app.exec();
}
