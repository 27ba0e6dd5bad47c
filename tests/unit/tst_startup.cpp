// The ways the launcher's start-up ends, seen from outside the process.
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class StartupTest : public QObject
{
    Q_OBJECT

private slots:
    void endsCleanly_data();
    void endsCleanly();
    void diagnosticsOnlyWhenAsked();

private:
    struct Run
    {
        QStringList lines; // standard output
        QString err;
    };
    // Runs the probe with a home and temporary folder of its own (so the
    // one-launcher lock and socket are its own) and checks that it ended by
    // itself with status 0.
    void runProbe(Run &run, const QString &scenario, const QString &loggingRules = {});
};

void StartupTest::runProbe(Run &run, const QString &scenario, const QString &loggingRules)
{
    QTemporaryDir home;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path() + QStringLiteral("/.config"));
    env.insert(QStringLiteral("TMPDIR"), home.path());
    env.remove(QStringLiteral("QT_LOGGING_RULES"));
    if (!loggingRules.isEmpty())
        env.insert(QStringLiteral("QT_LOGGING_RULES"), loggingRules);

    QProcess probe;
    probe.setProcessEnvironment(env);
    probe.start(QStringLiteral(STARTUP_PROBE), { scenario });
    QVERIFY(probe.waitForStarted());
    QVERIFY2(probe.waitForFinished(60000), "the launcher did not end");
    run.err = QString::fromUtf8(probe.readAllStandardError());
    run.lines = QString::fromUtf8(probe.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(probe.exitStatus(), QProcess::NormalExit);
    QVERIFY2(probe.exitCode() == 0, qPrintable(QStringLiteral("exit code %1\n%2").arg(probe.exitCode()).arg(run.err)));
    QVERIFY2(!run.err.contains(QLatin1String("Destroyed while thread")), qPrintable(run.err));
}

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
    QTest::newRow("play, then the window closed while the version host stalls")
            << "close-during-startup" << QStringList { QStringLiteral("PLAY"), QStringLiteral("RETURNED") }
            << true;
    QTest::newRow("scene missing") << "scene-missing" << QStringList { QStringLiteral("RETURNED") } << true;
}

void StartupTest::endsCleanly()
{
    QFETCH(QString, scenario);
    QFETCH(QStringList, expectedLines);
    QFETCH(bool, started);

    Run run;
    runProbe(run, scenario);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(run.lines.contains(QStringLiteral("STARTED")), started);
    QStringList shown = run.lines.filter(QRegularExpression(QStringLiteral("^(MESSAGE|PLAY|RETURNED)")));
    QCOMPARE(shown, expectedLines);
}

void StartupTest::diagnosticsOnlyWhenAsked()
{
    const QRegularExpression ours(QStringLiteral("^zanrok\\.\\w+: .*$"), QRegularExpression::MultilineOption);
    Run silent;
    runProbe(silent, QStringLiteral("exit-idle"));
    QVERIFY2(!silent.err.contains(ours), qPrintable(silent.err));

    Run logged;
    runProbe(logged, QStringLiteral("exit-idle"), QStringLiteral("zanrok.*=true"));
    if (QTest::currentTestFailed())
        return;
    QStringList lines;
    for (auto it = ours.globalMatch(logged.err); it.hasNext();)
        lines << it.next().captured();
    // The start-up steps from the first to the last, and each request with
    // its outcome and time.
    const QStringList steps = lines.filter(QRegularExpression(QStringLiteral("^zanrok.startup: ")));
    QVERIFY2(!steps.isEmpty(), qPrintable(logged.err));
    QCOMPARE(steps.first(), QStringLiteral("zanrok.startup: status object created"));
    QCOMPARE(steps.last(), QStringLiteral("zanrok.startup: start-up complete"));
    QVERIFY2(steps.contains(QStringLiteral("zanrok.startup: scene loaded")), qPrintable(lines.join(QLatin1Char('\n'))));
    const QStringList requests = lines.filter(QRegularExpression(QStringLiteral("^zanrok.net: ")));
    QCOMPARE(requests.size(), 3);
    QVERIFY2(QRegularExpression(QStringLiteral("^zanrok.net: GET https://127.0.0.1:\\d+/api/news -> HTTP 200 in \\d+ ms$"))
                     .match(requests.first()).hasMatch(),
             qPrintable(requests.first()));
}

QTEST_GUILESS_MAIN(StartupTest)
#include "tst_startup.moc"
