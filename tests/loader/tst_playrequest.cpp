// A play request through the controller, as the scene makes it: the load
// runs on the loader thread, a download error reaches the player in a box
// shown by the GUI thread, and the exit stops a load at once.
#include "messagecatcher.h"
#include "testserver.h"

#include "app/mainwindow.h"
#include "loader/gameloaderstatus.h"
#include "platform/ragempsettings.h"
#include "platform/tlsconfig.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QQmlApplicationEngine>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

class PlayRequestTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void playInstallsLaunchesAndEndsReady();
    void downloadErrorIsShownByTheGuiThread();
    void exitDuringADownloadStopsAtOnce();

private:
    QJsonObject publish(const QString &file, const QByteArray &path, const QByteArray &content);
    void startController();
    QString installFolder() const { return m_home->path() + "/Games/Zanrok"; }
    QByteArray launchLog() const;

    std::unique_ptr<QTemporaryDir> m_home;
    std::unique_ptr<TestServer> m_site;
    std::unique_ptr<TestServer> m_files;
    MainWindow *m_window = nullptr;
    MessageCatcher *m_messages = nullptr;
};

void PlayRequestTest::initTestCase()
{
    addTrustedCaCertificates(TestServer::selfSignedCertificate().toPem());
    m_messages = new MessageCatcher(this);
}

void PlayRequestTest::init()
{
    m_home = std::make_unique<QTemporaryDir>();
    qputenv("HOME", QFile::encodeName(m_home->path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home->path() + "/.config"));
    m_site = std::make_unique<TestServer>(TestServer::selfSignedCertificate(),
                                          TestServer::selfSignedKey());
    m_site->setBody("/api/news", R"({"items":{"data":[]}})");
    m_site->setBody("/api/stats", "{}");
    m_site->setBody("/LAUNCHER_FILES/ver.txt", "1.8");
    m_files = std::make_unique<TestServer>();
    m_messages->texts.clear();
}

void PlayRequestTest::cleanup()
{
    if (m_window) {
        delete m_window->qmlEngine();
        delete m_window;
        m_window = nullptr;
    }
}

QJsonObject PlayRequestTest::publish(const QString &file, const QByteArray &path,
                                     const QByteArray &content)
{
    m_files->setBody(path, content);
    const QByteArray md5 = QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex();
    return { { "file", file }, { "url", m_files->url(path).toString() },
             { "hash", QString::fromLatin1(md5) } };
}

void PlayRequestTest::startController()
{
    m_window = new MainWindow(
            NetworkAddresses { m_site->baseUrl(), m_site->baseUrl(), m_files->baseUrl() });
}

QByteArray PlayRequestTest::launchLog() const
{
    QFile log(installFolder() + "/ragemp-standin.log");
    return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
}

static QByteArray standin()
{
    QFile file(QStringLiteral(STANDIN_PATH));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void PlayRequestTest::playInstallsLaunchesAndEndsReady()
{
    const QJsonArray manifest { publish("RAGEMP_FILES/ragemp_v.exe", "/exe", standin()),
                                publish("SERVER_FILES/ui/index.html", "/index", "<html>") };
    m_files->setBody("/files.json", QJsonDocument(manifest).toJson());
    startController();
    m_window->buttonSetServer(9);
    m_window->buttonStartPlayClick();
    GameLoaderStatus *status = m_window->gameLoaderStatus();
    QTRY_VERIFY_WITH_TIMEOUT(!status->gameLoadStarted(), 60000);
    QCOMPARE(status->info(), QString("Игра готова к запуску"));
    QCOMPARE(status->loadPercent(), 0);
    QCOMPARE(m_messages->texts, QStringList());

    QTRY_VERIFY_WITH_TIMEOUT(!launchLog().isEmpty(), 30000);
    const QJsonObject launch = QJsonDocument::fromJson(launchLog()).object();
    QCOMPARE(launch.value("argument").toString(), QString("jadepoint.zanrok.net_22005"));
    QCOMPARE(launch.value("workingDirectory").toString(), installFolder());
    QCOMPARE(launch.value("rage_path").toString(), installFolder());
    QCOMPARE(launch.value("launch.ip").toString(), QString("jadepoint.zanrok.net"));
    QCOMPARE(launch.value("launch.port").toString(), QString("22005"));
    QFile page(installFolder() + "/client_resources/jadepoint.zanrok.net_22005/ui/index.html");
    QVERIFY(page.open(QIODevice::ReadOnly));
    QCOMPARE(page.readAll(), QByteArray("<html>"));
}

void PlayRequestTest::downloadErrorIsShownByTheGuiThread()
{
    QJsonObject missing = publish("SERVER_FILES/gone.txt", "/gone", "x");
    m_files->setBody("/gone", "no", 404);
    m_files->setBody("/files.json", QJsonDocument(QJsonArray { missing }).toJson());
    startController();
    m_window->buttonStartPlayClick();
    // The catcher closes boxes of the GUI thread only; a box of the loader
    // thread would never be caught and the test would time out.
    QTRY_COMPARE_WITH_TIMEOUT(m_messages->texts.size(), 1, 60000);
    QVERIFY(m_messages->texts.first().contains("Not Found"));
    QTRY_VERIFY_WITH_TIMEOUT(!m_window->gameLoaderStatus()->gameLoadStarted(), 60000);
    QCOMPARE(m_window->gameLoaderStatus()->info(), QString("Ошибка загрузки файла:gone.txt"));
}

void PlayRequestTest::exitDuringADownloadStopsAtOnce()
{
    // RageMP is in place, so the load goes straight to the stalled download.
    QDir().mkpath(installFolder());
    QFile::copy(QStringLiteral(STANDIN_PATH), installFolder() + "/ragemp_v.exe");
    {
        RageMpSettings settings;
        settings.setValue(RageMpSettings::ragePathKey(), installFolder());
    }
    const QString serverFolder = installFolder() + "/client_resources/ashford.zanrok.net_22005";
    QDir().mkpath(serverFolder);
    QFile earlier(serverFolder + "/big.bin");
    QVERIFY(earlier.open(QIODevice::WriteOnly));
    earlier.write("earlier");
    earlier.close();
    QJsonObject big = publish("SERVER_FILES/big.bin", "/big", QByteArray(400000, 'b'));
    TestResponse stalled;
    stalled.body = QByteArray(400000, 'b');
    stalled.fault = TestResponse::Fault::StallMidBody;
    m_files->setResponse("/big", stalled);
    const QJsonArray manifest { big, publish("SERVER_FILES/next.bin", "/next", stalled.body) };
    m_files->setResponse("/next", stalled);
    m_files->setBody("/files.json", QJsonDocument(manifest).toJson());
    startController();
    m_window->buttonStartPlayClick();
    QTRY_COMPARE_WITH_TIMEOUT(m_files->requestCount("/big"), 1, 30000);

    m_window->stopRunningLoad(); // what the exit button does before the process ends

    // The earlier file is untouched and no temporary file is left beside it.
    QStringList left;
    QDirIterator it(serverFolder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        left << it.next();
    QCOMPARE(left, QStringList({ serverFolder + "/big.bin" }));
    QVERIFY(earlier.open(QIODevice::ReadOnly));
    QCOMPARE(earlier.readAll(), QByteArray("earlier"));
    QVERIFY(!RageMpSettings().contains(RageMpSettings::launchIpKey()));
    QTest::qWait(200);
    QVERIFY(launchLog().isEmpty());
    QCOMPARE(m_messages->texts, QStringList());
}

QTEST_MAIN(PlayRequestTest)
#include "tst_playrequest.moc"
