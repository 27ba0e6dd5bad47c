// The ways the launcher's start-up ends, seen from outside the process.
#include <QProcess>
#include <QtTest>

class StartupTest : public QObject
{
    Q_OBJECT

private slots:
    void endsCleanly_data();
    void endsCleanly();
};

void StartupTest::endsCleanly_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QStringList>("expectedLines");
    QTest::addColumn<bool>("started");

    const QString failed = QStringLiteral("MESSAGE Ошибка получения данных.");
    QTest::newRow("news host down: message with no window")
            << "news-down" << QStringList { failed + " WINDOWS 0" } << false;
    QTest::newRow("news host stalls: bounded, same failure")
            << "news-stall" << QStringList { failed + " WINDOWS 0" } << false;
    QTest::newRow("statistics answer 500: message over the window")
            << "stats-500" << QStringList { failed + " WINDOWS 1" } << false;
    QTest::newRow("statistics over a connection the news fetch left unverified")
            << "stats-untrusted" << QStringList { failed + " WINDOWS 1" } << false;
    QTest::newRow("play during the statistics fetch, then it fails")
            << "play-then-stats-fail" << QStringList { QStringLiteral("PLAY"), failed + " WINDOWS 1" }
            << false;
    QTest::newRow("version host stalls: silent") << "version-stall" << QStringList() << true;
    QTest::newRow("exit button while idle") << "exit-idle" << QStringList() << true;
    QTest::newRow("window closed during a load")
            << "close-during-load" << QStringList { QStringLiteral("RETURNED") } << true;
}

void StartupTest::endsCleanly()
{
    QFETCH(QString, scenario);
    QFETCH(QStringList, expectedLines);
    QFETCH(bool, started);

    QProcess probe;
    probe.start(QStringLiteral(STARTUP_PROBE), { scenario });
    QVERIFY(probe.waitForStarted());
    QVERIFY2(probe.waitForFinished(60000), "the launcher did not end");

    const QString err = QString::fromUtf8(probe.readAllStandardError());
    const QStringList lines = QString::fromUtf8(probe.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(probe.exitStatus(), QProcess::NormalExit);
    QVERIFY2(probe.exitCode() == 0, qPrintable(QStringLiteral("exit code %1\n%2").arg(probe.exitCode()).arg(err)));
    QVERIFY2(!err.contains(QLatin1String("Destroyed while thread")), qPrintable(err));

    QCOMPARE(lines.contains(QStringLiteral("STARTED")), started);
    QStringList shown = lines.filter(QRegularExpression(QStringLiteral("^(MESSAGE|PLAY|RETURNED)")));
    QCOMPARE(shown, expectedLines);
}

QTEST_GUILESS_MAIN(StartupTest)
#include "tst_startup.moc"
