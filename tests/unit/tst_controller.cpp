// The controller in-process against a local HTTPS server: what start-up
// publishes, the version check, and the play / server / result interface.
#include "messagecatcher.h"
#include "testserver.h"

#include "app/mainwindow.h"
#include "loader/gameloaderstatus.h"
#include "platform/tlsconfig.h"
#include "servers/servercatalogue.h"

#include <QDesktopServices>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <memory>

class ControllerTest : public QObject
{
    Q_OBJECT

public slots:
    void openUrl(const QUrl &url) { m_opened << url; }

private slots:
    void initTestCase();
    void init();

    void startUpPublishesTheFeeds();
    void versionCheck_data();
    void versionCheck();
    void updateShowsItselfThenFallsBack_data();
    void updateShowsItselfThenFallsBack();
    void playRunsOnTheLoaderThreadAndResultComesLast();
    void serverChoiceIsRefusedDuringALoad();
    void resultTextsAndUrls();
    void interfaceSeenByTheScene();

private:
    struct Shutdown
    {
        // The scene goes first: it binds to the controller.
        void operator()(MainWindow *window) const
        {
            delete window->qmlEngine();
            delete window;
        }
    };
    using Controller = std::unique_ptr<MainWindow, Shutdown>;
    Controller startController();
    QVariant published(MainWindow &window, const char *name) const
    {
        return window.qmlEngine()->rootContext()->contextProperty(QString::fromLatin1(name));
    }

    QTemporaryDir m_home;
    std::unique_ptr<TestServer> m_site;
    std::unique_ptr<TestServer> m_files;
    std::unique_ptr<TestServer> m_plainFiles;
    QList<QUrl> m_opened;
    MessageCatcher *m_messages = nullptr;
};

void ControllerTest::initTestCase()
{
    // A load must never touch the real home folder.
    qputenv("HOME", m_home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (m_home.path() + QStringLiteral("/.config")).toUtf8());
    addTrustedCaCertificates(TestServer::selfSignedCertificate().toPem());
    QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "openUrl");
    m_messages = new MessageCatcher(this);
}

void ControllerTest::init()
{
    m_site = std::make_unique<TestServer>(TestServer::selfSignedCertificate(), TestServer::selfSignedKey());
    m_files = std::make_unique<TestServer>(TestServer::selfSignedCertificate(), TestServer::selfSignedKey());
    m_plainFiles = std::make_unique<TestServer>();
    m_site->setBody("/api/news", R"({"items":{"data":[
        {"title":"Открытие сервера","little_text":"Ждём всех","alias":"otkrytie"},
        {"title":"Обновление","little_text":"Новые машины","alias":"update 2"}]}})");
    m_site->setBody("/api/stats", R"({"Ashford":{"online":120},"Hightower":{"online":7},"EastGate":{}})");
    m_files->setBody("/LAUNCHER_FILES/ver.txt", "1.8");
    m_plainFiles->setBody("/files.json", "gone", 404);
    m_opened.clear();
    m_messages->texts.clear();
    setCurrentServer(0);
}

ControllerTest::Controller ControllerTest::startController()
{
    return Controller(new MainWindow(
            NetworkAddresses { m_site->baseUrl(), m_files->baseUrl(), m_plainFiles->baseUrl() }));
}

void ControllerTest::startUpPublishesTheFeeds()
{
    auto window = startController();
    QCOMPARE(published(*window, "self").value<QObject *>(), window.get());
    QCOMPARE(published(*window, "currentServerName").toString(), QStringLiteral("Ashford"));
    QCOMPARE(published(*window, "newsTitle0").toString(), QStringLiteral("Открытие сервера"));
    QCOMPARE(published(*window, "newsText1").toString(), QStringLiteral("Новые машины"));
    QCOMPARE(published(*window, "newsUrl1").toString(), m_site->baseUrl() + QStringLiteral("/news/update 2"));
    QVERIFY(!published(*window, "newsTitle2").isValid());
    // Eight servers missing or malformed read as 999 each.
    QCOMPARE(published(*window, "online1").toInt(), 120);
    QCOMPARE(published(*window, "online5").toInt(), 999);
    QCOMPARE(published(*window, "online8").toInt(), 7);
    QCOMPARE(published(*window, "online").toInt(), 120 + 7 + 8 * 999);
    QVERIFY(m_messages->texts.isEmpty());
    QVERIFY(m_opened.isEmpty());
    // Each fetch verified or not on its own; they shared one connection.
    QCOMPARE(m_site->requestCount("/api/news"), 1);
    QCOMPARE(m_site->requestCount("/api/stats"), 1);
}

void ControllerTest::versionCheck_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("announced");
    QTest::newRow("same version") << QByteArray("1.8") << 200 << false;
    QTest::newRow("line break after it") << QByteArray("1.8\n") << 200 << true;
    QTest::newRow("empty file") << QByteArray() << 200 << true;
    QTest::newRow("error status") << QByteArray("1.9") << 404 << false;
}

void ControllerTest::versionCheck()
{
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(bool, announced);
    m_files->setBody("/LAUNCHER_FILES/ver.txt", body, status);

    auto window = startController();
    if (announced) {
        QCOMPARE(m_messages->texts, QStringList { QStringLiteral("Вышла новая версия лаунчера.") });
        QCOMPARE(m_opened, QList<QUrl> { QUrl(m_site->baseUrl() + QStringLiteral("/download")) });
    } else {
        QVERIFY(m_messages->texts.isEmpty());
        QVERIFY(m_opened.isEmpty());
    }
    QVERIFY(published(*window, "online").isValid()); // start-up went on
}

void ControllerTest::updateShowsItselfThenFallsBack_data()
{
    QTest::addColumn<QString>("infoBefore"); // and a play request during start-up
    QTest::newRow("idle") << QString();
    QTest::newRow("after a load started during start-up") << QStringLiteral("Ошибка запроса файлов.");
}

void ControllerTest::updateShowsItselfThenFallsBack()
{
    // Where the launcher updates itself: an update without a descriptor shows
    // itself as a load does, never beside one, keeps play waiting, then opens
    // the download page.
    QFETCH(QString, infoBefore);
    m_files->setBody("/LAUNCHER_FILES/ver.txt", "1.9");
    QTemporaryDir updates;
    bool installerStarted = false;
    Controller window(new MainWindow(NetworkAddresses { m_site->baseUrl(), m_files->baseUrl(), m_plainFiles->baseUrl() },
                                     SelfUpdate { true, updates.path(), [&](const QString &) { return installerStarted = true; } }));
    QCOMPARE(m_messages->texts, QStringList { QStringLiteral("Вышла новая версия лаунчера.") });
    QVERIFY(m_opened.isEmpty());
    GameLoaderStatus *status = window->gameLoaderStatus();
    QSignalSpy operate(window.get(), &MainWindow::gameLoadOperate);
    if (!infoBefore.isEmpty())
        window->buttonStartPlayClick();
    QStringList changes;
    QObject scope;
    connect(status, &GameLoaderStatus::gameLoadStartedChange, &scope, [&] { changes << QString::number(status->gameLoadStarted()); });
    connect(status, &GameLoaderStatus::infoChange, &scope, [&] {
        changes << status->info();
        if (status->gameLoadStarted())
            window->buttonStartPlayClick(); // refused during the update
    });
    QTRY_COMPARE(m_opened, QList<QUrl> { QUrl(m_site->baseUrl() + QStringLiteral("/download")) });
    QCOMPARE(changes.mid(changes.indexOf("Обновление лаунчера") - 1), QStringList({ "1", "Обновление лаунчера", "0", infoBefore }));
    QCOMPARE(changes.indexOf("1"), infoBefore.isEmpty() ? 0 : changes.indexOf("0") + 2); // after the load's end
    QCOMPARE(operate.count(), infoBefore.isEmpty() ? 0 : 1);
    QCOMPARE(m_plainFiles->requestCount("/launcher/update.json"), 1);
    QVERIFY(!installerStarted);
}

void ControllerTest::playRunsOnTheLoaderThreadAndResultComesLast()
{
    auto window = startController();
    GameLoaderStatus *status = window->gameLoaderStatus();
    QStringList changes;
    bool allOnGuiThread = true;
    auto record = [&](const QString &change) {
        allOnGuiThread = allOnGuiThread && QThread::currentThread() == qApp->thread();
        changes << change;
    };
    connect(status, &GameLoaderStatus::gameLoadStartedChange,
            [&] { record(QStringLiteral("started ") + QString::number(status->gameLoadStarted())); });
    connect(status, &GameLoaderStatus::infoChange, [&] { record(QStringLiteral("info ") + status->info()); });
    connect(status, &GameLoaderStatus::loadPercentChange,
            [&] { record(QStringLiteral("percent ") + QString::number(status->loadPercent())); });
    QSignalSpy operate(window.get(), &MainWindow::gameLoadOperate);

    for (int load = 0; load < 2; ++load) {
        changes.clear();
        window->buttonStartPlayClick();
        window->buttonStartPlayClick(); // a second click while loading starts nothing
        QCOMPARE(operate.count(), load + 1);
        QTRY_VERIFY(!status->gameLoadStarted());
        QTest::qWait(100); // nothing from the run may arrive after the result
        // The run's own reports may merge on the way; the result's come last.
        QCOMPARE(changes.mid(0, 2), QStringList({ "started 1", "info Запускаем..." }));
        QCOMPARE(changes.mid(changes.size() - 3),
                 QStringList({ "started 0", "info Ошибка запроса файлов.", "percent 0" }));
        const QStringList during = changes.mid(2, changes.size() - 5);
        QVERIFY2(during == QStringList({ "info Поиск RageMP", "info Получение списка файлов...", "percent 1" })
                         || during == QStringList({ "info Получение списка файлов...", "percent 1" }),
                 qPrintable(during.join(QLatin1String(" | "))));
        QCOMPARE(status->info(), QStringLiteral("Ошибка запроса файлов."));
        QCOMPARE(status->loadPercent(), 0);
    }
    QVERIFY(allOnGuiThread);
    QCOMPARE(m_plainFiles->requestCount("/files.json"), 2);
}

void ControllerTest::serverChoiceIsRefusedDuringALoad()
{
    auto window = startController();
    window->buttonStartPlayClick();
    window->buttonSetServer(3);
    QCOMPARE(published(*window, "currentServerName").toString(), QStringLiteral("Ashford"));
    QCOMPARE(QByteArray(currentServer().identifier), QByteArray(serverCatalogue[0].identifier));
    QTRY_VERIFY(!window->gameLoaderStatus()->gameLoadStarted());

    window->buttonSetServer(3);
    QCOMPARE(published(*window, "currentServerName").toString(), QStringLiteral("DarkWater"));
    for (int outside : { -1, 10, 1000 }) {
        window->buttonSetServer(outside);
        QCOMPARE(published(*window, "currentServerName").toString(), QStringLiteral("DarkWater"));
    }
    window->buttonSetServer(9);
    QCOMPARE(QByteArray(currentServer().host), QByteArray(serverCatalogue[9].host));
}

void ControllerTest::resultTextsAndUrls()
{
    auto window = startController();
    GameLoaderStatus *status = window->gameLoaderStatus();
    status->setGameLoadStarted(true);
    status->setLoadPercent(55);
    window->gameLoadResult(true, QStringLiteral("ignored"));
    QCOMPARE(status->info(), QStringLiteral("Игра готова к запуску"));
    QCOMPARE(status->loadPercent(), 0);
    QVERIFY(!status->gameLoadStarted());
    window->gameLoadResult(false, QStringLiteral("Ошибка создание файла:a/b.txt"));
    QCOMPARE(status->info(), QStringLiteral("Ошибка создание файла:a/b.txt"));

    window->buttonHeaderOpenURL(QStringLiteral("https://site.test/news/обновление 2"));
    QCOMPARE(m_opened.size(), 1);
    QCOMPARE(m_opened[0].host(), QStringLiteral("site.test"));
    QCOMPARE(m_opened[0].path(), QStringLiteral("/news/обновление 2"));
}

void ControllerTest::interfaceSeenByTheScene()
{
    const QMetaObject &meta = MainWindow::staticMetaObject;
    QStringList methods;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
        methods << QString::fromLatin1(meta.method(i).methodSignature());
    QCOMPARE(methods, QStringList({ "gameLoadOperate(GameLoaderStatus*)", "gameLoadResult(bool,QString)",
                                    "buttonHeaderOpenURL(QString)", "buttonStartPlayClick()",
                                    "buttonSetServer(int)", "buttonExitClick()" }));
    const QMetaProperty status = meta.property(meta.propertyOffset());
    QCOMPARE(QByteArray(status.name()), QByteArray("gameLoaderStatus"));
    QVERIFY(!status.isWritable() && !status.hasNotifySignal() && status.isConstant());
}

QTEST_MAIN(ControllerTest)
#include "tst_controller.moc"
