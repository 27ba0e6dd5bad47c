// The real controller's start-up against a local HTTPS server: the scene
// loads with only "self" published, every other name arrives afterwards,
// and not one QML warning may be printed on the way.

#include "scenetest.h"

#include "app/mainwindow.h"
#include "buildconfig.h"
#include "platform/tlsconfig.h"
#include "testserver.h"

#include <QDesktopServices>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QtTest>

#include <memory>

namespace {

const QByteArray newsBody = R"({"items": {"data": [
    {"title": "Открытие сезона", "little_text": "Новые машины и дома.", "alias": "season"},
    {"title": "Турнир", "little_text": "Призы для всех.", "alias": "tournament"},
    {"title": "Техработы", "little_text": "Сервер будет недоступен.", "alias": "maintenance"}
]}})";

const QByteArray statsBody = R"({
    "Ashford": {"online": 11}, "BlueRidge": {"online": 12}, "CedarFalls": {"online": 13},
    "DarkWater": {"online": 14}, "EastGate": {"online": 15}, "Fairhaven": {"online": 16},
    "Greystone": {"online": 17}, "Hightower": {"online": 18}, "Ironwood": {"online": 19},
    "JadePoint": {"online": 20}
})";

} // namespace

class tst_LauncherWindow : public QObject
{
    Q_OBJECT

public slots:
    void openUrl(const QUrl &url) { m_opened.append(url.toString()); }

private slots:
    void initTestCase();
    void cleanupTestCase();

    void startUpShowsEverythingPublishedWithoutWarnings();
    void serverChoiceComesBackThroughTheController();
    void linksOpenThroughTheController();
    void loadResultReachesTheStatusBar();

private:
    QQuickItem *text(const QString &text) const { return Scene::text(m_window->contentItem(), text); }
    void click(QPoint pos) { QTest::mouseClick(m_window, Qt::LeftButton, Qt::NoModifier, pos); }
    QString barValue() const;

    std::unique_ptr<MessageCollector> m_messages;
    std::unique_ptr<TestServer> m_server;
    MainWindow *m_controller = nullptr;
    QQuickWindow *m_window = nullptr;
    QStringList m_opened;
};

void tst_LauncherWindow::initTestCase()
{
    m_messages = std::make_unique<MessageCollector>();
    QVERIFY(addTrustedCaCertificates(TestServer::selfSignedCertificate().toPem()) == 1);
    m_server = std::make_unique<TestServer>(TestServer::selfSignedCertificate(),
                                            TestServer::selfSignedKey());
    m_server->setBody("/api/news", newsBody);
    m_server->setBody("/api/stats", statsBody);
    m_server->setBody("/LAUNCHER_FILES/ver.txt", QByteArray(BuildConfig::launcherVersion));

    // A failed statistics fetch would end in a modal box; make sure the
    // verified fetch works before the controller tries it.
    QNetworkAccessManager manager;
    QNetworkReply *probe = manager.get(QNetworkRequest(m_server->url("/api/stats")));
    QSignalSpy finished(probe, &QNetworkReply::finished);
    QVERIFY(finished.wait(30000));
    QCOMPARE(probe->error(), QNetworkReply::NoError);
    delete probe;

    QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "openUrl");
}

void tst_LauncherWindow::cleanupTestCase()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    const QStringList messages = m_messages->take();
    QVERIFY2(messages.isEmpty(), qPrintable(messages.join(QLatin1Char('\n'))));
}

QString tst_LauncherWindow::barValue() const
{
    return text(QStringLiteral("Сервер"))->parentItem()->childItems().at(1)->property("text").toString();
}

void tst_LauncherWindow::startUpShowsEverythingPublishedWithoutWarnings()
{
    const NetworkAddresses addresses { m_server->baseUrl(), m_server->baseUrl(),
                                       QStringLiteral("http://127.0.0.1:9") };
    // Like main: the controller lives until the process ends.
    m_controller = new MainWindow(addresses);
    QCOMPARE(m_controller->qmlEngine()->rootObjects().size(), 1);
    m_window = qobject_cast<QQuickWindow *>(m_controller->qmlEngine()->rootObjects().first());
    QVERIFY(m_window);
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    QCOMPARE(m_server->requestCount("/LAUNCHER_FILES/ver.txt"), 1);

    QCOMPARE(barValue(), QStringLiteral("Ashford"));
    for (const char *shown : { "Открытие сезона", "Новые машины и дома.", "Турнир",
                               "Техработы", "Сервер будет недоступен." })
        QVERIFY2(text(QString::fromUtf8(shown)), shown);
    QCOMPARE(text(QStringLiteral("общий онлайн"))->parentItem()->childItems().at(0)
                     ->property("text").toString(),
             QStringLiteral("155"));
    QQuickItem *onlineBlock = Scene::itemById(m_window, "onlineBlock");
    QCOMPARE(Scene::text(onlineBlock, QStringLiteral("HighTower"))->parentItem()->childItems().at(0)
                     ->property("text").toString(),
             QStringLiteral("18"));
    QCOMPARE(Scene::text(onlineBlock, QStringLiteral("JadePoint"))->parentItem()->childItems().at(0)
                     ->property("text").toString(),
             QStringLiteral("20"));

    const QStringList messages = m_messages->take();
    QVERIFY2(messages.isEmpty(), qPrintable(messages.join(QLatin1Char('\n'))));
}

void tst_LauncherWindow::serverChoiceComesBackThroughTheController()
{
    QVERIFY(m_window);
    click(QPoint(141, 389));
    const auto entries = Scene::items(m_window->contentItem(), [](QQuickItem *item) {
        return item->isVisible() && item->property("text").toString() == QLatin1String("DarkWater")
                && Scene::sceneRect(item).left() < 282;
    });
    QCOMPARE(entries.size(), 1);
    click(Scene::centre(entries.first()));
    QCOMPARE(barValue(), QStringLiteral("DarkWater"));
}

void tst_LauncherWindow::linksOpenThroughTheController()
{
    QVERIFY(m_window);
    m_opened.clear();
    click(Scene::centre(text(QStringLiteral("Турнир"))));
    click(Scene::centre(text(QStringLiteral("МАГАЗИН"))));
    QCOMPARE(m_opened, (QStringList { m_server->baseUrl() + QStringLiteral("/news/tournament"),
                                      QString::fromLatin1(BuildConfig::siteUrl)
                                              + QStringLiteral("/donate") }));
}

void tst_LauncherWindow::loadResultReachesTheStatusBar()
{
    QVERIFY(m_window);
    QQuickItem *label = Scene::itemById(m_window, "statusBar")->childItems().at(2);
    QCOMPARE(label->property("text").toString(), QString());

    GameLoaderStatus *status = m_controller->gameLoaderStatus();
    status->setGameLoadStarted(true);
    status->report(QStringLiteral("Загрузка файлов"), 42);
    QTRY_COMPARE(label->property("text").toString(), QStringLiteral("Загрузка файлов ( 42% )"));

    m_controller->gameLoadResult(false, QStringLiteral("Не удалось скачать файл"));
    QCOMPARE(label->property("text").toString(), QStringLiteral("Не удалось скачать файл"));
}

QTEST_MAIN(tst_LauncherWindow)
#include "tst_launcherwindow.moc"
