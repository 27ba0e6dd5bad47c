// Runs the launcher's start-up against a local test server in one scenario
// and prints what a player would see, so that tests can check the ways the
// process ends (which call exit) from outside.
#include "messagecatcher.h"
#include "testserver.h"

#include "app/mainwindow.h"
#include "feeds/blockingget.h"
#include "loader/gameloaderstatus.h"
#include "platform/tlsconfig.h"

#include <QApplication>
#include <QDesktopServices>
#include <QQmlContext>
#include <QQmlEngine>
#include <QTcpServer>
#include <QTimer>
#include <QWindow>

#include <cstdio>
#include <memory>

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

class UrlRecorder : public QObject
{
    Q_OBJECT
public slots:
    void open(const QUrl &url) { say(QStringLiteral("OPEN ") + url.toString()); }
};

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QString scenario = app.arguments().value(1);
    setFetchInactivityTimeout(std::chrono::milliseconds(400));

    MessageCatcher catcher;
    QObject::connect(&catcher, &MessageCatcher::caught, [](const QString &text, int behind) {
        say(QStringLiteral("MESSAGE %1 WINDOWS %2").arg(text).arg(behind));
    });
    UrlRecorder recorder;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &recorder, "open");

    const bool trusted = scenario != QLatin1String("stats-untrusted");
    if (trusted)
        addTrustedCaCertificates(TestServer::selfSignedCertificate().toPem());
    TestServer site(TestServer::selfSignedCertificate(), TestServer::selfSignedKey());
    TestServer files(TestServer::selfSignedCertificate(), TestServer::selfSignedKey());
    TestServer plainFiles;
    site.setBody("/api/news", newsBody);
    site.setBody("/api/stats", statsBody);
    files.setBody("/LAUNCHER_FILES/ver.txt", "1.8");
    TestResponse stall;
    stall.fault = TestResponse::Fault::StallBeforeHeaders;
    plainFiles.setResponse("/files.json", stall);

    NetworkAddresses addresses { site.baseUrl(), files.baseUrl(), plainFiles.baseUrl() };
    if (scenario == QLatin1String("news-down"))
        addresses.site = closedPortUrl("https");
    else if (scenario == QLatin1String("news-stall"))
        site.setResponse("/api/news", stall);
    else if (scenario == QLatin1String("stats-500"))
        site.setBody("/api/stats", "oops", 500);
    else if (scenario == QLatin1String("version-stall"))
        files.setResponse("/LAUNCHER_FILES/ver.txt", stall);

    // A player who presses play while the statistics are still loading: the
    // controller is reached the way the scene reaches it, as "self".
    if (scenario == QLatin1String("play-then-stats-fail")) {
        site.setResponse("/api/stats", stall);
        auto *poll = new QTimer(&app);
        QObject::connect(poll, &QTimer::timeout, [&site, poll] {
            QObject *self = sceneController();
            if (!self || site.requestCount("/api/stats") == 0)
                return;
            poll->stop();
            say(QStringLiteral("PLAY"));
            QMetaObject::invokeMethod(self, "buttonStartPlayClick");
        });
        poll->start(10);
    }

    auto *window = new MainWindow(addresses);
    say(QStringLiteral("STARTED"));

    if (scenario == QLatin1String("exit-idle") || scenario == QLatin1String("version-stall")) {
        QTimer::singleShot(0, window, &MainWindow::buttonExitClick);
    } else if (scenario == QLatin1String("close-during-load")) {
        // The window system closes the window while the manifest is awaited.
        window->buttonStartPlayClick();
        QTimer::singleShot(200, [] {
            for (QWindow *w : QGuiApplication::topLevelWindows())
                w->close();
        });
    } else {
        QTimer::singleShot(0, &app, &QCoreApplication::quit);
    }
    app.exec();
    window->stopRunningLoad();
    say(QStringLiteral("RETURNED"));
    return 0;
}

#include "startupprobe.moc"
