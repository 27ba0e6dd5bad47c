// Runs the launcher (the same runLauncher as main) against local test servers
// in one scenario and prints what a player would see, so that tests can check
// the ways the process ends (which call exit) from outside.
#include "messagecatcher.h"
#include "testserver.h"

#include "app/launcher.h"
#include "app/mainwindow.h"
#include "feeds/blockingget.h"
#include "platform/tlsconfig.h"

#include <QApplication>
#include <QDesktopServices>
#include <QQmlContext>
#include <QQmlEngine>
#include <QTcpServer>
#include <QTimer>
#include <QWindow>

#include <cstdio>

// A build whose scene is missing (the macro must stand outside a namespace).
static void dropScene()
{
    Q_CLEANUP_RESOURCE(main);
}

namespace {

void say(const QString &line)
{
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

QString closedPortUrl(const char *scheme)
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return QStringLiteral("%1://127.0.0.1:%2").arg(QLatin1String(scheme)).arg(probe.serverPort());
}

const QByteArray newsBody = R"({"items":{"data":[{"title":"Hello","little_text":"World","alias":"hello"}]}})";
const QByteArray statsBody = R"({"Ashford":{"online":5}})";

QObject *sceneController()
{
    for (QWindow *window : QGuiApplication::topLevelWindows()) {
        if (QQmlEngine *engine = qmlEngine(window))
            return engine->rootContext()->contextProperty(QStringLiteral("self")).value<QObject *>();
    }
    return nullptr;
}

void closeAllWindows()
{
    for (QWindow *w : QGuiApplication::topLevelWindows())
        w->close();
}

// Once `server` has been asked for `path` and the scene is up, do what a
// player does then: the controller is reached the way the scene reaches it.
void whenRequested(TestServer &server, const QByteArray &path, const std::function<void(QObject *)> &act)
{
    auto *poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, [&server, path, act, poll] {
        QObject *self = sceneController();
        if (!self || server.requestCount(path) == 0)
            return;
        poll->stop();
        act(self);
    });
    poll->start(10);
}

class UrlRecorder : public QObject
{
    Q_OBJECT
public slots:
    void open(const QUrl &url) { say(QStringLiteral("OPEN ") + url.toString()); }
};

// The hosts and helpers of one run. Never freed: the launcher's way out may
// be exit(), and its controller outlives the application object.
struct ProbeNetwork
{
    UrlRecorder recorder;
    TestServer site { TestServer::selfSignedCertificate(), TestServer::selfSignedKey() };
    TestServer files { TestServer::selfSignedCertificate(), TestServer::selfSignedKey() };
    TestServer plainFiles;
};
ProbeNetwork *network = nullptr;

// Before the one-launcher check, which may show a message too.
void catchMessages()
{
    auto *catcher = new MessageCatcher(qApp);
    QObject::connect(catcher, &MessageCatcher::caught, [](const QString &text, int behind) {
        say(QStringLiteral("MESSAGE %1 WINDOWS %2").arg(text).arg(behind));
    });
}

NetworkAddresses prepare(const QString &scenario)
{
    if (scenario != QLatin1String("stats-untrusted"))
        addTrustedCaCertificates(TestServer::selfSignedCertificate().toPem());
    network = new ProbeNetwork;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &network->recorder, "open");

    TestServer &site = network->site;
    TestServer &files = network->files;
    site.setBody("/api/news", newsBody);
    site.setBody("/api/stats", statsBody);
    files.setBody("/LAUNCHER_FILES/ver.txt", "1.8");
    TestResponse stall;
    stall.fault = TestResponse::Fault::StallBeforeHeaders;
    network->plainFiles.setResponse("/files.json", stall);

    NetworkAddresses addresses { site.baseUrl(), files.baseUrl(), network->plainFiles.baseUrl() };
    if (scenario == QLatin1String("news-down"))
        addresses.site = closedPortUrl("https");
    else if (scenario == QLatin1String("news-stall"))
        site.setResponse("/api/news", stall);
    else if (scenario == QLatin1String("stats-500"))
        site.setBody("/api/stats", "oops", 500);
    else if (scenario == QLatin1String("version-stall"))
        files.setResponse("/LAUNCHER_FILES/ver.txt", stall);

    if (scenario == QLatin1String("play-then-stats-fail")) {
        // A player who presses play while the statistics are still loading.
        site.setResponse("/api/stats", stall);
        whenRequested(site, "/api/stats", [](QObject *self) {
            say(QStringLiteral("PLAY"));
            QMetaObject::invokeMethod(self, "buttonStartPlayClick");
        });
    } else if (scenario == QLatin1String("close-during-startup")) {
        // Play, then the window system closes the window, while the version
        // host holds start-up; nothing else would end the process.
        files.setResponse("/LAUNCHER_FILES/ver.txt", stall);
        whenRequested(files, "/LAUNCHER_FILES/ver.txt", [](QObject *self) {
            say(QStringLiteral("PLAY"));
            QMetaObject::invokeMethod(self, "buttonStartPlayClick");
            closeAllWindows();
        });
    } else if (scenario == QLatin1String("close-during-stats")) {
        // The window system closes the window while the statistics host
        // holds start-up.
        site.setResponse("/api/stats", stall);
        whenRequested(site, "/api/stats", [](QObject *) { closeAllWindows(); });
    } else if (scenario == QLatin1String("close-during-version")) {
        // The same while the version host holds start-up, for longer than
        // any test waits.
        setFetchInactivityTimeout(std::chrono::hours(1));
        files.setResponse("/LAUNCHER_FILES/ver.txt", stall);
        whenRequested(files, "/LAUNCHER_FILES/ver.txt", [](QObject *) { closeAllWindows(); });
    } else if (scenario == QLatin1String("scene-missing")) {
        dropScene();
    }
    return addresses;
}

void started(MainWindow &window, const QString &scenario)
{
    say(QStringLiteral("STARTED"));
    if (scenario == QLatin1String("exit-idle") || scenario == QLatin1String("version-stall")) {
        QTimer::singleShot(0, &window, &MainWindow::buttonExitClick);
    } else if (scenario == QLatin1String("close-during-load")) {
        // The window system closes the window while the manifest is awaited.
        window.buttonStartPlayClick();
        QTimer::singleShot(200, closeAllWindows);
    } else if (!scenario.startsWith(QLatin1String("close-during-")) && scenario != QLatin1String("scene-missing")
               && scenario != QLatin1String("hold")) {
        QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    }
}

} // namespace

int main(int argc, char **argv)
{
    const QString scenario = QString::fromLocal8Bit(argc > 1 ? argv[1] : "");
    setFetchInactivityTimeout(std::chrono::milliseconds(400));

    LauncherHooks hooks;
    hooks.created = catchMessages;
    hooks.addresses = [&scenario] { return prepare(scenario); };
    hooks.started = [&scenario](MainWindow &window) { started(window, scenario); };
    runLauncher(argc, argv, hooks);
    say(QStringLiteral("RETURNED"));
    return 0;
}

#include "startupprobe.moc"
