// The launcher updating itself: versions compared as numbers, the signed
// descriptor's rules, the flow's outcome for each fault on the way, and
// what is removed after an update.
#include "testserver.h"

#include "platform/launchersettings.h"
#include "transfer/downloadsink.h"
#include "transfer/transfer.h"
#include "trust/minisignsigner.h"
#include "update/earlierversions.h"
#include "update/launcherupdate.h"

#include <QDirIterator>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <sodium.h>

namespace {

const qint64 now = QDateTime::currentSecsSinceEpoch();

MinisignSecretKey testKey(char seed)
{
    QByteArray publicKey(crypto_sign_PUBLICKEYBYTES, 0);
    QByteArray secretKey(crypto_sign_SECRETKEYBYTES, 0);
    crypto_sign_seed_keypair(reinterpret_cast<unsigned char *>(publicKey.data()),
                             reinterpret_cast<unsigned char *>(secretKey.data()),
                             reinterpret_cast<const unsigned char *>(QByteArray(crypto_sign_SEEDBYTES, seed).constData()));
    return MinisignSecretKey(QByteArray(8, seed), secretKey);
}

QByteArray signatureFor(const QByteArray &descriptor, const QString &address, char key = 'k',
                        qint64 signedAt = now - 60, qint64 expires = now + 86400)
{
    return testKey(key).sign(descriptor, QStringLiteral("timestamp:%1\tfile:update.json\thashed\tmanifest:%2\texpires:%3")
                                                 .arg(signedAt).arg(address).arg(expires).toUtf8());
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

} // namespace

class UpdateTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void versionsCompareAsNumbers_data();
    void versionsCompareAsNumbers();
    void descriptorDecides_data();
    void descriptorDecides();
    void flowFallsBackOnEachFault_data();
    void flowFallsBackOnEachFault();
    void earlierVersionsGoByTheirRecords();

private:
    QTemporaryDir m_home;
};

void UpdateTest::initTestCase()
{
    QVERIFY(sodium_init() >= 0);
    qputenv("XDG_CONFIG_HOME", m_home.path().toUtf8());
    setRetryBackoffBase(std::chrono::milliseconds(1));
}

void UpdateTest::init()
{
    QFile::remove(LauncherSettings::location());
}

void UpdateTest::versionsCompareAsNumbers_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<int>("order"); // 2: not both versions
    QTest::newRow("newer") << "1.9" << "1.8" << 1;
    QTest::newRow("numbers, not text") << "1.10" << "1.9" << 1;
    QTest::newRow("older") << "1.7.9" << "1.8" << -1;
    QTest::newRow("missing numbers are 0") << "1.8" << "1.8.0" << 0;
    QTest::newRow("leading zero") << "1.08" << "1.8" << 0;
    QTest::newRow("major") << "2" << "1.99.99.99" << 1;
    for (const char *bad : { "", "1.8\n", " 1.8", "1..8", "1.8.", "+1.8", "1.8-beta", "1.2.3.4.5", "1234567890",
                             "\u0661.\u0668" })
        QTest::newRow(qPrintable(QStringLiteral("not a version: '%1'").arg(QString::fromUtf8(bad)))) << QString::fromUtf8(bad) << "1.8" << 2;
}

void UpdateTest::versionsCompareAsNumbers()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(int, order);
    const std::optional<int> compared = compareVersions(a, b);
    QCOMPARE(compared ? qBound(-1, *compared, 1) : 2, order);
    if (compared)
        QCOMPARE(*compareVersions(b, a), -*compared);
}

void UpdateTest::descriptorDecides_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("refusal"); // in the reason; empty: update
    QTest::newRow("as published") << "" << "";
    QTest::newRow("an older version") << "older" << "not newer than this launcher's 1.8";
    QTest::newRow("the same version") << "same" << "not newer";
    QTest::newRow("not the version text") << "text" << "where the version text says 1.10";
    QTest::newRow("expired") << "expired" << "expired at";
    QTest::newRow("another key") << "key" << "not a trusted key";
    QTest::newRow("signed for another address") << "address" << "signed for http://files.test/staging/update.json";
    QTest::newRow("no signature") << "unsigned" << "no signature";
    QTest::newRow("older than the one accepted") << "replay" << "older than";
    QTest::newRow("size as text") << "size" << "malformed: its size";
    QTest::newRow("an ftp address") << "url" << "malformed: its url";
}

void UpdateTest::descriptorDecides()
{
    QFETCH(QString, fault);
    QFETCH(QString, refusal);
    const QString address = "http://files.test/launcher/update.json";
    LauncherRelease release { fault == "older" ? "1.7" : (fault == "same" ? "1.8" : "1.9"),
                              fault == "url" ? "ftp://files.test/setup.exe" : "http://files.test/setup.exe", 1000,
                              QString(64, 'a') };
    QByteArray descriptor = launcherReleaseText(release);
    if (fault == "size")
        descriptor.replace("1000", "\"1000\"");
    std::optional<QByteArray> signature = signatureFor(descriptor, fault == "address" ? "http://files.test/staging/update.json" : address,
                                                       fault == "key" ? 'o' : 'k', now - 60, fault == "expired" ? now - 1 : now + 86400);
    if (fault == "unsigned")
        signature.reset();
    SignedDocumentRules rules;
    rules.trustedKeys = QStringList { QString::fromLatin1(testKey('k').publicKeyLine()) };
    rules.address = address;
    rules.now = now;
    std::optional<AcceptedDocument> previous;
    if (fault == "replay")
        previous = AcceptedDocument { quint64(now), QByteArray() };

    const ReleaseCheck check = checkLauncherRelease(descriptor, signature, rules, previous,
                                                    fault == "text" ? "1.10" : release.version, "1.8");
    QVERIFY2(refusal.isEmpty() ? check.ok() : check.refusal.contains(refusal), qPrintable(check.refusal));
    if (check.ok()) {
        QCOMPARE(check.release, release);
        QCOMPARE(check.accepted.timestamp, quint64(now - 60));
    }
}

void UpdateTest::flowFallsBackOnEachFault_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("started");
    QTest::newRow("as published") << "" << true;
    QTest::newRow("a kept part taken up") << "part" << true;
    QTest::newRow("another installer of the same size") << "digest" << false;
    QTest::newRow("a longer installer") << "size" << false;
    QTest::newRow("no installer") << "404" << false;
    QTest::newRow("no descriptor") << "descriptor" << false;
    QTest::newRow("a descriptor past 16 KiB") << "large" << false;
    QTest::newRow("an installer that does not start") << "start" << false;
}

void UpdateTest::flowFallsBackOnEachFault()
{
    QFETCH(QString, fault);
    QFETCH(bool, started);
    TestServer server;
    QTemporaryDir updates;
    const QByteArray installer = randomBytes(300000, 9);
    const QString address = server.baseUrl() + "/launcher/update.json";
    const LauncherRelease release { "1.9", server.baseUrl() + "/setup.exe", installer.size(),
                                    QCryptographicHash::hash(installer, QCryptographicHash::Sha256).toHex() };
    QByteArray descriptor = launcherReleaseText(release);
    if (fault == "large")
        descriptor += QByteArray(maxDescriptorSize, ' ');
    if (fault != "descriptor")
        server.setBody("/launcher/update.json", descriptor);
    server.setBody("/launcher/update.json.minisig", signatureFor(descriptor, address));
    TestResponse answer;
    answer.body = fault == "digest" ? randomBytes(installer.size(), 10) : installer + (fault == "size" ? "!" : "");
    answer.status = fault == "404" ? 404 : 200;
    answer.ranges = true;
    answer.headers = { { "ETag", "\"v1\"" } };
    server.setResponse("/setup.exe", answer);
    const QString target = updates.path() + "/1.9/ZanrokLauncherSetup.exe";
    if (fault == "part") {
        QVERIFY(writeFile(DownloadSink::partPath(target), installer.left(100000)));
        QVERIFY(writeFile(DownloadSink::notePath(target),
                          QJsonDocument(QJsonObject { { "url", release.url }, { "hash", release.sha256 },
                                                      { "validator", "\"v1\"" } }).toJson()));
    }

    QStringList startedWith;
    SelfUpdate setup { true, updates.path(), [&](const QString &path) {
                          startedWith << path;
                          return fault != "start";
                      } };
    LauncherUpdate update({ address, "1.9", "1.8", { QString::fromLatin1(testKey('k').publicKeyLine()) }, 0 }, setup);
    QSignalSpy finished(&update, &LauncherUpdate::finished);
    QSignalSpy progressed(&update, &LauncherUpdate::progressed);
    update.start();
    QVERIFY(finished.wait(10000));
    QCOMPARE(finished.first().first().toBool(), started);
    QCOMPARE(startedWith, started || fault == "start" ? QStringList { target } : QStringList());
    if (started) {
        QFile file(target);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), installer);
        QCOMPARE(progressed.last().first().toInt(), 100);
    } else if (fault != "start") {
        QVERIFY(!QFile::exists(target));
    }
    if (fault == "part")
        QCOMPARE(server.requests().last().headers.value("range"), QByteArray("bytes=100000-"));
}

void UpdateTest::earlierVersionsGoByTheirRecords()
{
    QTemporaryDir folder;
    const QString root = folder.filePath("Zanrok Launcher");
    const QByteArray record = "zanrok-launcher.exe\r\nplugins\\a.dll\r\n";
    for (const QString &version : QStringList { "1.7", "1.9", "2.0", "notes" }) {
        for (const QString &name : QStringList { "zanrok-launcher.exe", "plugins/a.dll", "installed-files.txt", "uninstall.exe" })
            QVERIFY(writeFile(root + '/' + version + '/' + name, name.endsWith(".txt") ? record : "x"));
    }
    QVERIFY(writeFile(root + "/1.7/mine.txt", "the player's"));
    QVERIFY(writeFile(root + "/1.6/plugins/a.dll", "x")); // no record: not known as ours
    // An install of the older layout: its files and record at the top, one
    // line reaching into a version's folder, others out of the install.
    for (const QString &name : QStringList { "zanrok-launcher.exe", "qml/x.qml", "uninstall.exe", "notes.txt" })
        QVERIFY(writeFile(root + '/' + name, "x"));
    QVERIFY(writeFile(root + "/installed-files.txt",
                      "zanrok-launcher.exe\r\nqml\\x.qml\r\n1.9\\zanrok-launcher.exe\r\n..\\outside.txt\r\n"
                      "C:\\outside.txt\r\n\\outside.txt\r\n*.txt\r\nqml/../notes.txt\r\n"));
    QVERIFY(writeFile(folder.filePath("outside.txt"), "x"));
    const QString updates = folder.filePath("updates");
    for (const QString &version : QStringList { "1.8", "1.9", "2.0" })
        QVERIFY(writeFile(updates + '/' + version + "/ZanrokLauncherSetup.exe", "x"));
    QVERIFY(writeFile(updates + "/1.8/other.txt", "x"));

    QCOMPARE(versionedInstallRoot(root + "/1.9/", "1.9"), std::optional<QString>(root));
    QCOMPARE(versionedInstallRoot(root, "1.9"), std::optional<QString>());
    removeEarlierVersions(root, "1.9");
    removeEarlierInstallers(updates, "1.9");
    QStringList left;
    QDirIterator it(folder.path(), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        left << QDir(folder.path()).relativeFilePath(it.next());
    left.sort();
    QStringList expected { "outside.txt", "updates/1.8/other.txt", "updates/2.0/ZanrokLauncherSetup.exe",
                           "Zanrok Launcher/1.6/plugins/a.dll", "Zanrok Launcher/1.7/mine.txt", "Zanrok Launcher/notes.txt" };
    for (const QString &kept : QStringList { "1.9", "2.0", "notes" }) {
        for (const QString &name : QStringList { "zanrok-launcher.exe", "plugins/a.dll", "installed-files.txt", "uninstall.exe" })
            expected << "Zanrok Launcher/" + kept + '/' + name;
    }
    expected.sort();
    QCOMPARE(left, expected);
}

QTEST_GUILESS_MAIN(UpdateTest)
#include "tst_update.moc"
