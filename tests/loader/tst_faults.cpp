// Whole loader runs under faults the other loader tests do not reach: a host
// that is not there, a RageMP folder that is read-only, a disk that fills up
// mid-download, memory that runs out in a delta update. The folder faults use a small tmpfs mounted over the folder
// when the test may mount (root); a read-only folder falls back to its
// permission bits otherwise, and a full disk is skipped.
#include "loaderharness.h"

#include "delta/faultpoint.h"
#include "loader/gameloaderstatus.h"
#include "loader/gameloaderworker.h"
#include "platform/ragempsettings.h"

#include <QCryptographicHash>
#include <QJsonObject>
#include <QProcess>
#include <QScopeGuard>
#include <QStorageInfo>
#include <QTcpServer>
#include <QtTest>

#include <unistd.h>

Q_DECLARE_METATYPE(DeltaStep)

namespace {

const char ashford[] = "ashford.zanrok.net_22005";

// A tmpfs over `folder` for the life of the object.
class SmallDisk
{
public:
    SmallDisk(const QString &folder, const QString &size) : m_folder(folder)
    {
        QDir().mkpath(folder);
        m_mounted = geteuid() == 0
                && QProcess::execute("mount", { "-t", "tmpfs", "-o", "size=" + size, "tmpfs", folder }) == 0;
    }
    ~SmallDisk()
    {
        if (m_mounted)
            QProcess::execute("umount", { "-l", m_folder });
    }
    bool mounted() const { return m_mounted; }
    bool makeReadOnly()
    {
        return QProcess::execute("mount", { "-o", "remount,ro", m_folder }) == 0;
    }

private:
    QString m_folder;
    bool m_mounted = false;
};

// RageMP as found at `folder`: its client and a stored rage_path.
void installAt(LoaderHarness &h, const QString &folder)
{
    const QString exe = folder + "/ragemp_v.exe";
    LoaderHarness::writeFile(exe, "#!/bin/sh\nexit 0\n");
    QFile::setPermissions(exe, QFile::permissions(exe) | QFile::ExeOwner);
    h.setSetting(RageMpSettings::ragePathKey(), folder);
}

// An address on which nothing listens.
QString closedPortUrl(const QString &path)
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    const quint16 port = probe.serverPort();
    probe.close();
    return QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path);
}

} // namespace

class FaultsTest : public QObject
{
    Q_OBJECT

private slots:
    void manifestHostDown();
    void fileHostDown();
    void readOnlyFolder();
    void diskFullMidDownload_data();
    void diskFullMidDownload();
    void largeBodyIsHashedWhole_data();
    void largeBodyIsHashedWhole();
    void deltaOutOfMemoryFallsBackToAWholeDownload_data();
    void deltaOutOfMemoryFallsBackToAWholeDownload();
    void schedulerOutOfMemoryEndsTheRun();
};

void FaultsTest::manifestHostDown()
{
    LoaderHarness h; // for HOME and XDG_CONFIG_HOME only
    GameLoaderStatus status;
    QStringList messages;
    GameLoaderWorker worker(closedPortUrl("/files.json"),
                            [&messages](const QString &text) { messages << text; });
    QSignalSpy results(&worker, &GameLoaderWorker::resultReady);
    worker.loadGame(&status);

    QCOMPARE(results.size(), 1);
    QCOMPARE(results.at(0).at(0).toBool(), false);
    QCOMPARE(results.at(0).at(1).toString(), QString("Ошибка запроса файлов."));
    QCOMPARE(messages, QStringList());
}

void FaultsTest::fileHostDown()
{
    LoaderHarness h;
    const QString rage = h.preinstall();
    QJsonObject entry = h.publish("SERVER_FILES/a.txt", "/a", "a");
    entry["url"] = closedPortUrl("/a");
    h.setManifest({ entry });

    QVERIFY(h.run());
    QVERIFY(!h.result);
    QCOMPARE(h.errorInfo, QString("Ошибка загрузки файла:a.txt"));
    // The player sees the transport's own words once.
    QCOMPARE(h.messages().size(), 1);
    QVERIFY2(h.messages().at(0).contains("refused", Qt::CaseInsensitive), qPrintable(h.messages().at(0)));
    QCOMPARE(LoaderHarness::filesUnder(h.serverFolder(ashford)), QStringList());
    QVERIFY(h.launchLog(rage).isEmpty());
}

void FaultsTest::readOnlyFolder()
{
    LoaderHarness h;
    const QString rage = h.installFolder();
    SmallDisk disk(rage, "4m");
    installAt(h, rage);
    const QString folder = h.serverFolder(ashford);
    QDir().mkpath(folder);
    LoaderHarness::writeFile(folder + "/current.txt", "current");
    LoaderHarness::writeFile(folder + "/stale.txt", "earlier");
    if (disk.mounted()) {
        QVERIFY(disk.makeReadOnly());
    } else {
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner);
        if (QFileInfo(folder).isWritable())
            QSKIP("cannot make a folder read-only here");
    }
    const QJsonObject current = h.publish("SERVER_FILES/current.txt", "/current", "current");
    const QJsonObject stale = h.publish("SERVER_FILES/stale.txt", "/stale", "fresh");

    // Up-to-date files only need reading: the run succeeds.
    h.setManifest({ current });
    QVERIFY(h.run());
    QVERIFY2(h.result, qPrintable(h.errorInfo));

    // A file to replace cannot be opened for writing: the run stops there,
    // without fetching it, and the earlier file stays.
    h.setManifest({ current, stale });
    QVERIFY(h.run());
    QVERIFY(!h.result);
    QCOMPARE(h.errorInfo, QString("Ошибка создание файла:stale.txt"));
    QCOMPARE(h.server.requestCount("/stale"), 0);
    QCOMPARE(h.messages(), QStringList());
    QCOMPARE(LoaderHarness::readFile(folder + "/stale.txt"), QByteArray("earlier"));
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

void FaultsTest::diskFullMidDownload_data()
{
    QTest::addColumn<bool>("earlierFile");
    QTest::newRow("over an earlier file") << true;
    QTest::newRow("into no file") << false;
}

void FaultsTest::diskFullMidDownload()
{
    QFETCH(bool, earlierFile);
    LoaderHarness h;
    const QString rage = h.installFolder();
    SmallDisk disk(rage, "1m");
    if (!disk.mounted())
        QSKIP("mounting a small tmpfs needs root; the disk-full case is not run");
    installAt(h, rage);
    const QString folder = h.serverFolder(ashford);
    QDir().mkpath(folder + "/maps");
    if (earlierFile)
        LoaderHarness::writeFile(folder + "/maps/city.bin", "earlier");
    const qint64 freeBefore = QStorageInfo(rage).bytesAvailable();

    // Three times what the disk holds; small files before it still fit. Its
    // size unknown (a build without a key), nothing foresees that.
    const QByteArray content(3 * 1024 * 1024, 'c');
    QJsonObject city = h.publish("SERVER_FILES/maps/city.bin", "/city", content);
    city.remove("size");
    h.setManifest({ h.publish("SERVER_FILES/a.txt", "/a", "a"), city });

    QVERIFY(h.run());
    QVERIFY(!h.result);
    QCOMPARE(h.errorInfo, QString("Ошибка загрузки файла:maps/city.bin"));
    QCOMPARE(h.messages(), QStringList());
    // Nothing half-written stays behind, and the space is given back.
    QCOMPARE(LoaderHarness::filesUnder(folder),
             earlierFile ? QStringList({ "a.txt", "maps/city.bin" }) : QStringList({ "a.txt" }));
    if (earlierFile)
        QCOMPARE(LoaderHarness::readFile(folder + "/maps/city.bin"), QByteArray("earlier"));
    QStorageInfo after(rage);
    after.refresh();
    QVERIFY2(after.bytesAvailable() >= freeBefore - 64 * 1024,
             qPrintable(QString::number(after.bytesAvailable()) + " < " + QString::number(freeBefore)));
    QCOMPARE(h.settingsValue(RageMpSettings::launchIpKey()), QString("<absent>"));
}

void FaultsTest::largeBodyIsHashedWhole_data()
{
    QTest::addColumn<bool>("rightDigest");
    QTest::newRow("matching digest") << true;
    QTest::newRow("one byte differs") << false;
}

// A body of many MiB is hashed on a thread of its own while it arrives, with
// the receiving held back while the hashing lags: the digest must still be
// that of every byte, in order.
void FaultsTest::largeBodyIsHashedWhole()
{
    QFETCH(bool, rightDigest);
    LoaderHarness h;
    h.preinstall();
    QByteArray content(24 * 1024 * 1024, Qt::Uninitialized);
    for (int i = 0; i < content.size(); ++i)
        content[i] = char((qint64(i) * 2654435761u) >> 13);
    QByteArray published = content;
    if (!rightDigest)
        published[published.size() / 2] = char(published[published.size() / 2] + 1);
    const QString digest = QString::fromLatin1(
            QCryptographicHash::hash(published, QCryptographicHash::Md5).toHex());
    h.setManifest({ h.publish("SERVER_FILES/big.bin", "/big", content, digest) });

    QVERIFY(h.run());
    const QString folder = h.serverFolder(ashford);
    if (rightDigest) {
        QVERIFY2(h.result, qPrintable(h.errorInfo));
        QVERIFY(LoaderHarness::readFile(folder + "/big.bin") == content);
    } else {
        QVERIFY(!h.result);
        QCOMPARE(h.errorInfo, QString("Ошибка загрузки файла:big.bin"));
        QCOMPARE(LoaderHarness::filesUnder(folder), QStringList());
    }
}

void FaultsTest::deltaOutOfMemoryFallsBackToAWholeDownload_data()
{
    QTest::addColumn<DeltaStep>("step");
    QTest::newRow("reading the sidecar") << DeltaStep::ReadSidecar;
    QTest::newRow("building the index") << DeltaStep::BuildIndex;
    QTest::newRow("scanning the old copy") << DeltaStep::ScanOldCopy;
    QTest::newRow("assembling") << DeltaStep::Assemble;
}

// Memory that runs out on the way of a delta update, on the loader's thread
// or on one the delta started, ends that update only: the file then comes
// whole, as after any other failed delta.
void FaultsTest::deltaOutOfMemoryFallsBackToAWholeDownload()
{
    QFETCH(DeltaStep, step);
    LoaderHarness h;
    h.preinstall();
    const QByteArray old = randomBytes(6 * 1024 * 1024, 7);
    QByteArray content = old;
    content.replace(3 * 1024 * 1024 + 99, 40000, randomBytes(40000, 8));
    const QString folder = h.serverFolder(ashford);
    QDir().mkpath(folder + "/maps");
    LoaderHarness::writeFile(folder + "/maps/big.bin", old);
    h.setManifest({ h.publish("SERVER_FILES/maps/big.bin", "/big", content) });
    TestResponse answer;
    answer.body = content;
    answer.ranges = true;
    answer.headers = { { "ETag", "\"v2\"" } };
    h.server.setResponse("/big", answer);
    const QByteArray sidecar = zsyncSidecar(content);
    QVERIFY(!sidecar.isEmpty());
    h.server.setBody("/big.zsync", sidecar);

    setFailingDeltaStep(step);
    const auto reset = qScopeGuard([] { setFailingDeltaStep(DeltaStep::None); });
    QVERIFY(h.run());
    QVERIFY2(h.result, qPrintable(h.errorInfo));
    QVERIFY(LoaderHarness::readFile(folder + "/maps/big.bin") == content);
    QCOMPARE(LoaderHarness::filesUnder(folder), QStringList({ "maps/big.bin" }));
    QCOMPARE(h.server.requestCount("/big.zsync"), 1);
    bool wholeAsked = false;
    for (const TestRequest &request : h.server.requests())
        wholeAsked = wholeAsked || (request.path == "/big" && !request.headers.contains("range"));
    QVERIFY(wholeAsked);
}

// Memory that runs out in the loader's scheduler, between files, ends the
// run as a failed download of the file at hand; the next run is whole.
void FaultsTest::schedulerOutOfMemoryEndsTheRun()
{
    LoaderHarness h;
    const QString rage = h.preinstall();
    h.setManifest({ h.publish("SERVER_FILES/a.txt", "/a", "a"), h.publish("SERVER_FILES/b.txt", "/b", "b") });
    const QString folder = h.serverFolder(ashford);

    {
        setFailingDeltaStep(DeltaStep::Schedule);
        const auto reset = qScopeGuard([] { setFailingDeltaStep(DeltaStep::None); });
        QVERIFY(h.run());
    }
    QVERIFY(!h.result);
    QCOMPARE(h.errorInfo, QString("Ошибка загрузки файла:a.txt"));
    QCOMPARE(LoaderHarness::filesUnder(folder), QStringList());
    QVERIFY(h.launchLog(rage).isEmpty());

    QVERIFY(h.run());
    QVERIFY2(h.result, qPrintable(h.errorInfo));
    QCOMPARE(LoaderHarness::filesUnder(folder), QStringList({ "a.txt", "b.txt" }));
}

QTEST_MAIN(FaultsTest)
#include "tst_faults.moc"
