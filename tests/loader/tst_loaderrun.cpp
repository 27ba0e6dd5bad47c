// Whole loader runs against a local file host: install, synchronise, launch,
// and what each kind of failure leaves behind.
#include "loaderharness.h"

#include "delta/sidecar.h"
#include "feeds/blockingget.h"
#include "loader/loaderrun.h"
#include "platform/launchersettings.h"
#include "platform/ragempsettings.h"
#include "servers/servercatalogue.h"
#include "trust/signeddocument.h"
#include "transfer/downloadsink.h"
#include "transfer/transfer.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <sodium.h>

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

// Signs as minisign does, with a key pair made from a fixed seed.
struct TestSigner
{
    explicit TestSigner(char seed)
    {
        QVERIFY(sodium_init() >= 0);
        const QByteArray seedBytes(crypto_sign_SEEDBYTES, seed);
        publicKey.resize(crypto_sign_PUBLICKEYBYTES);
        secretKey.resize(crypto_sign_SECRETKEYBYTES);
        crypto_sign_seed_keypair(reinterpret_cast<unsigned char *>(publicKey.data()),
                                 reinterpret_cast<unsigned char *>(secretKey.data()),
                                 reinterpret_cast<const unsigned char *>(seedBytes.constData()));
        keyId = QByteArray(8, seed);
    }

    QString publicKeyLine() const { return QString::fromLatin1(("Ed" + keyId + publicKey).toBase64()); }

    QByteArray detached(const QByteArray &message) const
    {
        QByteArray signature(crypto_sign_BYTES, Qt::Uninitialized);
        crypto_sign_detached(reinterpret_cast<unsigned char *>(signature.data()), nullptr,
                             reinterpret_cast<const unsigned char *>(message.constData()),
                             quint64(message.size()),
                             reinterpret_cast<const unsigned char *>(secretKey.constData()));
        return signature;
    }

    QByteArray minisig(const QByteArray &message, const QByteArray &trustedComment,
                       bool prehashed = true) const
    {
        QByteArray digest(crypto_generichash_BYTES_MAX, Qt::Uninitialized);
        crypto_generichash(reinterpret_cast<unsigned char *>(digest.data()), std::size_t(digest.size()),
                           reinterpret_cast<const unsigned char *>(message.constData()),
                           quint64(message.size()), nullptr, 0);
        const QByteArray signature = detached(prehashed ? digest : message);
        return "untrusted comment: test signature\n"
                + (QByteArray(prehashed ? "ED" : "Ed") + keyId + signature).toBase64()
                + "\ntrusted comment: " + trustedComment + "\n"
                + detached(signature + trustedComment).toBase64() + "\n";
    }

    QByteArray keyId;
    QByteArray publicKey;
    QByteArray secretKey;
};

// The loader's and the pipeline's diagnostics while it lives.
class LoaderLog
{
public:
    LoaderLog()
    {
        s_lines.clear();
        QLoggingCategory::setFilterRules(QStringLiteral("zanrok.loader.info=true\nzanrok.transfer.info=true"));
        s_previous = qInstallMessageHandler(collect);
    }
    ~LoaderLog()
    {
        qInstallMessageHandler(s_previous);
        QLoggingCategory::setFilterRules(QString());
    }
    QString text() const
    {
        QMutexLocker lock(&s_mutex);
        return s_lines.join('\n');
    }

private:
    static void collect(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        if (qstrcmp(context.category, "zanrok.loader") != 0 && qstrcmp(context.category, "zanrok.transfer") != 0) {
            s_previous(type, context, message);
            return;
        }
        QMutexLocker lock(&s_mutex);
        s_lines << message;
    }
    static inline QtMessageHandler s_previous = nullptr;
    static inline QMutex s_mutex;
    static inline QStringList s_lines;
};

} // namespace

class LoaderRunTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void installsSynchronisesAndLaunches();
    void storedFolderWithoutClientIsReplacedByAnInstall();
    void failedStartIsReported_data();
    void failedStartIsReported();
    void upperCaseDigestIsDownloadedEveryRun();
    void manifestFailures_data();
    void manifestFailures();
    void failedDownloadKeepsTheEarlierFile_data();
    void failedDownloadKeepsTheEarlierFile();
    void failedInstallLeavesNoRagePath();
    void passingFailuresAreTriedAgain_data();
    void passingFailuresAreTriedAgain();
    void cutBodyIsResumed_data();
    void cutBodyIsResumed();
    void keptPartIsResumedAtTheNextPlay_data();
    void keptPartIsResumedAtTheNextPlay();
    void fileWithoutProgressIsGivenUp();
    void largeFileIsUpdatedFromItsOldCopy_data();
    void largeFileIsUpdatedFromItsOldCopy();
    void reportsAndFailuresFollowManifestOrder();
    void firstFailureStopsLaterDownloads_data();
    void firstFailureStopsLaterDownloads();
    void sameTargetEntriesRunInTurn();
    void oneFileUnderTwoNames_data();
    void oneFileUnderTwoNames();
    void emptyDigestTakesTheBodyAsItCame();
    void signedManifest_data();
    void signedManifest();
    void stopEndsTheRunAtOnce_data();
    void stopEndsTheRunAtOnce();
    void compressingHostSendsThePublishedBytes();
    void misbehavingHostsStillGiveEveryFile_data();
    void misbehavingHostsStillGiveEveryFile();
    void pathsOutsideTheBaseAreRefused_data();
    void pathsOutsideTheBaseAreRefused();
    void unopenableTargetIsACreateFailure_data();
    void unopenableTargetIsACreateFailure();
    void sizeBoundsTheBody_data();
    void sizeBoundsTheBody();
};

void LoaderRunTest::init()
{
    setCurrentServer(0);
}

void LoaderRunTest::cleanup()
{
    setFetchInactivityTimeout(std::chrono::seconds(30));
    setPartHashingDelay(std::chrono::milliseconds(0));
    setTimeWithoutProgress(std::chrono::seconds(60));
    setManifestDeadline(std::chrono::seconds(60));
    setSlowRetrievalFloor(1024, std::chrono::seconds(30));
    setAvailableSpace(-1);
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
    // Each entry's value as it starts, in order; a download may show values
    // in between, never going back.
    const QList<int> starts { 1, 5, 10, 30, 50, 70, 90 };
    QVERIFY(std::is_sorted(h.percents.begin(), h.percents.end()));
    QList<int> shownStarts;
    std::copy_if(h.percents.begin(), h.percents.end(), std::back_inserter(shownStarts),
                 [&](int percent) { return starts.contains(percent); });
    QCOMPARE(shownStarts, starts);
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
    // would download it again; no other user may write it (0644).
    const QFile::Permissions wanted = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
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

    // The run's connections served the manifest and all six files.
    QVERIFY(h.server.connectionCount() <= 6);

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
    // An empty client section still makes an install; a run that ends
    // without "ragemp_v.exe" cannot start the game and says so.
    h.setManifest({ h.publish("SERVER_FILES/x.txt", "/x", "x") });

    QVERIFY(h.run());
    QVERIFY(!h.result);
    QCOMPARE(h.errorInfo, QString("Ошибка запуска игры."));
    QVERIFY(h.infos.contains("Установка RageMP"));
    QCOMPARE(h.settingsValue(RageMpSettings::ragePathKey()), h.installFolder());
    QCOMPARE(LoaderHarness::readFile(h.serverFolder(ashford) + "/x.txt"), QByteArray("x"));
    QCOMPARE(LoaderHarness::filesUnder(elsewhere), QStringList());
    QCOMPARE(h.settingsValue(RageMpSettings::launchIpKey()), QString("ashford.zanrok.net"));
}

void LoaderRunTest::failedStartIsReported_data()
{
    QTest::addColumn<QString>("fault");
    QTest::newRow("client is no program") << "no program";
    QTest::newRow("settings store unwritable") << "store";
}

void LoaderRunTest::failedStartIsReported()
{
    QFETCH(QString, fault);
    LoaderHarness h;
    QString rage;
    if (fault == "no program") {
        rage = h.preinstall();
        LoaderHarness::writeFile(rage + "/ragemp_v.exe", "not a program");
        h.setManifest({ h.publish("SERVER_FILES/x.txt", "/x", "x") });
    } else {
        // A file where the store's folder should be: nothing can be kept.
        LoaderHarness::writeFile(QFileInfo(RageMpSettings::location()).path(), "in the way");
        rage = h.installFolder();
        h.setManifest({ h.publish("RAGEMP_FILES/ragemp_v.exe", "/exe", LoaderHarness::standinClient()) });
    }

    QVERIFY(h.run());
    QVERIFY(!h.result);
    QCOMPARE(h.errorInfo, QString("Ошибка запуска игры."));
    QCOMPARE(h.infos.last(), QString("Запуск RageMP..."));
    QCOMPARE(h.messages(), QStringList());
    if (fault == "store") {
        // A client started anyway would join no server, or the last one.
        QVERIFY(QFile::exists(rage + "/ragemp_v.exe"));
        QVERIFY(h.launchLog(rage).isEmpty());
    }
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
    // A host that sends without end stops being read past 64 MiB.
    r.body = QByteArray(64 * 1024, ' ');
    r.fault = TestResponse::Fault::StreamWithoutLength;
    r.cutAfter = 65 * 1024 * 1024;
    QTest::newRow("longer than 64 MiB") << r << "Ошибка получения списка файлов.";
    r.cutAfter = 1024 * 1024;
    r.headers = { { "Content-Length", "1099511627776" } };
    QTest::newRow("announced longer") << r << "Ошибка получения списка файлов.";
    r = TestResponse();
    r.body = QByteArray(65 * 1024 * 1024, ' ');
    r.gzipWhenAccepted = true;
    QTest::newRow("compressed, longer unpacked") << r << "Ошибка получения списка файлов.";
    // Not followed, and its body is not the manifest.
    r = TestResponse();
    r.status = 302;
    r.headers = { { "Location", "/elsewhere/files.json" } };
    r.body = R"([{"file": "SERVER_FILES/a.txt", "url": "http://127.0.0.1:1/a", "hash": ""}])";
    QTest::newRow("redirect") << r << "Ошибка запроса файлов.";
    r.status = 200;
    r.headers.clear();
    r.delayMs = 5000; // past a deadline shortened to 0.2 s
    QTest::newRow("past the deadline") << r << "Ошибка запроса файлов.";
    // Only a client to install, but the server's files go beside it: more
    // than the disk's 1 MiB, refused before anything is written.
    r = TestResponse();
    const QByteArray digest(32, 'a');
    r.body = R"([{"file": "RAGEMP_FILES/ragemp_v.exe", "url": "http://127.0.0.1:9/exe", "hash": ")" + digest
            + R"(", "size": 1000}, {"file": "SERVER_FILES/maps/city.bin", "url": "http://127.0.0.1:9/city", "hash": ")"
            + digest + R"(", "size": 1048576}])";
    QTest::newRow("more than the disk holds") << r << "Недостаточно места на диске.";
}

void LoaderRunTest::manifestFailures()
{
    QFETCH(TestResponse, response);
    QFETCH(QString, expected);
    if (response.fault == TestResponse::Fault::StallBeforeHeaders)
        setFetchInactivityTimeout(std::chrono::milliseconds(100));
    if (response.delayMs > 0)
        setManifestDeadline(std::chrono::milliseconds(200));
    setAvailableSpace(1024 * 1024);
    LoaderHarness h;
    h.server.setResponse("/files.json", response);

    QVERIFY(h.run());
    QVERIFY(!h.result);
    QCOMPARE(h.errorInfo, expected);
    // Not asked again. Qt itself may send the request once more when the
    // host closes the connection as the read is given up.
    if (response.fault == TestResponse::Fault::StreamWithoutLength)
        QVERIFY(h.server.requestCount("/files.json") <= 2);
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
    QTest::addColumn<int>("tries");
    const auto none = TestResponse::Fault::None;
    const auto cut = TestResponse::Fault::CutMidBody;
    const auto stall = TestResponse::Fault::StallMidBody;
    for (bool earlier : { true, false }) {
        const char *suffix = earlier ? " over an earlier file" : " into no file";
        QTest::addRow("cut%s", suffix) << cut << 200 << false << earlier << -1 << 4;
        QTest::addRow("stall%s", suffix) << stall << 200 << false << earlier << 1 << 4;
        // A byte run now and then: never silent, so only the rate floor cuts it.
        QTest::addRow("trickle%s", suffix) << TestResponse::Fault::Trickle << 200 << false << earlier << 1 << 4;
        QTest::addRow("server error%s", suffix) << none << 503 << false << earlier << 1 << 4;
        QTest::addRow("not found%s", suffix) << none << 404 << false << earlier << 1 << 1;
        // Once more past a cache that may hold an old copy, then no more.
        QTest::addRow("wrong digest%s", suffix) << none << 200 << true << earlier << 0 << 2;
    }
}

void LoaderRunTest::failedDownloadKeepsTheEarlierFile()
{
    QFETCH(TestResponse::Fault, fault);
    QFETCH(int, status);
    QFETCH(bool, wrongDigest);
    QFETCH(bool, earlierFile);
    QFETCH(int, messages);
    QFETCH(int, tries);
    if (fault == TestResponse::Fault::StallMidBody)
        setFetchInactivityTimeout(std::chrono::milliseconds(100));
    if (fault == TestResponse::Fault::Trickle)
        setSlowRetrievalFloor(1024, std::chrono::milliseconds(300));
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
    // Qt itself sends a request again when the connection it went out on
    // turns out to be closing, so after cuts the host may see more.
    if (fault == TestResponse::Fault::CutMidBody)
        QVERIFY(h.server.requestCount("/city") >= tries);
    else
        QCOMPARE(h.server.requestCount("/city"), tries);
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

    // The next run installs again and fetches only what is still missing;
    // this manifest carries no client to start.
    h.server.setBody("/b", "b");
    QVERIFY(h.run());
    QCOMPARE(h.errorInfo, QString("Ошибка запуска игры."));
    QCOMPARE(h.server.requestCount("/a"), 1);
    QCOMPARE(h.server.requestCount("/b"), 2);
    QCOMPARE(h.settingsValue(RageMpSettings::ragePathKey()), h.installFolder());
}

void LoaderRunTest::compressingHostSendsThePublishedBytes()
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
    // The bytes as published, which the digest covers: nothing to decode.
    QCOMPARE(h.server.requests().last().headers.value("accept-encoding"), QByteArray("identity"));
    QCOMPARE(LoaderHarness::readFile(h.serverFolder(ashford) + "/text.txt"), content);
}

void LoaderRunTest::misbehavingHostsStillGiveEveryFile_data()
{
    QTest::addColumn<int>("closeAfter"); // answers a connection carries; 0: no limit
    QTest::addColumn<bool>("announced"); // the last of them says "Connection: close"
    QTest::addColumn<bool>("chunked");
    QTest::addColumn<int>("firstSize"); // of the first file, whose first answer may misbehave
    QTest::addColumn<TestResponse::Fault>("firstFault");
    QTest::addColumn<int>("firstDelay");
    QTest::addColumn<bool>("oneAtATime"); // the host is then asked one request at a time
    const auto none = TestResponse::Fault::None;
    const int small = 3000;
    QTest::newRow("closes after 5 answers, requests outstanding") << 5 << false << false << small << none << 0 << false;
    QTest::newRow("closes mid-body") << 0 << false << false << 200000 << TestResponse::Fault::CutMidBody << 0 << false;
    QTest::newRow("answers the first of a pipeline, then closes") << 1 << false << false << small << none << 0 << true;
    QTest::newRow("chunked, with extensions and trailers") << 0 << false << true << small << none << 0 << false;
    QTest::newRow("Connection: close on the third answer") << 3 << true << false << small << none << 0 << false;
    QTest::newRow("a large answer delayed in front of small ones")
            << 0 << false << false << 5 * 1024 * 1024 << none << 300 << false;
}

void LoaderRunTest::misbehavingHostsStillGiveEveryFile()
{
    QFETCH(int, closeAfter);
    QFETCH(bool, announced);
    QFETCH(bool, chunked);
    QFETCH(int, firstSize);
    QFETCH(TestResponse::Fault, firstFault);
    QFETCH(int, firstDelay);
    QFETCH(bool, oneAtATime);
    LoaderLog log;
    LoaderHarness h;
    h.preinstall();
    h.server.closeConnectionsAfter(closeAfter, announced);
    // More files than connections, so that requests queue on each; each
    // file's bytes its own, so that an answer taken for another shows.
    QJsonArray manifest;
    QList<QByteArray> contents;
    for (int i = 0; i < 60; ++i) {
        const QByteArray path = "/p/" + QByteArray::number(i);
        contents << randomBytes(i == 0 ? firstSize : 1000 + 37 * i, quint32(i + 1));
        manifest << h.publish(QString("SERVER_FILES/p/%1.bin").arg(i), path, contents.last());
        TestResponse answer;
        answer.body = contents.last();
        answer.chunked = chunked;
        TestResponse first = answer;
        first.fault = i == 0 ? firstFault : TestResponse::Fault::None;
        first.delayMs = i == 0 ? firstDelay : 0;
        h.server.setResponses(path, { first, answer });
    }
    h.setManifest(manifest);

    QVERIFY(h.run());
    QVERIFY2(h.result, qPrintable(h.errorInfo));
    QCOMPARE(h.messages(), QStringList());
    for (int i = 0; i < contents.size(); ++i)
        QVERIFY2(LoaderHarness::readFile(h.serverFolder(ashford) + QString("/p/%1.bin").arg(i)) == contents[i],
                 qPrintable(QString::number(i)));
    // A body taken for another file's fails its digest and is asked for
    // again past caches: none was.
    const QList<TestRequest> requests = h.server.requests();
    QVERIFY(std::none_of(requests.begin(), requests.end(),
                         [](const TestRequest &r) { return r.headers.contains("cache-control"); }));
    QCOMPARE(log.text().contains("one request at a time"), oneAtATime);
    // And no request waited out the inactivity limit on a closed connection.
    QVERIFY(!log.text().contains("no progress"));
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

void LoaderRunTest::unopenableTargetIsACreateFailure_data()
{
    QTest::addColumn<bool>("duringDownload"); // the folder appears only once the body is on its way
    QTest::newRow("folder before the run") << false;
    QTest::newRow("folder during the download") << true;
}

void LoaderRunTest::unopenableTargetIsACreateFailure()
{
    QFETCH(bool, duringDownload);
    LoaderHarness h;
    h.preinstall();
    const QString target = h.serverFolder(ashford) + "/taken";
    TestResponse slow;
    slow.body = "t";
    slow.delayMs = 1000;
    h.setManifest({ h.publish("SERVER_FILES/taken", "/taken", slow.body) });
    h.server.setResponse("/taken", slow);
    if (!duringDownload)
        QDir().mkpath(target);

    h.startRun();
    if (duringDownload) {
        QTRY_COMPARE(h.server.requestCount("/taken"), 1);
        QVERIFY(QDir().mkpath(target));
    }
    QTRY_VERIFY_WITH_TIMEOUT(h.finished, 60000);
    QCOMPARE(h.errorInfo, QString("Ошибка создание файла:taken"));
    QCOMPARE(h.server.requestCount("/taken"), duringDownload ? 1 : 0);
    QCOMPARE(LoaderHarness::filesUnder(h.serverFolder(ashford)), QStringList());
}

void LoaderRunTest::passingFailuresAreTriedAgain_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<TestResponse>("first");
    QTest::addColumn<QByteArray>("retryHeader"); // a header the second try must carry
    TestResponse r;
    r.status = 503;
    QTest::newRow("busy file host") << QByteArray("/f") << r << QByteArray();
    QTest::newRow("busy manifest host") << QByteArray("/files.json") << r << QByteArray();
    r.status = 429;
    r.headers = { { "Retry-After", "1" } };
    QTest::newRow("too many requests") << QByteArray("/f") << r << QByteArray();
    r = TestResponse();
    r.fault = TestResponse::Fault::CutMidBody;
    QTest::newRow("cut") << QByteArray("/f") << r << QByteArray();
    r.fault = TestResponse::Fault::StallBeforeHeaders;
    QTest::newRow("silent") << QByteArray("/f") << r << QByteArray();
    r = TestResponse();
    r.body = "an older copy";
    QTest::newRow("older copy") << QByteArray("/f") << r << QByteArray("cache-control");
    // A host that pauses mid-body, both times: the second try starts over
    // below where the first had come, and the percent must not follow it.
    r = TestResponse();
    r.fault = TestResponse::Fault::CutMidBody;
    r.pieceBytes = 75000;
    r.pauseMs = 400;
    QTest::newRow("cut, starting over slowly") << QByteArray("/f") << r << QByteArray();
}

void LoaderRunTest::passingFailuresAreTriedAgain()
{
    QFETCH(QByteArray, path);
    QFETCH(TestResponse, first);
    QFETCH(QByteArray, retryHeader);
    setFetchInactivityTimeout(std::chrono::milliseconds(first.pauseMs > 0 ? 2000 : 300));
    LoaderHarness h;
    h.preinstall();
    const QByteArray content(300000, 'f');
    const QJsonArray manifest { h.publish("SERVER_FILES/f.bin", "/f", content) };
    h.setManifest(manifest);
    TestResponse good;
    good.body = path == "/files.json" ? QJsonDocument(manifest).toJson() : content;
    // A host that pauses does so at every try, and answers late too.
    good.pieceBytes = first.pieceBytes;
    good.pauseMs = good.delayMs = first.pauseMs;
    if (first.body.isEmpty())
        first.body = good.body;
    h.server.setResponses(path, { first, good });

    QVERIFY(h.run());
    QVERIFY2(h.result, qPrintable(h.errorInfo));
    QCOMPARE(h.messages(), QStringList());
    // After a cut Qt may send a request again on its own; the host sees
    // at least our second try.
    if (first.fault == TestResponse::Fault::CutMidBody)
        QVERIFY(h.server.requestCount(path) >= 2);
    else
        QCOMPARE(h.server.requestCount(path), 2);
    QCOMPARE(LoaderHarness::readFile(h.serverFolder(ashford) + "/f.bin"), content);
    QVERIFY(std::is_sorted(h.percents.begin(), h.percents.end()));
    if (!retryHeader.isEmpty()) {
        QList<TestRequest> tries = h.server.requests();
        tries.erase(std::remove_if(tries.begin(), tries.end(),
                                   [&](const TestRequest &r) { return r.path != path; }),
                    tries.end());
        QVERIFY(!tries.first().headers.contains(retryHeader));
        QVERIFY(tries.last().headers.contains(retryHeader));
    }
}

namespace {

// A body that shows where each byte came from.
QByteArray patterned(int size)
{
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char((qint64(i) * 2654435761u) >> 11);
    return data;
}

TestResponse rangeAnswer(const QByteArray &body, const QByteArray &etag, bool ranges = true)
{
    TestResponse r;
    r.body = body;
    r.ranges = ranges;
    r.headers = { { "ETag", etag } };
    return r;
}

QList<TestRequest> requestsFor(const TestServer &server, const QByteArray &path)
{
    QList<TestRequest> out;
    for (const TestRequest &request : server.requests()) {
        if (request.path == path)
            out << request;
    }
    return out;
}

} // namespace

void LoaderRunTest::cutBodyIsResumed_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("cutAfter");
    QTest::addColumn<bool>("everyAnswerCut");
    QTest::addColumn<QByteArray>("secondEtag");
    QTest::addColumn<bool>("secondRanges");
    QTest::addColumn<QByteArray>("wrongRange"); // a 206 with this Content-Range comes second
    QTest::addColumn<bool>("rangeAsked");
    const int mib = 1024 * 1024;
    const int size = 3 * mib + 7;
    const QByteArray v1 = "\"v1\"";
    QTest::newRow("rest with 206") << size << 2 * mib << false << v1 << true << QByteArray() << true;
    QTest::newRow("server ignores ranges") << size << 2 * mib << false << v1 << false << QByteArray() << true;
    QTest::newRow("server's copy changed") << size << 2 * mib << false << QByteArray("\"v2\"") << true
                                           << QByteArray() << true;
    QTest::newRow("under a MiB starts over") << size << 512 * 1024 << false << v1 << true << QByteArray() << false;
    // More tries than the budget, each carrying the part on by over a MiB.
    QTest::newRow("reset every MiB") << 6 * mib << mib + 64 * 1024 << true << v1 << true << QByteArray() << true;
    // Not the rest that was asked for: a try cut short, the part kept.
    QTest::newRow("206 from another byte") << size << 2 * mib << false << v1 << true
                                           << QByteArray("bytes 1048576-3145734/3145735") << true;
    QTest::newRow("206 that ends early") << size << 2 * mib << false << v1 << true
                                         << QByteArray("bytes 2097152-2098175/3145735") << true;
    QTest::newRow("206 of another length") << size << 2 * mib << false << v1 << true
                                           << QByteArray("bytes 2097152-3145834/3145835") << true;
}

void LoaderRunTest::cutBodyIsResumed()
{
    QFETCH(int, size);
    QFETCH(int, cutAfter);
    QFETCH(bool, everyAnswerCut);
    QFETCH(QByteArray, secondEtag);
    QFETCH(bool, secondRanges);
    QFETCH(QByteArray, wrongRange);
    QFETCH(bool, rangeAsked);
    LoaderHarness h;
    h.preinstall();
    const QByteArray content = patterned(size);
    h.setManifest({ h.publish("SERVER_FILES/maps/big.bin", "/big", content) });
    TestResponse cut = rangeAnswer(content, "\"v1\"");
    cut.fault = TestResponse::Fault::CutMidBody;
    cut.cutAfter = cutAfter;
    QList<TestResponse> answers { cut };
    if (!wrongRange.isEmpty()) {
        // Stated as it is sent: the host applies no range of its own to it.
        TestResponse wrong = rangeAnswer(QByteArray(), "\"v1\"", false);
        wrong.status = 206;
        wrong.headers << qMakePair(QByteArray("Content-Range"), wrongRange);
        const QByteArray span = wrongRange.mid(6, wrongRange.indexOf('/') - 6);
        const qint64 first = span.left(span.indexOf('-')).toLongLong();
        const qint64 last = span.mid(span.indexOf('-') + 1).toLongLong();
        wrong.body = (content + QByteArray(1024, 'x')).mid(int(first), int(last - first + 1));
        answers << wrong;
    }
    if (!everyAnswerCut)
        answers << rangeAnswer(content, secondEtag, secondRanges);
    h.server.setResponses("/big", answers);

    QVERIFY(h.run());
    QVERIFY2(h.result, qPrintable(h.errorInfo));
    // The last try is the one that completed (Qt may resend a cut one itself).
    const QList<TestRequest> tries = requestsFor(h.server, "/big");
    QVERIFY(tries.size() >= 2);
    QVERIFY(!tries.first().headers.contains("range"));
    if (rangeAsked) {
        // From where the last cut left the part.
        const int from = everyAnswerCut ? size / cutAfter * cutAfter : cutAfter;
        QCOMPARE(tries.last().headers.value("range"), "bytes=" + QByteArray::number(from) + '-');
        QCOMPARE(tries.last().headers.value("if-range"), QByteArray("\"v1\""));
    } else {
        QVERIFY(!tries.last().headers.contains("range"));
    }
    // Whole and checked, and no part or note of it left.
    const QString folder = h.serverFolder(ashford);
    QVERIFY(LoaderHarness::readFile(folder + "/maps/big.bin") == content);
    QCOMPARE(LoaderHarness::filesUnder(folder), QStringList({ "maps/big.bin" }));
}

void LoaderRunTest::keptPartIsResumedAtTheNextPlay_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("cutAfter");
    QTest::addColumn<bool>("ranges"); // the first play's host
    QTest::addColumn<bool>("digest");
    QTest::addColumn<bool>("slowDisk"); // at the second play
    QTest::addColumn<int>("kept");      // bytes of the part the first play leaves; -1: some
    const int mib = 1024 * 1024;
    QTest::newRow("host without ranges") << 3 * mib << 1536 * 1024 << false << true << false << 1536 * 1024;
    // Every try carries the part on, until 20 tries in all.
    QTest::newRow("more than 20 tries' worth") << 24 * mib + 7 << mib + 64 * 1024 << true << true << false
                                               << 20 * (mib + 64 * 1024);
    // Nothing could show that a splice is right.
    QTest::newRow("no digest") << 6 * mib << mib + 256 * 1024 << true << false << false << 0;
    // The part is hashed far slower than the inactivity timeout (the rest
    // is more than the buffers on the way hold).
    QTest::newRow("slow disk") << 24 * mib << 4 * mib << false << true << true << -1;
}

void LoaderRunTest::keptPartIsResumedAtTheNextPlay()
{
    QFETCH(int, size);
    QFETCH(int, cutAfter);
    QFETCH(bool, ranges);
    QFETCH(bool, digest);
    QFETCH(bool, slowDisk);
    QFETCH(int, kept);
    LoaderHarness h;
    h.preinstall();
    const QByteArray content = patterned(size);
    QJsonObject entry = h.publish("SERVER_FILES/big.bin", "/big", content);
    if (!digest)
        entry.remove("hash");
    h.setManifest({ entry });
    TestResponse cut = rangeAnswer(content, "\"v1\"", ranges);
    cut.fault = TestResponse::Fault::CutMidBody;
    cut.cutAfter = cutAfter;
    h.server.setResponse("/big", cut);

    // Every try is cut: the run fails, the part stays for the next play.
    QVERIFY(h.run());
    QCOMPARE(h.errorInfo, QString("Ошибка загрузки файла:big.bin"));
    const QString folder = h.serverFolder(ashford);
    const qint64 part = QFileInfo(folder + "/big.bin.zanrok-download").size();
    if (kept != 0) {
        QCOMPARE(LoaderHarness::filesUnder(folder),
                 QStringList({ "big.bin.zanrok-download", "big.bin.zanrok-resume" }));
        if (kept > 0)
            QCOMPARE(part, qint64(kept));
    } else {
        QCOMPARE(LoaderHarness::filesUnder(folder), QStringList());
    }

    if (slowDisk) {
        setFetchInactivityTimeout(std::chrono::milliseconds(500));
        setPartHashingDelay(std::chrono::milliseconds(250));
    }
    h.server.setResponse("/big", rangeAnswer(content, "\"v1\""));
    h.clearRecords();
    QVERIFY(h.run());
    QVERIFY2(h.result, qPrintable(h.errorInfo));
    QCOMPARE(h.messages(), QStringList());
    QCOMPARE(requestsFor(h.server, "/big").last().headers.value("range"),
             kept != 0 ? "bytes=" + QByteArray::number(part) + '-' : QByteArray());
    QVERIFY(LoaderHarness::readFile(folder + "/big.bin") == content);
    QCOMPARE(LoaderHarness::filesUnder(folder), QStringList({ "big.bin" }));
}

void LoaderRunTest::fileWithoutProgressIsGivenUp()
{
    // Four tries would be allowed; each waits out the inactivity timeout,
    // so the second ends past the limit.
    setFetchInactivityTimeout(std::chrono::milliseconds(100));
    setTimeWithoutProgress(std::chrono::milliseconds(150));
    LoaderHarness h;
    h.preinstall();
    h.setManifest({ h.publish("SERVER_FILES/f.bin", "/f", "f") });
    TestResponse silent;
    silent.fault = TestResponse::Fault::StallBeforeHeaders;
    h.server.setResponse("/f", silent);

    QVERIFY(h.run());
    QCOMPARE(h.errorInfo, QString("Ошибка загрузки файла:f.bin"));
    QVERIFY2(h.server.requestCount("/f") <= 2, qPrintable(QString::number(h.server.requestCount("/f"))));
}

void LoaderRunTest::largeFileIsUpdatedFromItsOldCopy_data()
{
    QTest::addColumn<QString>("sidecar");
    QTest::addColumn<QString>("ranges");
    QTest::addColumn<bool>("whole");
    QTest::newRow("changed blocks only") << "true" << "several" << false;
    QTest::newRow("host with one range a request") << "true" << "one" << false;
    QTest::newRow("ranges answer cut") << "true" << "cut" << false;
    QTest::newRow("sidecar that lies") << "lying" << "several" << true;
    QTest::newRow("older file with its own sidecar") << "older" << "several" << true;
    QTest::newRow("host without ranges") << "true" << "none" << true;
    QTest::newRow("no sidecar") << "none" << "several" << true;
    QTest::newRow("hostile sidecar") << "hostile" << "several" << true;
    // Carrying less than the rate floor: cut, then the delta or the file whole.
    QTest::newRow("sidecar that trickles") << "trickle" << "several" << true;
    QTest::newRow("ranges answer that trickles") << "true" << "trickle" << false;
    // Of another length than the manifest's size: never used.
    QTest::newRow("sidecar of another length") << "longer" << "unasked" << true;
}

void LoaderRunTest::largeFileIsUpdatedFromItsOldCopy()
{
    QFETCH(QString, sidecar);
    QFETCH(QString, ranges);
    QFETCH(bool, whole);
    LoaderHarness h;
    h.preinstall();
    const QByteArray old = randomBytes(6 * 1024 * 1024, 7);
    QByteArray content = old;
    content.replace(3 * 1024 * 1024 + 99, 40000, randomBytes(40000, 8));
    content.replace(5 * 1024 * 1024, 3000, randomBytes(3000, 9));
    const QString folder = h.serverFolder(ashford);
    QDir().mkpath(folder + "/maps");
    LoaderHarness::writeFile(folder + "/maps/big.bin", old);
    h.setManifest({ h.publish("SERVER_FILES/maps/big.bin", "/big", content) });
    // A mirror behind by a version serves the older file with its sidecar.
    QByteArray older = old;
    older.replace(1024 * 1024, 5000, randomBytes(5000, 10));
    const QByteArray served = sidecar == "older" ? older : content;
    TestResponse answer = rangeAnswer(served, "\"v2\"", ranges != "none");
    answer.multipleRanges = ranges != "one";
    TestResponse cut = answer;
    cut.fault = ranges == "trickle" ? TestResponse::Fault::Trickle : TestResponse::Fault::CutMidBody;
    cut.cutAfter = 20000;
    h.server.setResponses("/big", ranges == "cut" || ranges == "trickle" ? QList<TestResponse> { cut, answer }
                                                                         : QList<TestResponse> { answer });
    QByteArray published = zsyncSidecar(sidecar == "longer" ? served + "tail" : served);
    QVERIFY(!published.isEmpty());
    if (sidecar == "lying")
        published.replace(published.indexOf("SHA-1: ") + 7, 4, "0000");
    if (sidecar == "hostile")
        published = hostileSidecar(content.size(), maxSidecarBlockSize);
    TestResponse sidecarAnswer;
    sidecarAnswer.body = published;
    if (sidecar == "trickle")
        sidecarAnswer.fault = TestResponse::Fault::Trickle;
    if (sidecar == "none")
        h.server.setBody("/big.zsync", "not here", 404);
    else
        h.server.setResponse("/big.zsync", sidecarAnswer);
    if (sidecar == "trickle" || ranges == "trickle")
        setSlowRetrievalFloor(1024, std::chrono::milliseconds(300));

    QVERIFY(h.run());
    if (sidecar == "older") {
        // What the delta builds matches its sidecar, not the manifest; the
        // whole file then does not match either: the run fails and the old
        // copy stays, to serve the delta once the mirror catches up.
        QVERIFY(!h.result);
        QCOMPARE(h.errorInfo, QString("Ошибка загрузки файла:maps/big.bin"));
        QVERIFY(LoaderHarness::readFile(folder + "/maps/big.bin") == old);
        QCOMPARE(LoaderHarness::filesUnder(folder), QStringList({ "maps/big.bin" }));
        const auto wholeGet = [](const TestRequest &r) { return r.path == "/big" && !r.headers.contains("range"); };
        const QList<TestRequest> first = h.server.requests();
        QVERIFY(std::any_of(first.begin(), first.end(), wholeGet));
        h.server.setResponses("/big", { rangeAnswer(content, "\"v3\"") });
        h.server.setBody("/big.zsync", zsyncSidecar(content));
        QVERIFY(h.run());
        QVERIFY2(h.result, qPrintable(h.errorInfo));
        QVERIFY(LoaderHarness::readFile(folder + "/maps/big.bin") == content);
        const QList<TestRequest> later = h.server.requests().mid(first.size());
        QVERIFY(std::none_of(later.begin(), later.end(), wholeGet));
        return;
    }
    QVERIFY2(h.result, qPrintable(h.errorInfo));
    QVERIFY(LoaderHarness::readFile(folder + "/maps/big.bin") == content);
    QCOMPARE(LoaderHarness::filesUnder(folder), QStringList({ "maps/big.bin" }));
    QCOMPARE(h.server.requestCount("/big.zsync"), 1);
    const QList<TestRequest> gets = requestsFor(h.server, "/big");
    const bool wholeAsked = std::any_of(gets.begin(), gets.end(), [](const TestRequest &r) {
        return !r.headers.contains("range");
    });
    QCOMPARE(wholeAsked, whole);
    // The two changed regions, to the block, in one request of two ranges,
    // or one a request where the host refuses several.
    QList<QByteArray> asked;
    for (const TestRequest &get : gets)
        asked << get.headers.value("range");
    if (ranges == "several" && !whole)
        QCOMPARE(asked, QList<QByteArray>({ "bytes=3145728-3186687,5242880-5246975" }));
    if (ranges == "unasked")
        QCOMPARE(asked, QList<QByteArray>({ QByteArray() }));
    if (ranges == "one") {
        std::sort(asked.begin() + 1, asked.end()); // the two go out side by side
        QCOMPARE(asked, QList<QByteArray>({ "bytes=3145728-3186687,5242880-5246975", "bytes=3145728-3186687",
                                            "bytes=5242880-5246975" }));
    }
    if (ranges == "cut") {
        // Only what had not arrived is asked again.
        QVERIFY(asked.size() >= 2);
        QVERIFY(asked.last() != asked.first());
        const qint64 resumedFrom = asked.last().mid(6, asked.last().indexOf('-') - 6).toLongLong();
        QVERIFY2(resumedFrom > 3145728 && resumedFrom < 3186687, asked.last().constData());
        QVERIFY(asked.last().endsWith("-3186687,5242880-5246975"));
    }
}

void LoaderRunTest::sizeBoundsTheBody_data()
{
    // What the host serves for a file published with 200000 bytes.
    QTest::addColumn<TestResponse>("response");
    QTest::addColumn<int>("keptPart"); // bytes of a part of the file kept from before, with its note
    QTest::addColumn<bool>("result");
    const QByteArray content(200000, 'n');
    TestResponse r;
    r.body = content + "more";
    QTest::newRow("longer") << r << 0 << false;
    r.body = content.left(150000);
    QTest::newRow("shorter") << r << 0 << false;
    r.body = QByteArray(16 * 1024 * 1024, 'n');
    r.gzipWhenAccepted = true;
    QTest::newRow("compressed, longer unpacked") << r << 0 << false;
    QTest::newRow("kept part longer than the file") << rangeAnswer(content, "\"v1\"") << 300000 << true;
}

void LoaderRunTest::sizeBoundsTheBody()
{
    QFETCH(TestResponse, response);
    QFETCH(int, keptPart);
    QFETCH(bool, result);
    LoaderHarness h;
    h.preinstall();
    QJsonObject entry = h.publish("SERVER_FILES/city.bin", "/city", QByteArray(200000, 'n'));
    h.server.setResponse("/city", response);
    // Without a digest only the size bounds the body; a kept part is taken up only with one.
    if (keptPart == 0)
        entry.remove("hash");
    h.setManifest({ entry });
    const QString target = h.serverFolder(ashford) + "/city.bin";
    if (keptPart > 0) {
        QDir().mkpath(h.serverFolder(ashford));
        LoaderHarness::writeFile(DownloadSink::partPath(target), QByteArray(keptPart, 'n'));
        LoaderHarness::writeFile(DownloadSink::notePath(target),
                                 QJsonDocument(QJsonObject { { "url", entry["url"] }, { "hash", entry["hash"] },
                                                             { "validator", "\"v1\"" } }).toJson());
    }

    QVERIFY(h.run());
    QCOMPARE(h.errorInfo, result ? QString() : QString("Ошибка загрузки файла:city.bin"));
    QCOMPARE(h.messages(), QStringList());
    QCOMPARE(LoaderHarness::filesUnder(h.serverFolder(ashford)), result ? QStringList({ "city.bin" }) : QStringList());
    // No range past the file's end; a wrong body is tried once more past
    // caches, as one that does not match its digest.
    const QList<TestRequest> tries = requestsFor(h.server, "/city");
    QVERIFY(!tries.first().headers.contains("range"));
    QCOMPARE(tries.last().headers.contains("cache-control"), !result);
}

void LoaderRunTest::reportsAndFailuresFollowManifestOrder()
{
    LoaderHarness h;
    h.preinstall();
    const QString folder = h.serverFolder(ashford);
    // The first file arrives last; the others overtake it.
    TestResponse slow;
    slow.body = "slow";
    slow.delayMs = 300;
    QJsonArray manifest { h.publish("SERVER_FILES/a.txt", "/a", slow.body) };
    h.server.setResponse("/a", slow);
    for (const char *name : { "b", "c", "d" })
        manifest << h.publish(QString("SERVER_FILES/%1.txt").arg(name), QByteArray("/") + name, name);
    h.setManifest(manifest);

    QVERIFY(h.run());
    QVERIFY2(h.result, qPrintable(h.errorInfo));
    QVERIFY(h.server.connectionCount() > 1);
    QCOMPARE(onlyStarting(h.infos, "Загрузка "), QStringList({
            "Загрузка a.txt", "Загрузка b.txt", "Загрузка c.txt", "Загрузка d.txt" }));
    QVERIFY(std::is_sorted(h.percents.begin(), h.percents.end()));

    // Two failures: the earlier entry's decides, whichever comes first; a
    // later download in flight is stopped and leaves nothing.
    QDir(folder).removeRecursively();
    TestResponse slowMissing;
    slowMissing.status = 404;
    slowMissing.body = "not here";
    slowMissing.delayMs = 300;
    h.server.setResponse("/a", slowMissing);
    h.server.setBody("/b", "gone", 404);
    TestResponse stalled;
    stalled.body = QByteArray(600000, 'c');
    stalled.fault = TestResponse::Fault::StallMidBody;
    h.server.setResponse("/c", stalled);
    h.clearRecords();
    QVERIFY(h.run());
    QCOMPARE(h.errorInfo, QString("Ошибка загрузки файла:a.txt"));
    QCOMPARE(h.messages().size(), 1);
    QCOMPARE(onlyStarting(h.infos, "Загрузка "), QStringList({ "Загрузка a.txt" }));
    QStringList left = LoaderHarness::filesUnder(folder);
    left.removeAll("d.txt"); // may have been put in place meanwhile: nothing is rolled back
    QCOMPARE(left, QStringList());
}

void LoaderRunTest::firstFailureStopsLaterDownloads_data()
{
    QTest::addColumn<int>("laterSize");
    QTest::addColumn<QStringList>("left");
    // It would land after the failure, were it not stopped there.
    QTest::newRow("small later file") << 16 << QStringList({ "a.txt" });
    // Half of it is in when the failure comes: a part worth resuming.
    QTest::newRow("large later file") << 3 * 1024 * 1024
                                      << QStringList({ "a.txt", "c.bin.zanrok-download", "c.bin.zanrok-resume" });
}

void LoaderRunTest::firstFailureStopsLaterDownloads()
{
    QFETCH(int, laterSize);
    QFETCH(QStringList, left);
    LoaderHarness h;
    h.preinstall();
    // b fails while a, before it, is still on its way, and c, after it, is not in yet.
    TestResponse slow;
    slow.body = "a";
    slow.delayMs = 1500;
    TestResponse missing;
    missing.status = 404;
    missing.body = "gone";
    TestResponse later = rangeAnswer(patterned(laterSize), "\"v1\"");
    if (laterSize > 1024 * 1024) {
        later.fault = TestResponse::Fault::StallMidBody;
        missing.delayMs = 500;
    } else {
        later.delayMs = 500;
    }
    h.setManifest({ h.publish("SERVER_FILES/a.txt", "/a", slow.body), h.publish("SERVER_FILES/b.txt", "/b", "b"),
                    h.publish("SERVER_FILES/c.bin", "/c", later.body) });
    h.server.setResponse("/a", slow);
    h.server.setResponse("/b", missing);
    h.server.setResponse("/c", later);

    QVERIFY(h.run());
    QCOMPARE(h.errorInfo, QString("Ошибка загрузки файла:b.txt"));
    QCOMPARE(h.server.requestCount("/c"), 1);
    QCOMPARE(LoaderHarness::filesUnder(h.serverFolder(ashford)), left);
}

void LoaderRunTest::sameTargetEntriesRunInTurn()
{
    LoaderHarness h;
    h.preinstall();
    // Overlapping, the slow first copy would land last; in turn, the later wins.
    TestResponse first;
    first.body = "first copy";
    first.delayMs = 200;
    const QJsonObject one = h.publish("SERVER_FILES/maps/x.txt", "/one", first.body);
    h.server.setResponse("/one", first);
    h.setManifest({ one, h.publish("SERVER_FILES/maps/x.txt", "/two", "second copy"),
                    h.publish("SERVER_FILES/maps/x.txt/inner.txt", "/three", "three") });

    QVERIFY(h.run());
    // Third: a file where the folder must go, as it was one after another.
    QCOMPARE(h.errorInfo, QString("Ошибка создание файла:maps/x.txt/inner.txt"));
    QCOMPARE(h.server.requestCount("/one"), 1);
    QCOMPARE(h.server.requestCount("/two"), 1);
    QCOMPARE(LoaderHarness::readFile(h.serverFolder(ashford) + "/maps/x.txt"),
             QByteArray("second copy"));
}

void LoaderRunTest::oneFileUnderTwoNames_data()
{
    QTest::addColumn<QString>("second"); // another name for maps/x.txt, or a case variant
    QTest::addColumn<QString>("errorInfo");
    QTest::newRow("empty segment") << "maps//x.txt" << "Ошибка создание файла:maps//x.txt";
    QTest::newRow("other case") << "maps/X.txt" << "";
}

void LoaderRunTest::oneFileUnderTwoNames()
{
    QFETCH(QString, second);
    QFETCH(QString, errorInfo);
    LoaderHarness h;
    h.preinstall();
    const QString folder = h.serverFolder(ashford);
    // Overlapping, both would write one part file and the slow first would land last.
    TestResponse first;
    first.body = "first copy";
    first.delayMs = 200;
    const QJsonObject one = h.publish("SERVER_FILES/maps/x.txt", "/one", first.body);
    h.server.setResponse("/one", first);
    h.setManifest({ one, h.publish("SERVER_FILES/" + second, "/two", "second copy") });

    QVERIFY(h.run());
    QCOMPARE(h.errorInfo, errorInfo);
    QCOMPARE(h.server.requestCount("/one"), 1);
    if (!errorInfo.isEmpty()) {
        QCOMPARE(h.server.requestCount("/two"), 0);
        QCOMPARE(LoaderHarness::filesUnder(folder), QStringList({ "maps/x.txt" }));
        QCOMPARE(LoaderHarness::readFile(folder + "/maps/x.txt"), first.body);
        return;
    }
    // Run in turn: where case matters the two files stay apart; where it
    // does not (Windows) they are one file and the later entry wins.
    QCOMPARE(LoaderHarness::readFile(folder + "/" + second), QByteArray("second copy"));
    const bool caseMatters = !QFileInfo::exists(folder + "/MAPS");
    QCOMPARE(LoaderHarness::readFile(folder + "/maps/x.txt"),
             caseMatters ? first.body : QByteArray("second copy"));
}

void LoaderRunTest::emptyDigestTakesTheBodyAsItCame()
{
    LoaderHarness h;
    h.preinstall();
    QJsonObject entry = h.publish("SERVER_FILES/notes.txt", "/notes", "no digest published");
    entry.remove("hash");
    h.setManifest({ entry });

    for (int run = 1; run <= 2; ++run) {
        QVERIFY(h.run());
        QVERIFY2(h.result, qPrintable(h.errorInfo));
        QCOMPARE(h.server.requestCount("/notes"), run); // nothing to compare with: fetched every run
    }
    QCOMPARE(LoaderHarness::readFile(h.serverFolder(ashford) + "/notes.txt"),
             QByteArray("no digest published"));
}

void LoaderRunTest::signedManifest_data()
{
    // How the .minisig is served: "signed", "legacy" (the "Ed" algorithm),
    // "none" (404), "tampered" (the manifest changed after signing),
    // "foreign" (another key), "garbage", "comment changed" (after signing),
    // "redirected" (a 302 whose body is the signature), "endless" (a body
    // without end), "late" (past a deadline shortened to 1 s); "other
    // bytes before" (signed, but the digest kept before is of other bytes),
    // "store unwritable" (signed; the launcher's settings cannot be written).
    QTest::addColumn<QString>("signature");
    QTest::addColumn<QByteArray>("comment");  // "@" stands for the manifest's address
    QTest::addColumn<qint64>("storedBefore"); // -1: none
    QTest::addColumn<QString>("unchecked");   // a file listed without a digest, or outside its folder
    QTest::addColumn<QString>("expected");    // empty: the game starts
    QTest::addColumn<QString>("logged");
    QTest::addColumn<qint64>("storedAfter");

    const QByteArray at1000 = "timestamp:1000\tfile:files.json\thashed\tmanifest:@";
    const QString refused = "Ошибка проверки списка файлов.";
    QTest::newRow("signed") << "signed" << at1000 << -1LL << "" << "" << "at timestamp 1000" << 1000LL;
    QTest::newRow("legacy algorithm") << "legacy" << at1000 << -1LL << "" << "" << "at timestamp 1000" << 1000LL;
    QTest::newRow("same timestamp") << "signed" << at1000 << 1000LL << "" << "" << "at timestamp 1000" << 1000LL;
    QTest::newRow("newer") << "signed" << QByteArray("timestamp:1001\tmanifest:@") << 1000LL << "" << "" << "at timestamp 1001" << 1001LL;
    QTest::newRow("replay") << "signed" << QByteArray("timestamp:999\tmanifest:@") << 1000LL << "" << refused
                            << "its timestamp 999 is older than 1000" << 1000LL;
    QTest::newRow("same second, other bytes") << "other bytes before" << at1000 << 1000LL << "" << refused
                                              << "over other bytes" << 1000LL;
    QTest::newRow("no timestamp") << "signed" << QByteArray("file:files.json\tmanifest:@") << -1LL << "" << refused
                                  << "no timestamp" << -1LL;
    QTest::newRow("staging") << "signed" << QByteArray("timestamp:1000\tmanifest:@/staging") << -1LL << "" << refused
                             << "signed for" << -1LL;
    QTest::newRow("expired") << "signed" << at1000 + "\texpires:1001" << -1LL << "" << refused << "expired at 1001" << -1LL;
    QTest::newRow("unsigned") << "none" << at1000 << -1LL << "" << refused << "no signature" << -1LL;
    QTest::newRow("tampered") << "tampered" << at1000 << -1LL << "" << refused
                              << "does not match the manifest" << -1LL;
    QTest::newRow("foreign key") << "foreign" << at1000 << -1LL << "" << refused
                                 << "not a trusted key (0B0B0B0B0B0B0B0B)" << -1LL;
    QTest::newRow("garbage") << "garbage" << at1000 << -1LL << "" << refused << "malformed" << -1LL;
    QTest::newRow("comment changed") << "comment changed" << at1000 << 500LL << "" << refused
                                     << "trusted comment's signature" << 500LL;
    QTest::newRow("redirected") << "redirected" << at1000 << -1LL << "" << refused << "HTTP 302, a redirect" << -1LL;
    QTest::newRow("endless") << "endless" << at1000 << -1LL << "" << refused << "longer than 16384 bytes" << -1LL;
    QTest::newRow("late") << "late" << at1000 << -1LL << "" << refused << "took longer than 1 s" << -1LL;
    QTest::newRow("store unwritable") << "store unwritable" << at1000 << -1LL << "" << refused
                                      << "could not be stored" << -1LL;
    // Kept only once every entry has passed its checks.
    QTest::newRow("entry without digest") << "signed" << at1000 << -1LL << "SERVER_FILES/notes.txt"
                                          << "Ошибка загрузки файла:notes.txt" << "notes.txt has no digest" << -1LL;
    QTest::newRow("RageMP entry without digest") << "signed" << at1000 << -1LL << "RAGEMP_FILES/notes.txt"
                                                 << "Ошибка загрузки файла:notes.txt" << "notes.txt has no digest" << -1LL;
    QTest::newRow("entry outside its folder") << "signed" << at1000 << -1LL << "SERVER_FILES/../../notes.txt"
                                              << "Ошибка создание файла:../../notes.txt" << "not a plain path" << -1LL;
}

void LoaderRunTest::signedManifest()
{
    QFETCH(QString, signature);
    QFETCH(QByteArray, comment);
    QFETCH(qint64, storedBefore);
    QFETCH(QString, unchecked);
    QFETCH(QString, expected);
    QFETCH(QString, logged);
    QFETCH(qint64, storedAfter);

    LoaderHarness h;
    const TestSigner signer('\x0a');
    const TestSigner foreign('\x0b');
    h.setManifestKeys({ TestSigner('\x0c').publicKeyLine(), signer.publicKeyLine() });
    QJsonArray manifest {
        h.publish("RAGEMP_FILES/ragemp_v.exe", "/r/exe", LoaderHarness::standinClient()),
        h.publish("SERVER_FILES/a.txt", "/s/a", "server file"),
    };
    if (unchecked.contains(".."))
        manifest.append(h.publish(unchecked, "/notes", "notes"));
    else if (!unchecked.isEmpty())
        manifest.append(QJsonObject { { "file", unchecked }, { "url", h.server.url("/notes").toString() } });
    h.setManifest(manifest);
    const QString manifestUrl = h.server.url("/files.json").toString();
    comment.replace('@', manifestUrl.toUtf8());
    const QByteArray body = QJsonDocument(manifest).toJson();
    QByteArray minisig = signer.minisig(body, comment, signature != "legacy");
    TestResponse served;
    served.body = minisig;
    if (signature == "tampered") {
        const QByteArray digest = manifest.at(1).toObject().value("hash").toString().toLatin1();
        h.server.setBody("/files.json", QByteArray(body).replace(digest, QByteArray(32, 'f')));
    }
    else if (signature == "foreign")
        served.body = foreign.minisig(body, comment);
    else if (signature == "garbage")
        served.body = "untrusted comment: x\n%%%%\ntrusted comment: timestamp:1000\n%%%%\n";
    else if (signature == "comment changed")
        served.body.replace("timestamp:1000", "timestamp:9000");
    else if (signature == "redirected") {
        served.status = 302;
        served.headers = { { "Location", "/elsewhere.minisig" } };
    } else if (signature == "endless") {
        served.fault = TestResponse::Fault::StreamWithoutLength;
        served.cutAfter = 1024 * 1024;
    } else if (signature == "late") {
        served.delayMs = 5000;
        setManifestDeadline(std::chrono::seconds(1));
    } else if (signature == "store unwritable")
        QVERIFY(QDir().mkpath(LauncherSettings::location())); // a folder where the file goes
    if (signature != "none")
        h.server.setResponse("/files.json.minisig", served);
    if (storedBefore >= 0) {
        LauncherSettings settings;
        settings.setManifestTimestamp(manifestUrl, quint64(storedBefore));
        settings.setManifestDigest(manifestUrl, documentDigest(signature == "other bytes before" ? body + ' ' : body));
        QVERIFY(settings.sync());
    }

    const LoaderLog log;
    QVERIFY(h.run());
    QCOMPARE(h.errorInfo, expected);
    QVERIFY2(log.text().contains(logged), qPrintable(log.text()));
    const std::optional<quint64> stored = LauncherSettings().manifestTimestamp(manifestUrl);
    QCOMPARE(stored ? qint64(*stored) : -1LL, storedAfter);
    if (expected.isEmpty()) {
        QVERIFY(h.result);
        QCOMPARE(LauncherSettings().manifestDigest(manifestUrl), documentDigest(body));
        QVERIFY(h.waitForLaunchLog(h.installFolder(), 1));
        return;
    }
    // Refused before anything was written or started.
    QVERIFY(!h.result);
    QCOMPARE(LoaderHarness::filesUnder(h.home()), QStringList());
    QCOMPARE(h.settingsValue(RageMpSettings::ragePathKey()), QString("<absent>"));
    QCOMPARE(h.server.requestCount("/r/exe") + h.server.requestCount("/notes"), 0);
}

void LoaderRunTest::stopEndsTheRunAtOnce_data()
{
    QTest::addColumn<QString>("phase");
    QTest::newRow("manifest") << "manifest";
    QTest::newRow("waiting to try again") << "retry";
    QTest::newRow("install") << "install";
    QTest::newRow("hashing") << "hashing";
    QTest::newRow("downloading") << "download";
    QTest::newRow("scanning the old copy") << "scanning";
}

void LoaderRunTest::stopEndsTheRunAtOnce()
{
    QFETCH(QString, phase);
    LoaderHarness h;
    const QString folder = h.serverFolder(ashford);
    TestResponse stalled;
    stalled.body = patterned(3 * 1024 * 1024);
    stalled.fault = TestResponse::Fault::StallMidBody; // sends half, then nothing
    stalled.headers = { { "ETag", "\"v1\"" } };
    QJsonArray manifest;
    if (phase == "install") {
        manifest << h.publish("RAGEMP_FILES/ragemp_v.exe", "/exe", stalled.body);
        h.server.setResponse("/exe", stalled);
    } else {
        h.preinstall();
        manifest << h.publish("SERVER_FILES/big.bin", "/big", stalled.body);
        h.server.setResponse("/big", stalled);
    }
    if (phase == "hashing" || phase == "scanning") {
        QDir().mkpath(folder);
        LoaderHarness::writeFile(folder + "/big.bin", QByteArray(512 * 1024 * 1024, 'h'));
    }
    if (phase == "scanning")
        h.server.setBody("/big.zsync", zsyncSidecar(stalled.body));
    h.setManifest(manifest);
    if (phase == "manifest") {
        TestResponse silent;
        silent.fault = TestResponse::Fault::StallBeforeHeaders;
        h.server.setResponse("/files.json", silent);
    } else if (phase == "retry") {
        TestResponse busy;
        busy.status = 503;
        busy.headers = { { "Retry-After", "30" } };
        h.server.setResponse("/files.json", busy);
    }

    h.startRun();
    if (phase == "install")
        QVERIFY(h.waitForInfo("Установка RageMP ( ragemp_v.exe ) ( загрузка )."));
    else if (phase == "hashing")
        QVERIFY(h.waitForInfo("Проверка big.bin"));
    else if (phase == "download")
        QVERIFY(h.waitForInfo("Загрузка big.bin"));
    else if (phase == "scanning")
        QTRY_VERIFY_WITH_TIMEOUT(h.server.requestCount("/big.zsync") > 0, 60000);
    else
        QTRY_VERIFY_WITH_TIMEOUT(h.server.requestCount("/files.json") > 0, 30000);
    if (phase == "install" || phase == "download") {
        // Stopped once more than a MiB has arrived: the part is worth keeping.
        const QString kept = (phase == "install" ? h.installFolder() + "/ragemp_v.exe" : folder + "/big.bin")
                + ".zanrok-resume";
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(kept), 60000);
    }
    QVERIFY(h.stopRun());

    QVERIFY(!h.result);
    QCOMPARE(h.errorInfo, QString());
    QCOMPARE(h.messages(), QStringList());
    QCOMPARE(h.settingsValue(RageMpSettings::launchIpKey()), QString("<absent>"));
    QVERIFY(h.launchLog(h.installFolder()).isEmpty());
    if (phase == "install") {
        QCOMPARE(h.settingsValue(RageMpSettings::ragePathKey()), QString("<absent>"));
        // Half of 3 MiB arrived: a part worth resuming, and nothing else.
        QCOMPARE(LoaderHarness::filesUnder(h.installFolder()),
                 QStringList({ "ragemp_v.exe.zanrok-download", "ragemp_v.exe.zanrok-resume" }));
    } else if (phase == "download") {
        QCOMPARE(LoaderHarness::filesUnder(folder),
                 QStringList({ "big.bin.zanrok-download", "big.bin.zanrok-resume" }));
    } else if (phase == "hashing" || phase == "scanning") {
        QCOMPARE(LoaderHarness::filesUnder(folder), QStringList({ "big.bin" }));
        QCOMPARE(h.server.requestCount("/big"), 0);
    }
}

QTEST_MAIN(LoaderRunTest)
#include "tst_loaderrun.moc"
