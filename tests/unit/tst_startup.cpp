// The ways the launcher's start-up ends, seen from outside the process.
#include <QCryptographicHash>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

class StartupTest : public QObject
{
    Q_OBJECT

private slots:
    void endsCleanly_data();
    void endsCleanly();
    void diagnosticsOnlyWhenAsked();
    void oneLauncherAtATime_data();
    void oneLauncherAtATime();

private:
    struct Run
    {
        QStringList lines; // standard output
        QString err;
    };
    // Runs the probe with a home, temporary and runtime folder of its own (so
    // the one-launcher lock and socket are its own, unless `home` is given)
    // and checks that it ended by itself with status 0.
    void runProbe(Run &run, const QString &scenario, const QString &loggingRules = {},
                  const QString &home = {});
    static QProcessEnvironment probeEnvironment(const QString &home);
};

QProcessEnvironment StartupTest::probeEnvironment(const QString &home)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
    env.insert(QStringLiteral("TMPDIR"), home + QStringLiteral("/tmp"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home + QStringLiteral("/runtime"));
    env.remove(QStringLiteral("QT_LOGGING_RULES"));
    QDir(home).mkpath(QStringLiteral("tmp"));
    QDir(home).mkpath(QStringLiteral("runtime"));
    QFile::setPermissions(home + QStringLiteral("/runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return env;
}

void StartupTest::runProbe(Run &run, const QString &scenario, const QString &loggingRules, const QString &home)
{
    QTemporaryDir ownHome;
    QProcessEnvironment env = probeEnvironment(home.isEmpty() ? ownHome.path() : home);
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
    QTest::newRow("window closed while the statistics host stalls: no message")
            << "close-during-stats" << QStringList { QStringLiteral("RETURNED") } << true;
    QTest::newRow("window closed while the version host stalls for good")
            << "close-during-version" << QStringList { QStringLiteral("RETURNED") } << true;
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

// What is in the way of a start, and whether the launcher comes up past it.
enum class LockSetup {
    PlantedInTemp,   // another user was first with the names in the shared temporary folder
    KilledHolder,    // a launcher killed outright left its lock behind
    EmptyLock,       // a launcher that crashed while writing its lock left it empty
    StoppedHolder,   // a launcher holds the lock but cannot answer
};
Q_DECLARE_METATYPE(LockSetup)

void StartupTest::oneLauncherAtATime_data()
{
    QTest::addColumn<LockSetup>("setup");
    QTest::addColumn<QStringList>("expectedLines");
    QTest::addColumn<bool>("started");

    QTest::newRow("lock and socket names planted in the shared temporary folder")
            << LockSetup::PlantedInTemp << QStringList() << true;
    QTest::newRow("lock of a launcher killed outright: taken over")
            << LockSetup::KilledHolder << QStringList() << true;
    QTest::newRow("empty lock left by a crash: taken over")
            << LockSetup::EmptyLock << QStringList() << true;
    QTest::newRow("lock held by a launcher that does not answer: said so")
            << LockSetup::StoppedHolder
            << QStringList { QStringLiteral("MESSAGE Лаунчер уже запущен, но не отвечает. WINDOWS 0") } << false;
}

void StartupTest::oneLauncherAtATime()
{
    QFETCH(LockSetup, setup);
    QFETCH(QStringList, expectedLines);
    QFETCH(bool, started);

    QTemporaryDir home;
    const QString name = QStringLiteral("zanrok-launcher-")
            + QString::fromLatin1(QCryptographicHash::hash(home.path().toUtf8(), QCryptographicHash::Sha1).toHex().left(16));
    QProcess holder;
    if (setup == LockSetup::PlantedInTemp) {
        // A lock naming nobody and a plain file where the socket would be.
        const QDir temp(probeEnvironment(home.path()).value(QStringLiteral("TMPDIR")));
        QFile lock(temp.filePath(name + QStringLiteral(".lock")));
        QVERIFY(lock.open(QIODevice::WriteOnly));
        lock.write("planted\n");
        lock.close();
        QFile socket(temp.filePath(name));
        QVERIFY(socket.open(QIODevice::WriteOnly));
    } else if (setup == LockSetup::EmptyLock) {
        const QDir runtime(probeEnvironment(home.path()).value(QStringLiteral("XDG_RUNTIME_DIR")));
        QFile lock(runtime.filePath(name + QStringLiteral(".lock")));
        QVERIFY(lock.open(QIODevice::WriteOnly));
    } else {
        holder.setProcessEnvironment(probeEnvironment(home.path()));
        holder.start(QStringLiteral(STARTUP_PROBE), { QStringLiteral("hold") });
        QVERIFY(holder.waitForStarted());
        // It holds the lock once its start-up has begun.
        while (!holder.readAllStandardOutput().contains("STARTED"))
            QVERIFY2(holder.waitForReadyRead(30000), "the first launcher did not start");
        if (setup == LockSetup::KilledHolder) {
            holder.kill();
            QVERIFY(holder.waitForFinished());
        } else {
            ::kill(pid_t(holder.processId()), SIGSTOP);
        }
    }

    Run run;
    runProbe(run, QStringLiteral("exit-idle"), {}, home.path());
    if (holder.state() != QProcess::NotRunning) {
        ::kill(pid_t(holder.processId()), SIGCONT);
        holder.kill();
        holder.waitForFinished();
    }
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(run.lines.contains(QStringLiteral("STARTED")), started);
    QCOMPARE(run.lines.filter(QRegularExpression(QStringLiteral("^MESSAGE"))), expectedLines);
}

QTEST_GUILESS_MAIN(StartupTest)
#include "tst_startup.moc"
