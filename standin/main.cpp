// Stands in for the RageMP client where the real one cannot run: it records
// how the launcher started it, then briefly shows which server it joins.
#include "platform/ragempsettings.h"
#include "standin/launchrecord.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QScreen>
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

// Shows which server the client joins, at the bottom right of the screen,
// clear of the launcher's header. It stays up for a few seconds from its
// first paint rather than from its start: on a fresh machine the first paint
// can wait for the font cache, and the window would close unseen.
class JoiningWindow : public QLabel
{
public:
    explicit JoiningWindow(const QString &text) : QLabel(text)
    {
        setWindowTitle(QStringLiteral("RageMP"));
        setAlignment(Qt::AlignCenter);
        setMargin(24);
        adjustSize();
        const QRect screen = this->screen()->availableGeometry();
        move(screen.right() - width() - screenMargin, screen.bottom() - height() - screenMargin);
        // Ends even if the window is never painted.
        QTimer::singleShot(60 * 1000, qApp, &QCoreApplication::quit);
    }

protected:
    void paintEvent(QPaintEvent *event) override
    {
        QLabel::paintEvent(event);
        if (!m_painted) {
            m_painted = true;
            QTimer::singleShot(shownFor, qApp, &QCoreApplication::quit);
        }
    }

private:
    static constexpr int screenMargin = 24; // room for a window frame
    static constexpr int shownFor = 5000;
    bool m_painted = false;
};

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
    JoiningWindow window(QStringLiteral("RageMP (stand-in)\n\nJoining %1\n%2")
                                 .arg(server, arguments.value(0)));
    window.show();
    return app.exec();
}
