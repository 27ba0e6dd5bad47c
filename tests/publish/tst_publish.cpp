// The publishing tool: its sidecars against zsyncmake's, its keys against
// Debian's minisign, what it refuses, a publication read back by the
// launcher's own readers, and the check's findings on planted faults.
#include "delta/deltaupdate.h"
#include "delta/sidecar.h"
#include "delta/sidecarwriter.h"
#include "loader/manifest.h"
#include "publish/filedigest.h"
#include "publish/launcherpublication.h"
#include "publish/manifestwriter.h"
#include "publish/publication.h"
#include "publish/publishcheck.h"
#include "testserver.h"
#include "transfer/transfer.h"
#include "trust/minisignsigner.h"

#include <QDirIterator>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

Q_DECLARE_METATYPE(SecretKeyOpening)

namespace {

QByteArray testData(const QString &name)
{
    QFile file(QStringLiteral(ZANROK_TEST_DATA_DIR "/publish/") + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

MinisignPublicKey publicKey(const QString &pubFile)
{
    return *parseMinisignPublicKey(testData(pubFile).split('\n').at(1));
}

MinisignSecretKey plainKey()
{
    return *openMinisignSecretKey(*parseMinisignSecretKeyFile(testData("plain.key")), {}).key;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool minisignAccepts(const QString &file, const QString &pubFile)
{
    QProcess minisign;
    minisign.start("minisign", { "-V", "-q", "-m", file, "-p", QStringLiteral(ZANROK_TEST_DATA_DIR "/publish/") + pubFile });
    return minisign.waitForFinished(30000) && minisign.exitStatus() == QProcess::NormalExit && minisign.exitCode() == 0;
}

} // namespace

class PublishTest : public QObject
{
    Q_OBJECT

private slots:
    void sidecarEqualsZsyncmakes_data();
    void sidecarEqualsZsyncmakes();
    void secretKeyFormats_data();
    void secretKeyFormats();
    void refusals_data();
    void refusals();
    void publicationReadsBackAndUpdatesIncrementally();
    void launcherUpdateReadsBack();
    void checkNamesPlantedFaults_data();
    void checkNamesPlantedFaults();
};

void PublishTest::sidecarEqualsZsyncmakes_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("blockSize"); // 0: zsyncmake's own choice
    QTest::newRow("one short block") << 100 << 0;
    QTest::newRow("exactly a block") << 2048 << 0;
    QTest::newRow("a block and a byte") << 2049 << 0;
    QTest::newRow("a short last block") << 1500001 << 0;
    QTest::newRow("whole blocks") << 4 * 1024 * 1024 << 0;
    QTest::newRow("small blocks") << 300000 << 256;
    QTest::newRow("large blocks") << 3000000 << 65536;
}

void PublishTest::sidecarEqualsZsyncmakes()
{
    QFETCH(int, size);
    QFETCH(int, blockSize);
    if (QStandardPaths::findExecutable("zsyncmake").isEmpty())
        QSKIP("zsyncmake (Debian's zsync) is missing; scripts/install-deps installs it");
    QTemporaryDir folder;
    const QByteArray content = randomBytes(size, quint32(size));
    const QString path = folder.filePath("file.rpf");
    QVERIFY(writeFile(path, content));
    QStringList arguments { "-u", "file.rpf", "-o", "file.rpf.zsync", "file.rpf" };
    if (blockSize > 0)
        arguments << "-b" << QString::number(blockSize);
    QProcess zsyncmake;
    zsyncmake.setWorkingDirectory(folder.path());
    zsyncmake.start("zsyncmake", arguments);
    QVERIFY(zsyncmake.waitForFinished(60000) && zsyncmake.exitCode() == 0);

    // Fed in pieces that cross block edges, as a file streams in.
    SidecarWriter writer(size, blockSize > 0 ? blockSize : defaultSidecarBlockSize(size));
    for (int at = 0; at < size; at += 1000003) {
        writer.addToSums(content.constData() + at, qMin(1000003, size - at));
        writer.addToSha1(content.constData() + at, qMin(1000003, size - at));
    }
    const QByteArray ours = writer.text("file.rpf", "file.rpf", QFileInfo(path).lastModified());
    QCOMPARE(ours, readFile(folder.filePath("file.rpf.zsync")));
    QVERIFY(parseSidecar(ours));
}

void PublishTest::secretKeyFormats_data()
{
    QTest::addColumn<QString>("keyFile");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<SecretKeyOpening>("result");
    QTest::newRow("stored plain (-W)") << "plain.key" << QByteArray() << SecretKeyOpening::Opened;
    QTest::newRow("password") << "protected.key" << QByteArray("correct horse") << SecretKeyOpening::Opened;
    QTest::newRow("wrong password") << "protected.key" << QByteArray("correct horse ") << SecretKeyOpening::WrongPassword;
    QTest::newRow("damaged plain key") << "damaged" << QByteArray() << SecretKeyOpening::Damaged;
}

void PublishTest::secretKeyFormats()
{
    QFETCH(QString, keyFile);
    QFETCH(QByteArray, password);
    QFETCH(SecretKeyOpening, result);
    QByteArray text = testData(keyFile == "damaged" ? "plain.key" : keyFile);
    if (keyFile == "damaged") {
        // One byte of the seed changed: the public half no longer follows.
        QByteArray raw = QByteArray::fromBase64(text.split('\n').at(1));
        raw[70] = char(raw.at(70) ^ 1);
        text = "untrusted comment: x\n" + raw.toBase64() + '\n';
    }
    const std::optional<MinisignSecretKeyFile> file = parseMinisignSecretKeyFile(text);
    QVERIFY(file);
    QCOMPARE(file->encrypted, keyFile == "protected.key");
    const OpenedSecretKey opened = openMinisignSecretKey(*file, password);
    QCOMPARE(opened.result, result);
    QCOMPARE(bool(opened.key), result == SecretKeyOpening::Opened);
    if (!opened.key)
        return;
    const QString pubFile = QString(keyFile).replace(".key", ".pub");
    QCOMPARE(opened.key->publicKeyLine(), testData(pubFile).split('\n').at(1));
    const QByteArray comment = publicationComment(1700000000, "files.json", "http://h/files.json", 1800000000);
    const QByteArray signature = opened.key->sign("[]", comment);
    const SignatureVerdict verdict = verifyMinisign("[]", signature, { publicKey(pubFile) });
    QCOMPARE(verdict.check, SignatureCheck::Valid);
    QCOMPARE(verdict.signature.trustedComment, comment);
    QVERIFY(verdict.signature.prehashed);
}

void PublishTest::refusals_data()
{
    // Entries under the source folder: "name" a file, "name>target" a link.
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QString>("refused"); // the path named; empty: none refused
    QTest::addColumn<QString>("reason");
    const QString ok = "SERVER_FILES/ok.js";
    QTest::newRow("a link inside") << QStringList { ok, "SERVER_FILES/again.js>SERVER_FILES/ok.js" } << "" << "";
    QTest::newRow("trailing dot") << QStringList { ok, "SERVER_FILES/a." } << "SERVER_FILES/a." << "dot or a blank";
    QTest::newRow("trailing blank") << QStringList { ok, "SERVER_FILES/maps /a.js" } << "SERVER_FILES/maps /a.js"
                                    << "dot or a blank";
    QTest::newRow("device") << QStringList { ok, "SERVER_FILES/x/nul.txt" } << "SERVER_FILES/x/nul.txt" << "device";
    QTest::newRow("colon") << QStringList { ok, "SERVER_FILES/a:b" } << "SERVER_FILES/a:b" << "':'";
    QTest::newRow("backslash") << QStringList { ok, "SERVER_FILES/a\\b" } << "SERVER_FILES/a\\b" << "backslash";
    QTest::newRow("control character") << QStringList { ok, "SERVER_FILES/a\tb" } << "SERVER_FILES/a\tb" << "control";
    QTest::newRow("forbidden on Windows") << QStringList { ok, "SERVER_FILES/a?.js" } << "SERVER_FILES/a?.js" << "'?'";
    QTest::newRow("case twins") << QStringList { "SERVER_FILES/OK.js", ok } << ok << "only in case";
    QTest::newRow("a file named as a folder") << QStringList { ok, "SERVER_FILES/maps", "SERVER_FILES/Maps/a.js" }
                                              << "SERVER_FILES/maps" << "name of a folder";
    QTest::newRow("link outside") << QStringList { ok, "SERVER_FILES/etc>/etc/hostname" } << "SERVER_FILES/etc"
                                  << "outside the source folder";
    QTest::newRow("link to nothing") << QStringList { ok, "SERVER_FILES/gone>SERVER_FILES/none" }
                                     << "SERVER_FILES/gone" << "link to nothing";
    QTest::newRow("link to its own folder") << QStringList { ok, "SERVER_FILES/loop>SERVER_FILES" }
                                            << "SERVER_FILES/loop" << "never end";
    QTest::newRow("another section") << QStringList { ok, "server_files/a.js" } << "server_files" << "no other section";
}

void PublishTest::refusals()
{
    QFETCH(QStringList, entries);
    QFETCH(QString, refused);
    QFETCH(QString, reason);
    QTemporaryDir source;
    for (const QString &entry : entries) {
        const QString name = entry.section('>', 0, 0);
        const QString target = entry.section('>', 1);
        const QString path = source.filePath(name);
        QDir().mkpath(QFileInfo(path).absolutePath());
        if (target.isEmpty())
            QVERIFY(writeFile(path, "x"));
        else
            QVERIFY(QFile::link(target.startsWith('/') ? target : source.filePath(target), path));
    }
    const SourceListing listing = listSource(source.path());
    QStringList named;
    for (const Refusal &refusal : listing.refusals) {
        named << refusal.path;
        QVERIFY2(refusal.reason.contains(reason), qPrintable(refusal.reason));
    }
    QCOMPARE(named, refused.isEmpty() ? QStringList() : QStringList { refused });
    QVERIFY(std::any_of(listing.files.cbegin(), listing.files.cend(),
                        [](const SourceFile &file) { return file.path.compare("SERVER_FILES/ok.js", Qt::CaseInsensitive) == 0; }));
}

void PublishTest::publicationReadsBackAndUpdatesIncrementally()
{
    QTemporaryDir folder;
    const QString source = folder.filePath("source");
    const QByteArray big = randomBytes(300000, 7);
    QVERIFY(writeFile(source + "/RAGEMP_FILES/ragemp_v.exe", "client"));
    QVERIFY(writeFile(source + "/SERVER_FILES/maps/big.rpf", big));
    QVERIFY(writeFile(source + "/SERVER_FILES/карты/a b.js", "js"));
    // Old enough for the digest cache, which distrusts a file just written.
    for (const char *file : { "RAGEMP_FILES/ragemp_v.exe", "SERVER_FILES/maps/big.rpf", "SERVER_FILES/карты/a b.js" }) {
        QFile f(source + '/' + QString::fromUtf8(file));
        QVERIFY(f.open(QIODevice::ReadWrite));
        QVERIFY(f.setFileTime(QDateTime::currentDateTime().addSecs(-60), QFileDevice::FileModificationTime));
    }
    MakeOptions options;
    options.source = source;
    options.out = folder.filePath("www");
    options.baseUrl = "http://files.example/pub";
    options.manifestUrl = "http://files.example/files.json";
    options.deltaFromBytes = 200000;
    auto publish = [&] {
        Publication publication(options);
        MakeProgress progress;
        const bool done = publication.prepare() && publication.publish(plainKey(), progress);
        return done ? publication.filesRead() : -1;
    };
    QCOMPARE(publish(), 3);

    // The launcher's own readers take it as written.
    const QByteArray manifest = readFile(options.out + "/files.json");
    const ManifestSections sections = splitManifest(manifestArray(manifest));
    const QString bigHash = QCryptographicHash::hash(big, QCryptographicHash::Md5).toHex();
    QCOMPARE(sections.ragempFiles, QList<FileEntry>({ { "ragemp_v.exe", "http://files.example/pub/RAGEMP_FILES/ragemp_v.exe",
                                                        QCryptographicHash::hash("client", QCryptographicHash::Md5).toHex(), 6 } }));
    QCOMPARE(sections.serverFiles.at(0), FileEntry({ "maps/big.rpf", "http://files.example/pub/SERVER_FILES/maps/big.rpf", bigHash, big.size() }));
    QCOMPARE(sections.serverFiles.at(1).url,
             QString("http://files.example/pub/SERVER_FILES/%D0%BA%D0%B0%D1%80%D1%82%D1%8B/a%20b.js"));
    QVERIFY(manifest.contains("\"size\": 300000}"));
    const QByteArray signature = readFile(options.out + "/files.json.minisig");
    const SignatureVerdict verdict = verifyMinisign(manifest, signature, { publicKey("plain.pub") });
    QCOMPARE(verdict.check, SignatureCheck::Valid);
    QVERIFY(checkTrustedComment(verdict.signature.trustedComment, options.manifestUrl,
                                QDateTime::currentSecsSinceEpoch(), 0).problems.isEmpty());
    if (!QStandardPaths::findExecutable("minisign").isEmpty())
        QVERIFY(minisignAccepts(options.out + "/files.json", "plain.pub"));

    // Each file at its URL's path, linked; a sidecar beside the large one only.
    const QString published = options.out + "/pub/SERVER_FILES/maps/big.rpf";
    struct stat a, b;
    QVERIFY(::stat(QFile::encodeName(published), &a) == 0 && ::stat(QFile::encodeName(source + "/SERVER_FILES/maps/big.rpf"), &b) == 0);
    QCOMPARE(a.st_ino, b.st_ino);
    const std::optional<Sidecar> sidecar = parseSidecar(readFile(published + ".zsync"));
    QVERIFY(sidecar && sidecar->length == big.size());
    QVERIFY(!QFile::exists(options.out + "/pub/SERVER_FILES/карты/a b.js.zsync"));

    // Again with one file changed: only that one is read; the web root holds
    // nothing of the tool's temporary names.
    QVERIFY(writeFile(source + "/SERVER_FILES/карты/a b.js", "js, changed"));
    QCOMPARE(publish(), 1);
    QCOMPARE(readFile(options.out + "/pub/SERVER_FILES/карты/a b.js"), QByteArray("js, changed"));
    QDirIterator it(options.out, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        QVERIFY2(!it.next().contains("zanrok-publish"), qPrintable(it.filePath()));

    // A refusal writes nothing.
    QVERIFY(writeFile(source + "/SERVER_FILES/nul.txt", "x"));
    const QByteArray before = readFile(options.out + "/files.json");
    QCOMPARE(publish(), -1);
    QCOMPARE(readFile(options.out + "/files.json"), before);
}

void PublishTest::launcherUpdateReadsBack()
{
    QTemporaryDir folder;
    const QByteArray setup = randomBytes(200000, 11);
    QVERIFY(writeFile(folder.filePath("setup.exe"), setup));
    LauncherOptions options { folder.filePath("setup.exe"), "1.9-beta", "http://files.example/pub", {}, folder.filePath("www") };
    LauncherPublication refused(options);
    QVERIFY(!refused.prepare());
    QVERIFY(!QFile::exists(options.out));

    options.version = "1.9";
    LauncherPublication publication(options);
    QVERIFY(publication.prepare() && publication.publish(plainKey()));
    // The launcher's own reader and rules take it, for the version text beside it.
    SignedDocumentRules rules;
    rules.trustedKeys = QStringList { testData("plain.pub").split('\n').at(1) };
    rules.address = "http://files.example/launcher/update.json";
    rules.now = QDateTime::currentSecsSinceEpoch();
    const QByteArray descriptor = readFile(options.out + "/launcher/update.json");
    const ReleaseCheck check = checkLauncherRelease(descriptor, readFile(options.out + "/launcher/update.json.minisig"), rules,
                                                    std::nullopt, readFile(options.out + "/LAUNCHER_FILES/ver.txt"), "1.8");
    QVERIFY2(check.ok(), qPrintable(check.refusal));
    QCOMPARE(check.release, LauncherRelease({ "1.9", "http://files.example/pub/launcher/ZanrokLauncherSetup-1.9.exe", setup.size(),
                                              QCryptographicHash::hash(setup, QCryptographicHash::Sha256).toHex() }));
    QCOMPARE(readFile(options.out + "/pub/launcher/ZanrokLauncherSetup-1.9.exe"), setup);
    if (!QStandardPaths::findExecutable("minisign").isEmpty())
        QVERIFY(minisignAccepts(options.out + "/launcher/update.json", "plain.pub"));
}

void PublishTest::checkNamesPlantedFaults_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("named"); // in a problem line; empty: no problem
    QTest::newRow("as published") << "" << "";
    QTest::newRow("a missing file") << "missing" << "SERVER_FILES/a.js: HTTP 404";
    QTest::newRow("a wrong size") << "size" << "the manifest says 6";
    QTest::newRow("a wrong digest, with --full") << "digest" << "does not match the manifest's digest";
    QTest::newRow("a host without ranges") << "no ranges" << "two ranges in one request";
    QTest::newRow("an encoding the launcher keeps") << "br" << "Content-Encoding br";
    QTest::newRow("expired") << "expired" << "expired at";
    QTest::newRow("another key") << "foreign" << "not a trusted key";
    QTest::newRow("signed for another address") << "staging" << "signed for http://staging";
    QTest::newRow("older than the launcher's floor") << "floor" << "older than the launcher's floor";
    QTest::newRow("a version text with a line break") << "version" << "ends in a line break";
}

void PublishTest::checkNamesPlantedFaults()
{
    QFETCH(QString, fault);
    QFETCH(QString, named);
    setRetryBackoffBase(std::chrono::milliseconds(1));
    TestServer server;
    const QByteArray small = "hello\n";
    const QByteArray big = randomBytes(DeltaUpdate::minimumSize + 100, 3);
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const QString manifestUrl = server.baseUrl() + "/files.json";
    QList<ManifestEntry> entries {
        { "SERVER_FILES/a.js", server.baseUrl() + "/a.js", QCryptographicHash::hash(fault == "digest" ? "other\n" : small, QCryptographicHash::Md5).toHex(),
          fault == "size" ? 6 : qint64(small.size()) },
        { "SERVER_FILES/big.bin", server.baseUrl() + "/big.bin", QCryptographicHash::hash(big, QCryptographicHash::Md5).toHex(), big.size() },
    };
    if (fault == "size")
        server.setBody("/a.js", small + "!");
    else if (fault != "missing")
        server.setBody("/a.js", small);
    TestResponse file;
    file.body = big;
    file.ranges = true;
    file.multipleRanges = fault != "no ranges";
    if (fault == "br")
        file.headers.append(qMakePair(QByteArray("Content-Encoding"), QByteArray("br")));
    server.setResponse("/big.bin", file);
    server.setBody("/big.bin.zsync", zsyncSidecar(big));
    const QByteArray manifest = manifestText(entries);
    server.setBody("/files.json", manifest);
    const QString signedFor = fault == "staging" ? "http://staging/files.json" : manifestUrl;
    server.setBody("/files.json.minisig",
                   plainKey().sign(manifest, publicationComment(quint64(now - 60), "files.json", signedFor,
                                                                quint64(fault == "expired" ? now - 1 : now + 86400))));
    server.setBody("/ver.txt", fault == "version" ? "1.8\n" : "1.8");
    server.setBody("/download", "<html></html>");

    PublicationCheck::Options options;
    options.manifestUrl = manifestUrl;
    options.keys = { publicKey(fault == "foreign" ? "protected.pub" : "plain.pub") };
    options.full = fault == "digest";
    if (fault == "floor")
        options.minimumTimestamp = quint64(now);
    options.versionUrl = server.baseUrl() + "/ver.txt";
    options.downloadUrl = server.baseUrl() + "/download";
    PublicationCheck check(options);
    QStringList problems;
    check.onLine([&problems](const QString &line) {
        if (line.startsWith("problem: "))
            problems << line;
    });
    QCOMPARE(check.run(), named.isEmpty());
    if (named.isEmpty())
        QCOMPARE(problems, QStringList());
    else
        QVERIFY2(problems.size() == 1 && problems.first().contains(named), qPrintable(problems.join('\n')));
}

QTEST_GUILESS_MAIN(PublishTest)
#include "tst_publish.moc"
