// The loader's decisions, without a network: the manifest's split and its
// signature, the path check, progress, hashing, the retry rules, the
// reading of HTTP answers, delta updates from a sidecar, and the settings
// stores.
#include "delta/blockmatch.h"
#include "delta/deltaupdate.h"
#include "loader/diskspace.h"
#include "loader/hashahead.h"
#include "loader/pathrules.h"
#include "loader/progress.h"
#include "loader/manifest.h"
#include "trust/minisign.h"
#include "trust/signeddocument.h"
#include "platform/filereplace.h"
#include "platform/installfolder.h"
#include "platform/launchersettings.h"
#include "platform/ragempsettings.h"
#include "testserver.h"
#include "transfer/httpresponseparser.h"
#include "transfer/transfer.h"

#include <QTemporaryDir>
#include <QtTest>

#include <limits>
#include <thread>

Q_DECLARE_METATYPE(SignatureCheck)
Q_DECLARE_METATYPE(FolderAccess)

class LoaderLogicTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void manifestIsSplitIntoSections();
    void downloadUrlDropsTheTlsOnlyForLowercaseHttps_data();
    void downloadUrlDropsTheTlsOnlyForLowercaseHttps();

    void minisignSignature_data();
    void minisignSignature();
    void trustedCommentRules_data();
    void trustedCommentRules();

    void pathCheck_data();
    void pathCheck();
    void windowsPathsTakeTheLongForm();
    void gameFolderIsClosedToOtherAccounts();
    void otherAccountsThatCanWrite_data();
    void otherAccountsThatCanWrite();
    void parentFoldersAreTopDown();
    void progressRunsFromTenToBelowNinety();
    void progressMovesWithinAnEntry();
    void passingFailures_data();
    void passingFailures();
    void retryWaitsAndHeaders();
    void httpAnswersAreReadAsTheyStream_data();
    void httpAnswersAreReadAsTheyStream();

    void fileHashReadsAnySizeInChunks();

    void deltaRebuildsTheNewFile_data();
    void deltaRebuildsTheNewFile();
    void sidecarIsTakenOnlyWhole_data();
    void sidecarIsTakenOnlyWhole();
    void scanWorkIsBounded_data();
    void scanWorkIsBounded();
    void sidecarLengthIsBounded_data();
    void sidecarLengthIsBounded();
    void diskSpaceIsCheckedFirst_data();
    void diskSpaceIsCheckedFirst();
    void rangesAnswerIsReadAsItStreams_data();
    void rangesAnswerIsReadAsItStreams();

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
        {"file": "SERVER_FILES/a/b/c.txt", "url": "https://h/c", "hash": "abc", "size": 9007199254740992},
        {"file": "RAGEMP_FILES/ragemp_v.exe", "url": "http://h/r", "hash": "def", "size": 4},
        {"file": "SERVER_FILES\\a/b.txt", "url": "HTTPS://h/b", "hash": "ABC", "size": 0},
        7,
        "SERVER_FILES/not-an-object",
        {"file": "server_files/lower.txt", "url": "http://h/l", "hash": "1"},
        {"file": "OTHER_FILES/x", "url": "http://h/x", "hash": "2"},
        {"file": "SERVER_FILES/odd.txt", "url": 5, "size": 9007199254740994},
        {"file": "RAGEMP_FILES/data/core.dll", "url": "httpsx://h/d", "hash": "3", "size": 1.5},
        {"file": "RAGEMP_FILES/data/a.dll", "url": "http://h/a", "hash": "4", "size": -1}
    ])";
    const ManifestSections sections = splitManifest(manifestArray(json));

    const QList<FileEntry> server {
        { "a/b/c.txt", "http://h/c", "abc", Q_INT64_C(9007199254740992) },
        { "a/b.txt", "HTTPS://h/b", "ABC", 0 }, // any 13th character is the separator
        { "odd.txt", "", "" }, // members that are no strings read as empty; a size past 2^53 as unknown
    };
    const QList<FileEntry> ragemp {
        { "ragemp_v.exe", "http://h/r", "def", 4 },
        { "data/core.dll", "httpx://h/d", "3" }, // no whole number
        { "data/a.dll", "http://h/a", "4" },
    };
    QCOMPARE(sections.serverFiles, server);
    QCOMPARE(sections.ragempFiles, ragemp);
    // Under a signed manifest each entry needs both a digest and a size.
    QCOMPARE(firstUncheckedEntry(sections.serverFiles), &sections.serverFiles.at(2));
    QCOMPARE(firstUncheckedEntry(sections.ragempFiles), &sections.ragempFiles.at(1));
    QCOMPARE(firstUncheckedEntry(server.mid(0, 2)), nullptr);
}

void LoaderLogicTest::downloadUrlDropsTheTlsOnlyForLowercaseHttps_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("sidecar"); // where the file's delta sidecar is then
    QTest::newRow("https") << "https://files.example/a?x=https" << "http://files.example/a?x=https"
                           << "http://files.example/a.zsync?x=https";
    QTest::newRow("http") << "http://files.example/a" << "http://files.example/a" << "http://files.example/a.zsync";
    QTest::newRow("capitals") << "HTTPS://files.example/a" << "HTTPS://files.example/a" << "HTTPS://files.example/a.zsync";
    QTest::newRow("mixed") << "Https://files.example/a" << "Https://files.example/a" << "Https://files.example/a.zsync";
    QTest::newRow("empty") << "" << "" << ".zsync";
    QTest::newRow("query") << "http://h/big.rpf?v=3#top" << "http://h/big.rpf?v=3#top" << "http://h/big.rpf.zsync?v=3#top";
    QTest::newRow("fragment") << "http://h/big.rpf#top" << "http://h/big.rpf#top" << "http://h/big.rpf.zsync#top";
}

void LoaderLogicTest::downloadUrlDropsTheTlsOnlyForLowercaseHttps()
{
    QFETCH(QString, url);
    QFETCH(QString, expected);
    QFETCH(QString, sidecar);
    QCOMPARE(downloadUrl(url), expected);
    QCOMPARE(sidecarUrl(expected), sidecar);
}

namespace {

// Made with Debian's minisign 0.11 (tests/data/minisign/README.md).
QByteArray minisignData(const char *name)
{
    QFile file(QStringLiteral(ZANROK_TEST_DATA_DIR "/minisign/") + QString::fromLatin1(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray replaceLine(QByteArray text, int index, const QByteArray &line)
{
    QList<QByteArray> lines = text.split('\n');
    lines[index] = line;
    return lines.join('\n');
}

} // namespace

void LoaderLogicTest::minisignSignature_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QByteArray>("minisig");
    QTest::addColumn<SignatureCheck>("check");
    QTest::addColumn<qint64>("timestamp"); // -1: none

    const QByteArray manifest = minisignData("files.json");
    const QByteArray prehashed = minisignData("prehashed.minisig");
    const QByteArray legacy = minisignData("legacy.minisig");
    const QByteArray signatureLine = prehashed.split('\n').at(1);
    QVERIFY(!manifest.isEmpty() && !prehashed.isEmpty() && !legacy.isEmpty());

    QTest::newRow("ED, over the BLAKE2b-512") << manifest << prehashed << SignatureCheck::Valid << 1796661797LL;
    QTest::newRow("Ed, over the file") << manifest << legacy << SignatureCheck::Valid << 1796661797LL;
    QTest::newRow("CRLF lines") << manifest << QByteArray(prehashed).replace("\n", "\r\n")
                                << SignatureCheck::Valid << 1796661797LL;
    QTest::newRow("no timestamp") << manifest << minisignData("notimestamp.minisig") << SignatureCheck::Valid << -1LL;
    QTest::newRow("wrong key id") << manifest << minisignData("otherkey.minisig") << SignatureCheck::UnknownKey << 1796661797LL;
    QTest::newRow("manifest changed") << manifest + ' ' << prehashed << SignatureCheck::BadSignature << 1796661797LL;
    QTest::newRow("manifest changed, Ed") << QByteArray(manifest).replace("0123", "0124") << legacy
                                          << SignatureCheck::BadSignature << 1796661797LL;
    QTest::newRow("trusted comment changed")
            << manifest << QByteArray(prehashed).replace("timestamp:1796661797", "timestamp:1896661797")
            << SignatureCheck::BadGlobalSignature << 1896661797LL;
    QTest::newRow("global signature of another")
            << manifest << replaceLine(prehashed, 3, legacy.split('\n').at(3))
            << SignatureCheck::BadGlobalSignature << 1796661797LL;
    QTest::newRow("algorithm changed") // "ED" read as "Ed": the signature is over another message
            << manifest << replaceLine(prehashed, 1, "RW" + signatureLine.mid(2))
            << SignatureCheck::BadSignature << 1796661797LL;
    QTest::newRow("unknown algorithm") << manifest << replaceLine(prehashed, 1, "RX" + signatureLine.mid(2))
                                       << SignatureCheck::Malformed << -1LL;
    QTest::newRow("truncated base64") << manifest << replaceLine(prehashed, 1, signatureLine.chopped(4))
                                      << SignatureCheck::Malformed << -1LL;
    QTest::newRow("garbage base64") << manifest << replaceLine(prehashed, 1, QByteArray(100, '*'))
                                    << SignatureCheck::Malformed << -1LL;
    QTest::newRow("base64 too long") << manifest << replaceLine(prehashed, 3, prehashed.split('\n').at(3) + "AAAA")
                                     << SignatureCheck::Malformed << -1LL;
    QTest::newRow("truncated file") << manifest << prehashed.left(prehashed.indexOf("trusted comment: timestamp"))
                                    << SignatureCheck::Malformed << -1LL;
    QTest::newRow("no untrusted comment") << manifest << prehashed.mid(prehashed.indexOf('\n') + 1)
                                          << SignatureCheck::Malformed << -1LL;
    QTest::newRow("empty") << manifest << QByteArray() << SignatureCheck::Malformed << -1LL;
    QTest::newRow("longer than 16 KiB") << manifest << replaceLine(prehashed, 0, "untrusted comment: " + QByteArray(16 * 1024, 'x'))
                                        << SignatureCheck::Malformed << -1LL;
}

void LoaderLogicTest::minisignSignature()
{
    QFETCH(QByteArray, message);
    QFETCH(QByteArray, minisig);
    QFETCH(SignatureCheck, check);
    QFETCH(qint64, timestamp);

    // The key as minisign -G printed it, and its id as minisign shows it.
    const std::optional<MinisignPublicKey> key = parseMinisignPublicKey(minisignData("test.pub").split('\n').at(1));
    QVERIFY(key);
    QCOMPARE(keyIdText(key->keyId), QString("78377F213488D855"));
    const std::optional<MinisignPublicKey> other = parseMinisignPublicKey(minisignData("other.pub").split('\n').at(1));
    QVERIFY(other);

    const SignatureVerdict verdict = verifyMinisign(message, minisig, { *key });
    QCOMPARE(verdict.check, check);
    const std::optional<quint64> stamp = trustedTimestamp(verdict.signature.trustedComment);
    QCOMPARE(stamp ? qint64(*stamp) : -1LL, timestamp);
    // Two keys trusted, as while a network changes its key: the other key's
    // signature verifies too, and nothing else changes.
    QCOMPARE(verifyMinisign(message, minisig, { *other, *key }).check,
             check == SignatureCheck::UnknownKey ? SignatureCheck::Valid : check);
}

void LoaderLogicTest::trustedCommentRules_data()
{
    // Under a floor of 1000, at 5000 by the local clock, for a document
    // whose digest is "d1".
    QTest::addColumn<QByteArray>("comment");
    QTest::addColumn<qint64>("previous"); // -1: nothing accepted before
    QTest::addColumn<QByteArray>("previousDigest");
    QTest::addColumn<QString>("refusal"); // empty: accepted

    const QByteArray here = "\tmanifest:http://files.example:7080/files.json";
    QTest::newRow("fresh") << "timestamp:3000\tfile:files.json\thashed" + here + "\texpires:6000" << -1LL << QByteArray() << "";
    QTest::newRow("no timestamp") << "file:files.json" + here << -1LL << QByteArray() << "no timestamp";
    QTest::newRow("milliseconds") << "timestamp:3000000000000" + here << -1LL << QByteArray() << "not in seconds";
    QTest::newRow("no address") << QByteArray("timestamp:3000\tfile:files.json\thashed") << -1LL << QByteArray()
                                << "does not name its address";
    QTest::newRow("staging address") << QByteArray("timestamp:3000\tmanifest:http://files.example:7080/staging/files.json")
                                     << -1LL << QByteArray() << "signed for";
    QTest::newRow("address and more") << "timestamp:3000" + here + ".old" << -1LL << QByteArray() << "signed for";
    QTest::newRow("below the floor") << "timestamp:999" + here << -1LL << QByteArray() << "floor 1000";
    QTest::newRow("at the floor") << "timestamp:1000" + here << -1LL << QByteArray() << "";
    QTest::newRow("expired") << "timestamp:3000" + here + "\texpires:4999" << -1LL << QByteArray() << "expired at 4999";
    QTest::newRow("expiring this second") << "timestamp:3000" + here + "\texpires:5000" << -1LL << QByteArray() << "";
    QTest::newRow("expiry not a number") << "timestamp:3000" + here + "\texpires:soon" << -1LL << QByteArray() << "expiry";
    QTest::newRow("older than accepted") << "timestamp:3000" + here << 3001LL << QByteArray("d1") << "older than 3001";
    QTest::newRow("same second, same bytes") << "timestamp:3000" + here << 3000LL << QByteArray("d1") << "";
    QTest::newRow("same second, other bytes") << "timestamp:3000" + here << 3000LL << QByteArray("d2") << "other bytes";
    QTest::newRow("same second, no digest kept") << "timestamp:3000" + here << 3000LL << QByteArray() << "";
    QTest::newRow("newer, other bytes") << "timestamp:3000" + here << 2999LL << QByteArray("d2") << "";
}

void LoaderLogicTest::trustedCommentRules()
{
    QFETCH(QByteArray, comment);
    QFETCH(qint64, previous);
    QFETCH(QByteArray, previousDigest);
    QFETCH(QString, refusal);

    SignedDocumentRules rules;
    rules.address = "http://files.example:7080/files.json";
    rules.minimumTimestamp = 1000;
    rules.now = 5000;
    std::optional<AcceptedDocument> before;
    if (previous >= 0)
        before = AcceptedDocument { quint64(previous), previousDigest };
    const QString why = trustedCommentRefusal(comment, "d1", rules, before);
    QVERIFY2(refusal.isEmpty() ? why.isEmpty() : why.contains(refusal), qPrintable(why));
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
    // One file under a second name: "a//b.txt" is "a/b.txt".
    QTest::newRow("empty segment") << "a//b.txt" << false;
    QTest::newRow("trailing slash") << "a/b/" << false;
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

void LoaderLogicTest::windowsPathsTakeTheLongForm()
{
    // Without the prefix, Windows refuses targets past 260 characters (Wine
    // does not, so only this shows it).
    QCOMPARE(windowsLongPath("C:\\Games\\Zanrok\\a.txt"), QString("\\\\?\\C:\\Games\\Zanrok\\a.txt"));
    QCOMPARE(windowsLongPath("\\\\host\\share\\a.txt"), QString("\\\\?\\UNC\\host\\share\\a.txt"));
    QCOMPARE(windowsLongPath("\\\\?\\C:\\a.txt"), QString("\\\\?\\C:\\a.txt"));
}

void LoaderLogicTest::gameFolderIsClosedToOtherAccounts()
{
    // Protected (nothing from C:\), inherited by all inside, Users read only.
    QCOMPARE(gameFolderSddl("S-1-5-21-1-2-3-1001"),
             QString("D:P(A;OICI;FA;;;S-1-5-21-1-2-3-1001)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"
                     "(A;OICI;0x1200a9;;;BU)"));
}

void LoaderLogicTest::otherAccountsThatCanWrite_data()
{
    QTest::addColumn<QList<FolderAccess>>("allowed");
    QTest::addColumn<QStringList>("writers");
    const QString user = "S-1-5-21-1-2-3-1001";
    const QList<FolderAccess> made { { user, 0x1f01ff }, { user, 0x80000 }, { "S-1-5-18", 0x1f01ff },
                                     { "S-1-5-32-544", 0x1f01ff }, { "S-1-5-32-545", 0x1200a9 },
                                     { "S-1-3-0", 0x10000000 } };
    QTest::newRow("as the launcher makes it") << made << QStringList();
    QTest::newRow("inherited from C:\\: signed-in users may modify, Users add folders")
            << made + QList<FolderAccess> { { "S-1-5-11", 0x1301bf }, { "S-1-5-32-545", 0x4 },
                                            { "S-1-5-11", 0x10000 } }
            << QStringList({ "S-1-5-11", "S-1-5-32-545" });
    QTest::newRow("owned by another account") << QList<FolderAccess> { { "S-1-5-21-1-2-3-1002", 0x40000 } }
                                              << QStringList({ "S-1-5-21-1-2-3-1002" });
    QTest::newRow("everyone, generic write") << QList<FolderAccess> { { "S-1-1-0", 0x40000000 } }
                                             << QStringList({ "S-1-1-0" });
}

void LoaderLogicTest::otherAccountsThatCanWrite()
{
    QFETCH(QList<FolderAccess>, allowed);
    QFETCH(QStringList, writers);
    QCOMPARE(otherWriters(allowed, "S-1-5-21-1-2-3-1001"), writers);
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
    // The host is then asked one request at a time.
    QTest::newRow("malformed answer") << int(QNetworkReply::ProtocolFailure) << 200 << true;
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
    // A range must end where a file's offsets still reach.
    QCOMPARE(contentRangeStart("bytes 0-9223372036854775807/*"), qint64(-1));
}

namespace {

// What the parser makes of `input` given `chunk` bytes at a time: each
// answer as "[1.0 ]status body keep|close; ", then "cut" for an answer the
// end of input leaves unfinished, or "malformed".
QByteArray answersRead(const QByteArray &input, int chunk)
{
    HttpResponseParser parser;
    QByteArray trace;
    QByteArray pending;
    int fed = 0;
    for (;;) {
        const HttpResponseParser::Step step = parser.parse(pending.constData(), pending.size());
        const QByteArray piece(step.body, int(step.bodySize));
        pending.remove(0, int(step.consumed));
        switch (step.event) {
        case HttpResponseParser::Event::Head:
            trace += (parser.head().minorVersion == 0 ? "1.0 " : "") + QByteArray::number(parser.head().status) + ' ';
            break;
        case HttpResponseParser::Event::Body:
            trace += piece;
            break;
        case HttpResponseParser::Event::Done:
            trace += parser.keepAlive() ? " keep; " : " close; ";
            parser.startNext();
            break;
        case HttpResponseParser::Event::Malformed:
            return trace + "malformed";
        case HttpResponseParser::Event::NeedMore:
            if (fed == input.size()) {
                if (parser.closed())
                    break; // the body ran to the close
                return parser.betweenAnswers() ? trace : trace + "cut";
            }
            pending += input.mid(fed, chunk);
            fed = qMin(input.size(), fed + chunk);
        }
    }
}

} // namespace

void LoaderLogicTest::httpAnswersAreReadAsTheyStream_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("read");
    const QByteArray ok = "HTTP/1.1 200 OK\r\n";
    QTest::newRow("length") << ok + "Content-Length: 5\r\n\r\nhello" << QByteArray("200 hello keep; ");
    QTest::newRow("answers back to back, without bodies")
            << "HTTP/1.1 204 No Content\r\n\r\nHTTP/1.1 304 Not Modified\r\nContent-Length: 9\r\n\r\n" + ok
                       + "content-length: 2\r\n\r\nab"
            << QByteArray("204  keep; 304  keep; 200 ab keep; ");
    QTest::newRow("chunked, extensions and trailers")
            << ok + "Transfer-Encoding: chunked\r\n\r\n5;name=\"v;x\"\r\nhello\r\n6 ; x\r\n world\r\n0\r\nT: t\r\n\r\n" + ok
                       + "Content-Length: 1\r\n\r\n!"
            << QByteArray("200 hello world keep; 200 ! keep; ");
    QTest::newRow("interim answers skipped")
            << "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\n" + ok
                       + "Content-Length: 1\r\n\r\nx"
            << QByteArray("200 x keep; ");
    QTest::newRow("bare line ends, blank lines before, no reason")
            << QByteArray("\r\n\nHTTP/1.1 200\nContent-Length: 2\n\nok") << QByteArray("200 ok keep; ");
    QTest::newRow("Connection: close") << ok + "Connection: keep-alive, Close\r\nContent-Length: 1\r\n\r\nx"
                                       << QByteArray("200 x close; ");
    QTest::newRow("HTTP/1.0 to the close") << QByteArray("HTTP/1.0 200 OK\r\n\r\nto the end")
                                           << QByteArray("1.0 200 to the end close; ");
    QTest::newRow("HTTP/1.0 kept alive") << QByteArray("HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: 1\r\n\r\nx")
                                         << QByteArray("1.0 200 x keep; ");
    QTest::newRow("both framings: the chunks count, then a close")
            << ok + "Content-Length: 99\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n0\r\n\r\n"
            << QByteArray("200 ab close; ");
    QTest::newRow("the same length twice") << ok + "Content-Length: 1\r\nContent-Length: 1, 1\r\n\r\nx"
                                           << QByteArray("200 x keep; ");
    QTest::newRow("cut mid-body") << ok + "Content-Length: 10\r\n\r\nabcd" << QByteArray("200 abcdcut");
    QTest::newRow("cut mid-head") << ok + "Content-Len" << QByteArray("cut");
    QTest::newRow("not HTTP") << QByteArray("SSH-2.0-OpenSSH_9.2\r\n\r\n") << QByteArray("malformed");
    QTest::newRow("status below 100") << QByteArray("HTTP/1.1 099 Odd\r\n\r\n") << QByteArray("malformed");
    QTest::newRow("protocol switch") << QByteArray("HTTP/1.1 101 Switching Protocols\r\n\r\n") << QByteArray("malformed");
    QTest::newRow("folded header") << ok + "X: a\r\n b\r\n\r\n" << QByteArray("malformed");
    QTest::newRow("blank in a name") << ok + "Content-Length : 1\r\n\r\nx" << QByteArray("malformed");
    QTest::newRow("two lengths") << ok + "Content-Length: 1\r\nContent-Length: 2\r\n\r\nxy" << QByteArray("malformed");
    QTest::newRow("length with a sign") << ok + "Content-Length: +1\r\n\r\nx" << QByteArray("malformed");
    QTest::newRow("length past 2^60") << ok + "Content-Length: 1152921504606846977\r\n\r\n" << QByteArray("malformed");
    QTest::newRow("gzip as transfer coding") << ok + "Transfer-Encoding: gzip, chunked\r\n\r\n" << QByteArray("malformed");
    QTest::newRow("chunk size not hex") << ok + "Transfer-Encoding: chunked\r\n\r\nzz\r\n" << QByteArray("200 malformed");
    QTest::newRow("chunk past 2^60") << ok + "Transfer-Encoding: chunked\r\n\r\n1000000000000000\r\n"
                                     << QByteArray("200 malformed");
    QTest::newRow("no line end after a chunk") << ok + "Transfer-Encoding: chunked\r\n\r\n3\r\nabcX"
                                               << QByteArray("200 abcmalformed");
    QTest::newRow("head past 64 KiB") << ok + "X: " + QByteArray(70000, 'x') << QByteArray("malformed");
    QTest::newRow("chunk line past 4 KiB") << ok + "Transfer-Encoding: chunked\r\n\r\n1;" + QByteArray(5000, 'x')
                                           << QByteArray("200 malformed");
    QTest::newRow("trailers past 64 KiB") << ok + "Transfer-Encoding: chunked\r\n\r\n0\r\nT: " + QByteArray(70000, 't')
                                          << QByteArray("200 malformed");
}

void LoaderLogicTest::httpAnswersAreReadAsTheyStream()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, read);
    // Byte by byte and all at once: a connection's reads may split anywhere.
    for (int chunk : { 1, 7, int(input.size()) })
        QCOMPARE(answersRead(input, chunk), read);
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

namespace {

void writeBytes(const QString &path, const QByteArray &data)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(data), qint64(data.size()));
}

} // namespace

void LoaderLogicTest::deltaRebuildsTheNewFile_data()
{
    QTest::addColumn<QByteArray>("oldContent");
    QTest::addColumn<QByteArray>("newContent");
    QTest::addColumn<int>("maxFetched");

    const QByteArray old = randomBytes(1500001, 1); // ends in a short block
    const int block = 2048;
    QByteArray changed = old;
    changed.replace(700001, 100000, randomBytes(100000, 2));
    QTest::newRow("unchanged") << old << old << 0;
    QTest::newRow("middle changed") << old << changed << 100000 + 2 * block;
    QTest::newRow("regions swapped") << old << (old.mid(1200001) + old.mid(300000, 900001) + old.left(300000))
                                     << 6 * block;
    QTest::newRow("bytes inserted") << old << (old.left(500000) + randomBytes(777, 3) + old.mid(500000)) << 2 * block;
    QTest::newRow("bytes removed") << old << (old.left(800000) + old.mid(801234)) << 2 * block;
    QTest::newRow("shorter, same tail") << old << old.mid(4096 + 100) << 0;
    QTest::newRow("nothing in common") << old << randomBytes(1200000, 4) << 1200000;
    // Many equal blocks share one set of checksums; every one must be placed.
    QTest::newRow("runs of zeros") << (QByteArray(1 << 20, 0) + randomBytes(9000, 5))
                                   << (QByteArray(3 << 20, 0) + randomBytes(9000, 5)) << 0;
    QTest::newRow("a single block") << old.left(1500) << old.left(1500) << 0;
}

void LoaderLogicTest::deltaRebuildsTheNewFile()
{
    QFETCH(QByteArray, oldContent);
    QFETCH(QByteArray, newContent);
    QFETCH(int, maxFetched);
    const std::optional<Sidecar> sidecar = parseSidecar(zsyncSidecar(newContent));
    QVERIFY(sidecar);
    QCOMPARE(sidecar->length, qint64(newContent.size()));
    const QString oldPath = m_home.path() + "/old.bin";
    const QString outPath = m_home.path() + "/out.bin";
    writeBytes(oldPath, oldContent);

    // Two threads even for a small file, so a share's edges are crossed.
    std::atomic<bool> stop { false };
    const auto found = BlockMatcher(*sidecar).scan(oldPath, stop, 2);
    QVERIFY(found);
    qint64 fetched = 0;
    QFile out(outPath);
    QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
    for (const ByteRange &range : missingRanges(*sidecar, *found)) {
        fetched += range.size();
        QVERIFY(out.seek(range.start));
        out.write(newContent.mid(int(range.start), int(range.size())));
    }
    out.close();
    QVERIFY2(fetched <= maxFetched, qPrintable(QString::number(fetched)));

    const auto digests = assembleFile(*sidecar, *found, oldPath, outPath, stop);
    QVERIFY(digests);
    QCOMPARE(digests->sha1, sidecar->sha1);
    QCOMPARE(digests->md5, QCryptographicHash::hash(newContent, QCryptographicHash::Md5));
    QVERIFY(out.open(QIODevice::ReadOnly));
    QVERIFY(out.readAll() == newContent);

    stop = true;
    QVERIFY(!BlockMatcher(*sidecar).scan(oldPath, stop, 2));
}

void LoaderLogicTest::sidecarIsTakenOnlyWhole_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("taken");
    QTest::newRow("as made") << "" << true;
    QTest::newRow("a checksum short") << "chop" << false;
    QTest::newRow("checksums of a compressed copy") << "Z-Map2: 12" << false;
    QTest::newRow("no SHA-1") << "SHA-1" << false;
    QTest::newRow("hash lengths out of range") << "Hash-Lengths: 3,2,5" << false;
    QTest::newRow("a newer format") << "zsync: 1.0" << false;
    QTest::newRow("a length past any offset") << "Length: 9223372036854775807" << false;
    // Each with one 4-byte checksum set a block, as many as the length needs.
    QTest::newRow("as many blocks as the index may hold") << QString("blocks %1").arg(maxSidecarBlocks) << true;
    QTest::newRow("a block more") << QString("blocks %1").arg(maxSidecarBlocks + 1) << false;
    // Each candidate position costs the MD4 of a block.
    QTest::newRow("blocks of a MiB") << "blocks 4 of 1048576" << true;
    QTest::newRow("blocks over a MiB") << "blocks 4 of 1048577" << false;
}

void LoaderLogicTest::sidecarIsTakenOnlyWhole()
{
    QFETCH(QString, change);
    QFETCH(bool, taken);
    QByteArray data = zsyncSidecar(randomBytes(50000, 6));
    QVERIFY(parseSidecar(data));
    const int headerEnd = data.indexOf("\n\n");
    QList<QByteArray> lines = data.left(headerEnd).split('\n');
    const QByteArray sums = data.mid(headerEnd);
    const QByteArray name = change.toLatin1().split(':').first();
    if (change == "chop") {
        data.chop(1);
    } else if (change.startsWith("blocks ")) {
        const QStringList words = change.split(' ');
        const qint64 blocks = words.at(1).toLongLong();
        const qint64 blockSize = words.size() > 3 ? words.at(3).toLongLong() : 64;
        lines.erase(std::remove_if(lines.begin(), lines.end(), [](const QByteArray &line) {
            return line.startsWith("Blocksize:") || line.startsWith("Length:") || line.startsWith("Hash-Lengths:");
        }), lines.end());
        lines << "Blocksize: " + QByteArray::number(blockSize) << "Length: " + QByteArray::number(blocks * blockSize)
              << "Hash-Lengths: 1,1,3";
        data = lines.join('\n') + "\n\n" + QByteArray(int(blocks * 4), '\0');
    } else if (!change.isEmpty()) {
        lines.erase(std::remove_if(lines.begin(), lines.end(), [&](const QByteArray &line) {
            return line.startsWith(name + ':');
        }), lines.end());
        if (change.contains(':'))
            lines.append(change.toLatin1());
        data = lines.join('\n') + sums;
    }
    QCOMPARE(bool(parseSidecar(data)), taken);
}

void LoaderLogicTest::scanWorkIsBounded_data()
{
    QTest::addColumn<QString>("sidecar");
    QTest::addColumn<QString>("stop");
    // Every position of the old copy passes the quick filter, and no MD4 matches.
    QTest::newRow("hostile sidecar") << "hostile" << "never";
    QTest::newRow("hostile sidecar, stopped at once") << "hostile" << "at once";
    // A million blocks take a while to index.
    QTest::newRow("many blocks, stopped while indexed") << "many blocks" << "at once";
    // Block after block matches: the scan hashes without sliding.
    QTest::newRow("unchanged copy, stopped in its run of matches") << "honest" << "after the first MD4";
}

void LoaderLogicTest::scanWorkIsBounded()
{
    QFETCH(QString, sidecar);
    QFETCH(QString, stop);
    const QByteArray old = randomBytes(8 * 1024 * 1024, 11);
    const QString oldPath = m_home.path() + "/old.bin";
    writeBytes(oldPath, old);
    const int hostileBlock = 4096;
    const std::optional<Sidecar> parsed = parseSidecar(sidecar == "hostile" ? hostileSidecar(1024 * 1024, hostileBlock)
                                                       : sidecar == "many blocks" ? hostileSidecar(1 << 26, 64)
                                                                                  : zsyncSidecar(old));
    QVERIFY(parsed);
    std::atomic<bool> stopFlag { stop == "at once" };
    const BlockMatcher matcher(*parsed, &stopFlag);
    QCOMPARE(matcher.complete(), sidecar != "many blocks");

    ScanCounts counts;
    std::optional<std::vector<qint64>> found;
    std::thread scanning([&] { found = matcher.scan(oldPath, stopFlag, 2, &counts); });
    qint64 checksWhenStopped = 0;
    if (stop == "after the first MD4") {
        while (counts.strongChecks == 0)
            std::this_thread::yield();
        stopFlag = true;
        checksWhenStopped = counts.strongChecks;
    }
    scanning.join();
    if (found && stop == "after the first MD4")
        QSKIP("this machine let the scan end before the stop was set");

    QVERIFY(!found);
    if (stop == "never") {
        // Given up once the failed checks pass their bound: a few MD4s a
        // block of the old copy, not one a byte.
        QVERIFY(counts.gaveUp);
        const qint64 bound = failedChecksPerOldBlock * (old.size() / hostileBlock + 1);
        QVERIFY2(counts.strongChecks <= bound + 2, qPrintable(QString::number(counts.strongChecks)));
    } else {
        // Each MD4 is taken after a look at the stop: at most the one each
        // thread had begun.
        const qint64 afterStop = counts.strongChecks - checksWhenStopped;
        QVERIFY2(afterStop <= 2, qPrintable(QString::number(afterStop)));
    }
}

void LoaderLogicTest::sidecarLengthIsBounded_data()
{
    QTest::addColumn<qint64>("length");   // as the sidecar states it
    QTest::addColumn<qint64>("expected"); // the manifest's size, -1: none
    QTest::addColumn<qint64>("oldSize");
    QTest::addColumn<bool>("taken");
    const qint64 mib = 1024 * 1024;
    const qint64 gib = 1024 * mib;
    QTest::newRow("the manifest's size") << 1000LL << 1000LL << 10LL << true;
    QTest::newRow("not the manifest's size") << 1001LL << 1000LL << 10LL << false;
    QTest::newRow("no size, four old copies and 64 MiB") << 64 * mib + 40 << -1LL << 10LL << true;
    QTest::newRow("no size, a byte more") << 64 * mib + 41 << -1LL << 10LL << false;
    QTest::newRow("no size, past 16 GiB") << 16 * gib + 1 << -1LL << 8 * gib << false;
    QTest::newRow("no size, an old copy near 2^62") << 16 * gib << -1LL << (Q_INT64_C(1) << 62) << true;
}

void LoaderLogicTest::sidecarLengthIsBounded()
{
    QFETCH(qint64, length);
    QFETCH(qint64, expected);
    QFETCH(qint64, oldSize);
    QFETCH(bool, taken);
    QCOMPARE(sidecarLengthFits(length, expected, oldSize), taken);
}

void LoaderLogicTest::diskSpaceIsCheckedFirst_data()
{
    QTest::addColumn<QList<qint64>>("sizes"); // of the files to fetch, -1: unknown
    QTest::addColumn<qint64>("available");    // -1: unknown
    QTest::addColumn<qint64>("needed");
    QTest::addColumn<bool>("fits");
    const qint64 huge = Q_INT64_C(1) << 62;
    QTest::newRow("nothing to fetch") << QList<qint64>({ 0 }) << 0LL << 0LL << true;
    QTest::newRow("exactly the room") << QList<qint64>({ 4096, 8192 }) << 12288LL << 12288LL << true;
    QTest::newRow("a byte short") << QList<qint64>({ 4096, 8192 }) << 12287LL << 12288LL << false;
    QTest::newRow("a cluster a file") << QList<qint64>({ 1, 4097 }) << 8192LL << 12288LL << false;
    QTest::newRow("unknown sizes count nothing") << QList<qint64>({ -1, 4096 }) << 4096LL << 4096LL << true;
    QTest::newRow("free space unknown") << QList<qint64>({ 4096 }) << -1LL << 4096LL << true;
    QTest::newRow("sizes past 64 bits") << QList<qint64>({ huge, huge, huge }) << huge
                                        << std::numeric_limits<qint64>::max() << false;
}

void LoaderLogicTest::diskSpaceIsCheckedFirst()
{
    QFETCH(QList<qint64>, sizes);
    QFETCH(qint64, available);
    QFETCH(qint64, needed);
    QFETCH(bool, fits);
    const DiskSpaceVerdict verdict = diskSpaceVerdict(sizes, available);
    QCOMPARE(verdict.needed, needed);
    QCOMPARE(verdict.fits, fits);
}

void LoaderLogicTest::rangesAnswerIsReadAsItStreams_data()
{
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("contentRange");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("image"); // the 20-byte file as written, '.' where nothing came
    QTest::addColumn<bool>("whole");

    const QByteArray multipart = "multipart/byteranges; boundary=00000000001";
    const QByteArray parts = "\r\n--00000000001\r\nContent-Type: application/octet-stream\r\n"
                             "Content-Range: bytes 2-4/20\r\n\r\nabc"
                             "\r\n--00000000001\r\nContent-Range: bytes 15-19/20\r\n\r\nvwxyz"
                             "\r\n--00000000001--\r\n";
    QTest::newRow("one range") << QByteArray("application/octet-stream") << QByteArray("bytes 5-9/20")
                               << QByteArray("fghij") << QByteArray(".....fghij..........") << true;
    QTest::newRow("parts as nginx sends them") << multipart << QByteArray() << parts
                                               << QByteArray("..abc..........vwxyz") << true;
    QTest::newRow("quoted boundary") << QByteArray("multipart/byteranges; boundary=\"00000000001\"")
                                     << QByteArray() << parts << QByteArray("..abc..........vwxyz") << true;
    QTest::newRow("cut before the closing boundary") << multipart << QByteArray() << parts.left(parts.size() - 20)
                                                     << QByteArray("..abc..........vwxy.") << false;
    QTest::newRow("a part of another file") << multipart << QByteArray()
                                            << QByteArray(parts).replace("15-19/20", "15-19/21")
                                            << QByteArray("..abc...............") << false;
    QTest::newRow("another boundary") << multipart << QByteArray() << QByteArray(parts).replace("--000", "--999")
                                      << QByteArray("....................") << false;
    QTest::newRow("a part past the file's end") << multipart << QByteArray()
                                                << QByteArray(parts).replace("15-19/20", "15-20/20")
                                                << QByteArray("..abc...............") << false;
}

void LoaderLogicTest::rangesAnswerIsReadAsItStreams()
{
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, contentRange);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, image);
    QFETCH(bool, whole);
    // Byte by byte and all at once: the text between parts may split anywhere.
    for (int chunk : { 1, 7, int(body.size()) }) {
        auto reader = ByteRangesReader::forAnswer(contentType, contentRange, 20);
        QVERIFY(reader);
        QByteArray file(20, '.');
        bool ok = true;
        for (int at = 0; ok && at < body.size(); at += chunk) {
            ok = reader->feed(body.constData() + at, qMin(chunk, body.size() - at),
                              [&](qint64 offset, const char *data, qint64 size) {
                                  file.replace(int(offset), int(size), QByteArray(data, int(size)));
                                  return true;
                              });
        }
        QCOMPARE(file, image);
        QCOMPARE(ok && reader->complete(), whole);
    }
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

    // The launcher's own store is apart from RageMP's, and an address's
    // slashes make no levels of keys.
    QCOMPARE(LauncherSettings::location(), m_config.path() + "/Zanrok/Launcher.ini");
    const QString url = "http://files.example:7080/a/files.json";
    {
        LauncherSettings settings;
        QVERIFY(!settings.manifestTimestamp(url));
        settings.setManifestTimestamp(url, 1796661797);
        QVERIFY(settings.sync());
    }
    QCOMPARE(LauncherSettings().manifestTimestamp(url), std::optional<quint64>(1796661797));
    QVERIFY(!LauncherSettings().manifestTimestamp("http://files.example:7080/b/files.json"));
    QFile launcherIni(LauncherSettings::location());
    QVERIFY(launcherIni.open(QIODevice::ReadOnly));
    const QByteArray launcherText = launcherIni.readAll();
    QVERIFY2(launcherText.contains("[ManifestTimestamps]\nhttp%253A%252F%252Ffiles.example%253A7080%252Fa%252Ffiles.json=1796661797"),
             launcherText.constData());
}

QTEST_GUILESS_MAIN(LoaderLogicTest)
#include "tst_loaderlogic.moc"
