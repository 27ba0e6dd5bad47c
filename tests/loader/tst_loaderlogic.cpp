// The loader's decisions, without a network: the manifest's split, the path
// check, progress, hashing, the retry rules, and RageMP's settings store.
#include "loader/hashahead.h"
#include "loader/pathrules.h"
#include "loader/progress.h"
#include "loader/manifest.h"
#include "loader/transfer.h"
#include "platform/ragempsettings.h"

#include <QTemporaryDir>
#include <QtTest>

class LoaderLogicTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void manifestIsSplitIntoSections();
    void downloadUrlDropsTheTlsOnlyForLowercaseHttps_data();
    void downloadUrlDropsTheTlsOnlyForLowercaseHttps();

    void pathCheck_data();
    void pathCheck();
    void parentFoldersAreTopDown();
    void progressRunsFromTenToBelowNinety();
    void progressMovesWithinAnEntry();
    void passingFailures_data();
    void passingFailures();
    void retryWaitsAndHeaders();

    void fileHashReadsAnySizeInChunks();

    void settingsStoreLivesInTheConfigFolder();

private:
    QTemporaryDir m_home;
    QTemporaryDir m_config;
};

void LoaderLogicTest::initTestCase()
{
    QVERIFY(m_home.isValid() && m_config.isValid());
    qputenv("HOME", QFile::encodeName(m_home.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config.path()));
}

void LoaderLogicTest::manifestIsSplitIntoSections()
{
    const QByteArray json = R"([
        {"file": "SERVER_FILES/a/b/c.txt", "url": "https://h/c", "hash": "abc"},
        {"file": "RAGEMP_FILES/ragemp_v.exe", "url": "http://h/r", "hash": "def", "size": 4},
        {"file": "SERVER_FILES\\a/b.txt", "url": "HTTPS://h/b", "hash": "ABC"},
        7,
        "SERVER_FILES/not-an-object",
        {"file": "server_files/lower.txt", "url": "http://h/l", "hash": "1"},
        {"file": "OTHER_FILES/x", "url": "http://h/x", "hash": "2"},
        {"file": "SERVER_FILES/odd.txt", "url": 5},
        {"file": "RAGEMP_FILES/data/core.dll", "url": "httpsx://h/d", "hash": "3"}
    ])";
    const ManifestSections sections = splitManifest(manifestArray(json));

    const QList<FileEntry> server {
        { "a/b/c.txt", "http://h/c", "abc" },
        { "a/b.txt", "HTTPS://h/b", "ABC" }, // any 13th character is the separator
        { "odd.txt", "", "" },                // members that are no strings read as empty
    };
    const QList<FileEntry> ragemp {
        { "ragemp_v.exe", "http://h/r", "def" },
        { "data/core.dll", "httpx://h/d", "3" },
    };
    QCOMPARE(sections.serverFiles, server);
    QCOMPARE(sections.ragempFiles, ragemp);
}

void LoaderLogicTest::downloadUrlDropsTheTlsOnlyForLowercaseHttps_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("expected");
    QTest::newRow("https") << "https://files.example/a?x=https" << "http://files.example/a?x=https";
    QTest::newRow("http") << "http://files.example/a" << "http://files.example/a";
    QTest::newRow("capitals") << "HTTPS://files.example/a" << "HTTPS://files.example/a";
    QTest::newRow("mixed") << "Https://files.example/a" << "Https://files.example/a";
    QTest::newRow("empty") << "" << "";
}

void LoaderLogicTest::downloadUrlDropsTheTlsOnlyForLowercaseHttps()
{
    QFETCH(QString, url);
    QFETCH(QString, expected);
    QCOMPARE(downloadUrl(url), expected);
}

void LoaderLogicTest::pathCheck_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("safe");
    QTest::newRow("plain") << "a.txt" << true;
    QTest::newRow("nested") << "maps/city/a.bin" << true;
    QTest::newRow("dotted names") << "..a/b..c/.hidden" << true;
    QTest::newRow("inner blanks") << "my maps/a b.txt" << true;
    QTest::newRow("cyrillic") << "карты/город.bin" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("absolute") << "/etc/passwd" << false;
    QTest::newRow("parent") << "../escape.txt" << false;
    QTest::newRow("parent inside") << "a/../../escape.txt" << false;
    QTest::newRow("parent last") << "a/.." << false;
    QTest::newRow("dot") << "a/./b.txt" << false;
    QTest::newRow("only dot") << "." << false;
    QTest::newRow("drive") << "C:/Windows/x.dll" << false;
    QTest::newRow("drive relative") << "C:x.dll" << false;
    QTest::newRow("colon") << "a:b" << false;
    QTest::newRow("backslash") << "a\\..\\..\\x" << false;
    QTest::newRow("nul") << QString::fromLatin1("a\0b", 3) << false;
    QTest::newRow("newline") << "a\nb" << false;
    QTest::newRow("c1 control") << QString(QChar(0x85)) << false;
    QTest::newRow("parent with a trailing blank") << "a/.. /x" << false;
    QTest::newRow("parent with a trailing dot") << ".../x" << false;
    QTest::newRow("name with a trailing dot") << "a/b." << false;
    // Cleaning alone would accept it; only the segment rule refuses it.
    QTest::newRow("parent that cleaning hides") << "a/../b.txt" << false;
    QTest::newRow("device") << "aux.js" << false;
    QTest::newRow("device any case") << "maps/Nul.txt" << false;
    QTest::newRow("device port") << "COM1" << false;
    QTest::newRow("device printer") << "x/lpt9.log/y" << false;
    QTest::newRow("device blank before dot") << "con .txt" << false;
    QTest::newRow("device superscript") << QString("com") + QChar(0x00B9) << false;
    QTest::newRow("device-like names") << "console.txt/com10/auxiliary/lpt" << true;
}

void LoaderLogicTest::pathCheck()
{
    QFETCH(QString, file);
    QFETCH(bool, safe);
    QCOMPARE(isSafeRelativePath(file, m_home.path() + "/base"), safe);
}

void LoaderLogicTest::parentFoldersAreTopDown()
{
    QCOMPARE(parentFolderPrefixes("a/b/c.txt"), QStringList({ "/a", "/a/b" }));
    QCOMPARE(parentFolderPrefixes("c.txt"), QStringList());
}

void LoaderLogicTest::progressRunsFromTenToBelowNinety()
{
    QList<int> four;
    for (int i = 0; i < 4; ++i)
        four << serverFileProgress(i, 4);
    QCOMPARE(four, QList<int>({ 10, 30, 50, 70 }));
    QCOMPARE(serverFileProgress(2, 3), 63);
    QCOMPARE(serverFileProgress(0, 1), 10);
    QCOMPARE(serverFileProgress(99999999, 100000000), 89); // no overflow on long lists
}

void LoaderLogicTest::progressMovesWithinAnEntry()
{
    // Entry 1 of 4 runs from 30 towards 50 and never reaches it.
    QCOMPARE(serverFileProgressWithin(1, 4, 0, 1000), 30);
    QCOMPARE(serverFileProgressWithin(1, 4, 500, 1000), 40);
    QCOMPARE(serverFileProgressWithin(1, 4, 1000, 1000), 49);
    QCOMPARE(serverFileProgressWithin(1, 4, 5000, 1000), 49);
    QCOMPARE(serverFileProgressWithin(1, 4, 500, -1), 30);  // length unknown
    QCOMPARE(serverFileProgressWithin(3, 4, 999, 1000), 89); // the last runs towards 90
    QCOMPARE(serverFileProgressWithin(0, 1000, 900, 1000), 10); // no room between entries
    const qint64 huge = Q_INT64_C(1) << 62;
    QCOMPARE(serverFileProgressWithin(0, 1, huge / 2, huge), 50);
}

void LoaderLogicTest::passingFailures_data()
{
    QTest::addColumn<int>("error");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("passing");
    const int none = QNetworkReply::NoError;
    QTest::newRow("refused") << int(QNetworkReply::ConnectionRefusedError) << 0 << true;
    QTest::newRow("closed mid-body") << int(QNetworkReply::RemoteHostClosedError) << 200 << true;
    QTest::newRow("inactivity timeout") << int(QNetworkReply::OperationCanceledError) << 0 << true;
    QTest::newRow("host unknown") << int(QNetworkReply::HostNotFoundError) << 0 << false;
    for (int status : { 408, 429, 500, 502, 503, 504 })
        QTest::addRow("%d", status) << int(QNetworkReply::UnknownServerError) << status << true;
    for (int status : { 400, 403, 404, 410, 501 })
        QTest::addRow("%d", status) << int(QNetworkReply::ContentNotFoundError) << status << false;
    QTest::newRow("success") << none << 200 << false;
}

void LoaderLogicTest::passingFailures()
{
    QFETCH(int, error);
    QFETCH(int, status);
    QFETCH(bool, passing);
    QCOMPARE(isPassingFailure(QNetworkReply::NetworkError(error), status), passing);
}

void LoaderLogicTest::retryWaitsAndHeaders()
{
    using std::chrono::milliseconds;
    using std::chrono::seconds;
    // About 0.5, 1 and 2 s, spread by at most a fifth either way.
    QCOMPARE(retryDelay(1, std::nullopt, 0.5), milliseconds(500));
    QCOMPARE(retryDelay(2, std::nullopt, 0.0), milliseconds(800));
    QCOMPARE(retryDelay(3, std::nullopt, 1.0), milliseconds(2400));
    // A server's Retry-After counts when longer, up to 30 s.
    QCOMPARE(retryDelay(1, seconds(3), 0.5), milliseconds(3000));
    QCOMPARE(retryDelay(3, seconds(0), 0.5), milliseconds(2000));
    QCOMPARE(retryDelay(1, seconds(3600), 0.5), milliseconds(30000));

    const QDateTime now = QDateTime::fromString("2026-12-07T10:00:00Z", Qt::ISODate);
    QCOMPARE(parseRetryAfter("120", now), std::optional(seconds(120)));
    QCOMPARE(parseRetryAfter("Mon, 07 Dec 2026 10:00:42 GMT", now), std::optional(seconds(42)));
    QCOMPARE(parseRetryAfter("Mon, 07 Dec 2026 09:00:00 GMT", now), std::optional(seconds(0)));
    QCOMPARE(parseRetryAfter("-5", now), std::optional<seconds>());
    QCOMPARE(parseRetryAfter("soon", now), std::optional<seconds>());
    QCOMPARE(parseRetryAfter("", now), std::optional<seconds>());

    QCOMPARE(contentRangeStart("bytes 1048576-3145727/3145728"), qint64(1048576));
    QCOMPARE(contentRangeStart("bytes */3145728"), qint64(-1));
    QCOMPARE(contentRangeStart("items 0-1/2"), qint64(-1));
}

void LoaderLogicTest::fileHashReadsAnySizeInChunks()
{
    const QString path = m_home.path() + "/hash.bin";
    auto write = [&](const QByteArray &data) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(data);
    };
    write(QByteArray());
    QCOMPARE(fileHash(path, QCryptographicHash::Md5), QString("d41d8cd98f00b204e9800998ecf8427e"));

    // Several chunks plus a tail, with bytes that differ across chunk edges.
    QByteArray data(3 * 1024 * 1024 + 12345, Qt::Uninitialized);
    for (int i = 0; i < data.size(); ++i)
        data[i] = char((qint64(i) * 7919) >> 3);
    write(data);
    const QString expected =
            QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex());
    QCOMPARE(fileHash(path, QCryptographicHash::Md5), expected);
    QCOMPARE(fileHash(path, QCryptographicHash::Md5, [] { return true; }), expected);
    // A stop is looked for every 4 MiB, so only a larger file notices it.
    QCOMPARE(fileHash(path, QCryptographicHash::Md5, [] { return false; }), expected);
    write(QByteArray(5 * 1024 * 1024, 'z'));
    QCOMPARE(fileHash(path, QCryptographicHash::Md5, [] { return false; }), QString());

    QCOMPARE(fileHash(m_home.path() + "/missing", QCryptographicHash::Md5), QString());
}

void LoaderLogicTest::settingsStoreLivesInTheConfigFolder()
{
    const QString file = m_config.path() + "/RAGE-MP/RAGE-MP.ini";
    QCOMPARE(RageMpSettings::location(), file);
    {
        RageMpSettings settings;
        QVERIFY(!settings.contains(RageMpSettings::ragePathKey()));
        settings.setValue(RageMpSettings::ragePathKey(), "/games/ragemp");
        settings.setValue(RageMpSettings::launchIpKey(), "jadepoint.zanrok.net");
        settings.setValue(RageMpSettings::launch2PortKey(), "22005");
        QVERIFY(settings.sync());
    }
    RageMpSettings reopened;
    QCOMPARE(reopened.value(RageMpSettings::ragePathKey()), QString("/games/ragemp"));
    QCOMPARE(reopened.value(RageMpSettings::launch2PortKey()), QString("22005"));

    // Other programs read the file, so the names must be written as they are.
    QFile ini(file);
    QVERIFY(ini.open(QIODevice::ReadOnly));
    const QByteArray text = ini.readAll();
    QVERIFY2(text.contains("rage_path=/games/ragemp"), text.constData());
    QVERIFY2(text.contains("launch.ip=jadepoint.zanrok.net"), text.constData());
    QVERIFY2(text.contains("launch2.port=22005"), text.constData());
}

QTEST_GUILESS_MAIN(LoaderLogicTest)
#include "tst_loaderlogic.moc"
