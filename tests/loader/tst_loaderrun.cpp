// Whole loader runs against a local file host: install, synchronise, launch,
// and what each kind of failure leaves behind.
#include "loaderharness.h"

#include "feeds/blockingget.h"
#include "platform/ragempsettings.h"
#include "servers/servercatalogue.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

Q_DECLARE_METATYPE(TestResponse)
Q_DECLARE_METATYPE(TestResponse::Fault)

namespace {

const char jadePoint[] = "jadepoint.zanrok.net_22005";
const char ashford[] = "ashford.zanrok.net_22005";

// Files in the order an observer sees them change, without the status ones.
QStringList onlyStarting(const QStringList &infos, const QString &prefix)
{
    QStringList out;
    for (const QString &info : infos) {
        if (info.startsWith(prefix))
            out << info;
    }
    return out;
}

} // namespace

class LoaderRunTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void installsSynchronisesAndLaunches();
    void storedFolderWithoutClientIsReplacedByAnInstall();
    void upperCaseDigestIsDownloadedEveryRun();
    void manifestFailures_data();
    void manifestFailures();
    void failedDownloadKeepsTheEarlierFile_data();
    void failedDownloadKeepsTheEarlierFile();
    void failedInstallLeavesNoRagePath();
    void compressedBodyLandsDecoded();
    void pathsOutsideTheBaseAreRefused_data();
    void pathsOutsideTheBaseAreRefused();
    void unopenableTargetIsACreateFailure();
};

void LoaderRunTest::init()
{
    setCurrentServer(0);
}

void LoaderRunTest::cleanup()
{
    setFetchInactivityTimeout(std::chrono::seconds(30));
}

void LoaderRunTest::installsSynchronisesAndLaunches()
{
    LoaderHarness h;
    setCurrentServer(9);
    const QByteArray library = "core library";
    const QList<QByteArray> serverContent { "first", "second", "third", "fourth" };
    QJsonObject viaHttps = h.publish("SERVER_FILES/b.txt", "/s/b", serverContent[1]);
    viaHttps["url"] = viaHttps["url"].toString().replace("http://", "https://");
    h.setManifest({
            h.publish("RAGEMP_FILES/ragemp_v.exe", "/r/exe", LoaderHarness::standinClient()),
            h.publish("SERVER_FILES/a/b/c.txt", "/s/c", serverContent[0]),
            h.publish("RAGEMP_FILES/data/core.dll", "/r/core", library),
            viaHttps,
            h.publish("SERVER_FILES\\d/e.txt", "/s/e", serverContent[2]),
            h.publish("SERVER_FILES/f.txt", "/s/f", serverContent[3]),
            h.publish("OTHER_FILES/ignored.txt", "/o", "never fetched"),
    });

    QVERIFY(h.run());
    QVERIFY2(h.result, qPrintable(h.errorInfo));
    QCOMPARE(h.errorInfo, QString());
    QCOMPARE(h.messages(), QStringList());

    const QString rage = h.installFolder();
    const QString server = h.serverFolder(jadePoint);
    QCOMPARE(h.percents, QList<int>({ 1, 5, 10, 30, 50, 70, 90 }));
    QCOMPARE(h.infos.first(), QString("Поиск RageMP"));
    QCOMPARE(h.infos.mid(1, 5), QStringList({
            "Получение списка файлов...",
            "Установка RageMP",
            "Установка RageMP ( ragemp_v.exe )",
            "Установка RageMP ( ragemp_v.exe ) ( загрузка ).",
            "Установка RageMP ( ragemp_v.exe ) ( готово ).",
    }));
    QCOMPARE(onlyStarting(h.infos, "Загрузка "), QStringList({
            "Загрузка a/b/c.txt", "Загрузка b.txt", "Загрузка d/e.txt", "Загрузка f.txt" }));
    QCOMPARE(h.infos.last(), QString("Запуск RageMP..."));

    QCOMPARE(LoaderHarness::readFile(rage + "/data/core.dll"), library);
    QCOMPARE(LoaderHarness::readFile(server + "/a/b/c.txt"), serverContent[0]);
    QCOMPARE(LoaderHarness::readFile(server + "/b.txt"), serverContent[1]);
    QCOMPARE(LoaderHarness::readFile(server + "/d/e.txt"), serverContent[2]);
    QCOMPARE(h.server.requestCount("/o"), 0);
    QVERIFY(QFile::permissions(rage + "/ragemp_v.exe") & QFile::ExeOwner);
    // The owner must be able to read a server file back, or the next run
    // would download it again.
    const QFile::Permissions wanted =
            QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther | QFile::WriteOther;
    QCOMPARE(QFile::permissions(server + "/f.txt") & ~(QFile::ReadUser | QFile::WriteUser), wanted);

    QCOMPARE(h.settingsValue(RageMpSettings::ragePathKey()), rage);
    QCOMPARE(h.settingsValue(RageMpSettings::launchIpKey()), QString("jadepoint.zanrok.net"));
    QCOMPARE(h.settingsValue(RageMpSettings::launchPortKey()), QString("22005"));
    QCOMPARE(h.settingsValue(RageMpSettings::launch2IpKey()), QString("jadepoint.zanrok.net"));
    QCOMPARE(h.settingsValue(RageMpSettings::launch2PortKey()), QString("22005"));

    QVERIFY(h.waitForLaunchLog(rage, 1));
    const QJsonObject launch = QJsonDocument::fromJson(h.launchLog(rage).first().toUtf8()).object();
    QCOMPARE(launch.value("arguments").toArray(), QJsonArray({ QString(jadePoint) }));
    QCOMPARE(launch.value("workingDirectory").toString(), rage);
    QCOMPARE(launch.value("rage_path").toString(), rage);
    QCOMPARE(launch.value("launch.ip").toString(), QString("jadepoint.zanrok.net"));
    QCOMPARE(launch.value("launch2.port").toString(), QString("22005"));

    // One connection served the manifest and all six files.
    QCOMPARE(h.server.connectionCount(), 1);

    // The next run finds everything in place: no install, no download.
    const int requestsBefore = h.server.requests().size();
    h.clearRecords();
    QVERIFY(h.run());
    QVERIFY2(h.result, qPrintable(h.errorInfo));
    QCOMPARE(h.server.requests().size(), requestsBefore + 1);
    QCOMPARE(h.server.requests().last().path, QByteArray("/files.json"));
    QVERIFY(onlyStarting(h.infos, "Установка").isEmpty());
    QVERIFY(onlyStarting(h.infos, "Загрузка").isEmpty());
    QCOMPARE(onlyStarting(h.infos, "Проверка "), QStringList({
            "Проверка файлов сервера", "Проверка a/b/c.txt", "Проверка b.txt",
            "Проверка d/e.txt", "Проверка f.txt" }));
    QVERIFY(h.waitForLaunchLog(rage, 2));
}

void LoaderRunTest::storedFolderWithoutClientIsReplacedByAnInstall()
{
    LoaderHarness h;
    const QString elsewhere = h.home() + "/elsewhere";
    QDir().mkpath(elsewhere);
    h.setSetting(RageMpSettings::ragePathKey(), elsewhere);
    // An empty client section still makes an install, and a run without
    // "ragemp_v.exe" still succeeds.
    h.setManifest({ h.publish("SERVER_FILES/x.txt", "/x", "x") });

    QVERIFY(h.run());
    QVERIFY2(h.result, qPrintable(h.errorInfo));
    QVERIFY(h.infos.contains("Установка RageMP"));
    QCOMPARE(h.settingsValue(RageMpSettings::ragePathKey()), h.installFolder());
    QCOMPARE(LoaderHarness::readFile(h.serverFolder(ashford) + "/x.txt"), QByteArray("x"));
    QCOMPARE(LoaderHarness::filesUnder(elsewhere), QStringList());
    QCOMPARE(h.settingsValue(RageMpSettings::launchIpKey()), QString("ashford.zanrok.net"));
}

void LoaderRunTest::upperCaseDigestIsDownloadedEveryRun()
{
    LoaderHarness h;
    h.preinstall();
    const QByteArray content = "shouting digest";
    const QString upper = QString::fromLatin1(
            QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex().toUpper());
    h.setManifest({ h.publish("SERVER_FILES/loud.txt", "/loud", content, upper) });

    for (int run = 1; run <= 2; ++run) {
        QVERIFY(h.run());
        QVERIFY2(h.result, qPrintable(h.errorInfo));
        QCOMPARE(h.server.requestCount("/loud"), run);
    }
    QCOMPARE(LoaderHarness::readFile(h.serverFolder(ashford) + "/loud.txt"), content);
}

void LoaderRunTest::manifestFailures_data()
{
    QTest::addColumn<TestResponse>("response");
    QTest::addColumn<QString>("expected");
    TestResponse r;
    r.status = 500;
    QTest::newRow("error status") << r << "Ошибка запроса файлов.";
    r = TestResponse();
    r.fault = TestResponse::Fault::StallBeforeHeaders;
    QTest::newRow("stall") << r << "Ошибка запроса файлов.";
    r = TestResponse();
    r.body = "[]";
    QTest::newRow("empty array") << r << "Ошибка получения списка файлов (*).";
    r.body = R"({"file": "SERVER_FILES/a"})";
    QTest::newRow("object") << r << "Ошибка получения списка файлов (*).";
    r.body = "<html>";
    QTest::newRow("no json") << r << "Ошибка получения списка файлов (*).";
}

void LoaderRunTest::manifestFailures()
{
    QFETCH(TestResponse, response);
    QFETCH(QString, expected);
    if (response.fault != TestResponse::Fault::None)
        setFetchInactivityTimeout(std::chrono::milliseconds(300));
    LoaderHarness h;
    h.server.setResponse("/files.json", response);

    QVERIFY(h.run());
    QVERIFY(!h.result);
    QCOMPARE(h.errorInfo, expected);
    QCOMPARE(LoaderHarness::filesUnder(h.home()), QStringList());
    QCOMPARE(h.settingsValue(RageMpSettings::ragePathKey()), QString("<absent>"));
}

void LoaderRunTest::failedDownloadKeepsTheEarlierFile_data()
{
    QTest::addColumn<TestResponse::Fault>("fault");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("wrongDigest");
    QTest::addColumn<bool>("earlierFile");
    QTest::addColumn<int>("messages"); // -1: the transport may or may not call it an error
    const auto none = TestResponse::Fault::None;
    const auto cut = TestResponse::Fault::CutMidBody;
    const auto stall = TestResponse::Fault::StallMidBody;
    for (bool earlier : { true, false }) {
        const char *suffix = earlier ? " over an earlier file" : " into no file";
        QTest::addRow("cut%s", suffix) << cut << 200 << false << earlier << -1;
        QTest::addRow("stall%s", suffix) << stall << 200 << false << earlier << 1;
        QTest::addRow("not found%s", suffix) << none << 404 << false << earlier << 1;
        QTest::addRow("wrong digest%s", suffix) << none << 200 << true << earlier << 0;
    }
}

void LoaderRunTest::failedDownloadKeepsTheEarlierFile()
{
    QFETCH(TestResponse::Fault, fault);
    QFETCH(int, status);
    QFETCH(bool, wrongDigest);
    QFETCH(bool, earlierFile);
    QFETCH(int, messages);
    if (fault == TestResponse::Fault::StallMidBody)
        setFetchInactivityTimeout(std::chrono::milliseconds(300));
    LoaderHarness h;
    const QString rage = h.preinstall();
    const QString folder = h.serverFolder(ashford);
    QDir().mkpath(folder + "/maps");
    if (earlierFile)
        LoaderHarness::writeFile(folder + "/maps/city.bin", "earlier");

    const QByteArray content(200000, 'n');
    QJsonObject entry = h.publish("SERVER_FILES/maps/city.bin", "/city", content,
                                  wrongDigest ? QString(32, '0') : QString());
    TestResponse response;
    response.status = status;
    response.body = content;
    response.fault = fault;
    h.server.setResponse("/city", response);
    h.setManifest({ entry });

    QVERIFY(h.run());
    QVERIFY(!h.result);
    QCOMPARE(h.errorInfo, QString("Ошибка загрузки файла:maps/city.bin"));
    if (messages >= 0)
        QCOMPARE(h.messages().size(), messages);
    QCOMPARE(LoaderHarness::filesUnder(folder),
             earlierFile ? QStringList({ "maps/city.bin" }) : QStringList());
    if (earlierFile)
        QCOMPARE(LoaderHarness::readFile(folder + "/maps/city.bin"), QByteArray("earlier"));
    QCOMPARE(h.settingsValue(RageMpSettings::launchIpKey()), QString("<absent>"));
    QVERIFY(h.launchLog(rage).isEmpty());
}

void LoaderRunTest::failedInstallLeavesNoRagePath()
{
    LoaderHarness h;
    QJsonObject missing = h.publish("RAGEMP_FILES/b.dll", "/b", "b");
    h.server.setBody("/b", "gone", 404);
    h.setManifest({ h.publish("RAGEMP_FILES/a.dll", "/a", "a"), missing });

    QVERIFY(h.run());
    QCOMPARE(h.errorInfo, QString("Ошибка загрузки файла:b.dll"));
    QCOMPARE(h.messages().size(), 1);
    QCOMPARE(h.settingsValue(RageMpSettings::ragePathKey()), QString("<absent>"));
    QCOMPARE(LoaderHarness::filesUnder(h.installFolder()), QStringList({ "a.dll" }));

    // The next run installs again and fetches only what is still missing.
    h.server.setBody("/b", "b");
    QVERIFY(h.run());
    QVERIFY2(h.result, qPrintable(h.errorInfo));
    QCOMPARE(h.server.requestCount("/a"), 1);
    QCOMPARE(h.server.requestCount("/b"), 2);
    QCOMPARE(h.settingsValue(RageMpSettings::ragePathKey()), h.installFolder());
}

void LoaderRunTest::compressedBodyLandsDecoded()
{
    LoaderHarness h;
    h.preinstall();
    const QByteArray content = QByteArray("compressible text ").repeated(5000);
    QJsonObject entry = h.publish("SERVER_FILES/text.txt", "/text", content);
    TestResponse response;
    response.body = content;
    response.gzipWhenAccepted = true;
    h.server.setResponse("/text", response);
    h.setManifest({ entry });

    QVERIFY(h.run());
    QVERIFY2(h.result, qPrintable(h.errorInfo));
    QVERIFY(h.server.requests().last().headers.value("accept-encoding").contains("gzip"));
    QCOMPARE(LoaderHarness::readFile(h.serverFolder(ashford) + "/text.txt"), content);
}

void LoaderRunTest::pathsOutsideTheBaseAreRefused_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("path");
    QTest::newRow("server parent") << "SERVER_FILES/../../../escape.txt" << "../../../escape.txt";
    QTest::newRow("server inner parent") << "SERVER_FILES/a/../../../../escape.txt"
                                         << "a/../../../../escape.txt";
    QTest::newRow("client absolute") << "RAGEMP_FILES//tmp/escape.txt" << "/tmp/escape.txt";
    QTest::newRow("client backslash") << "RAGEMP_FILES/..\\escape.txt" << "..\\escape.txt";
}

void LoaderRunTest::pathsOutsideTheBaseAreRefused()
{
    QFETCH(QString, file);
    QFETCH(QString, path);
    LoaderHarness h;
    h.setManifest({ h.publish(file, "/escape", "escaped") });

    QVERIFY(h.run());
    QCOMPARE(h.errorInfo, "Ошибка создание файла:" + path);
    QCOMPARE(h.server.requestCount("/escape"), 0);
    QVERIFY(!QFile::exists(h.home() + "/escape.txt"));
    QVERIFY(!QFile::exists(h.home() + "/Games/escape.txt"));
    QVERIFY(!QFile::exists("/tmp/escape.txt"));
}

void LoaderRunTest::unopenableTargetIsACreateFailure()
{
    LoaderHarness h;
    h.preinstall();
    QDir().mkpath(h.serverFolder(ashford) + "/taken");
    h.setManifest({ h.publish("SERVER_FILES/taken", "/taken", "t") });

    QVERIFY(h.run());
    QCOMPARE(h.errorInfo, QString("Ошибка создание файла:taken"));
    QCOMPARE(h.server.requestCount("/taken"), 0);
}

QTEST_MAIN(LoaderRunTest)
#include "tst_loaderrun.moc"
