// The status object: change signals only on change, and the loader thread's
// reports arriving on the GUI thread in the order they were made.
#include "loader/gameloaderstatus.h"

#include <QThread>
#include <QtTest>

// Whether every entry of `seen` appears in `made`, in the same order.
static bool isInOrder(const QStringList &seen, const QStringList &made)
{
    int next = 0;
    for (const QString &entry : seen) {
        next = made.indexOf(entry, next);
        if (next < 0)
            return false;
        ++next;
    }
    return true;
}

class StatusTest : public QObject
{
    Q_OBJECT

private slots:
    void settersEmitOnlyOnChange();
    void reportsFromAnotherThreadArriveInOrderOnTheOwnThread();
    void metaObjectHasOnlyTheThreeSignals();
};

void StatusTest::settersEmitOnlyOnChange()
{
    GameLoaderStatus status;
    QSignalSpy started(&status, &GameLoaderStatus::gameLoadStartedChange);
    QSignalSpy info(&status, &GameLoaderStatus::infoChange);
    QSignalSpy percent(&status, &GameLoaderStatus::loadPercentChange);

    status.setGameLoadStarted(false);
    status.setInfo(QString());
    status.setLoadPercent(0);
    QCOMPARE(started.count() + info.count() + percent.count(), 0);

    status.setGameLoadStarted(true);
    status.setInfo(QStringLiteral("Запускаем..."));
    status.setInfo(QStringLiteral("Запускаем..."));
    status.setLoadPercent(-3);
    status.setLoadPercent(-3);
    QCOMPARE(started.count(), 1);
    QCOMPARE(info.count(), 1);
    QCOMPARE(percent.count(), 1);
    QCOMPARE(status.loadPercent(), -3);

    // The property system writes through the same setters.
    QVERIFY(status.setProperty("info", QStringLiteral("x")));
    QVERIFY(status.setProperty("info", QStringLiteral("x")));
    QCOMPARE(info.count(), 2);
}

void StatusTest::reportsFromAnotherThreadArriveInOrderOnTheOwnThread()
{
    GameLoaderStatus status;
    QStringList seen;
    bool allOnOwnThread = true;
    auto record = [&](const QString &what) {
        allOnOwnThread = allOnOwnThread && QThread::currentThread() == status.thread();
        seen << what;
    };
    connect(&status, &GameLoaderStatus::infoChange, [&] { record(QStringLiteral("info ") + status.info()); });
    connect(&status, &GameLoaderStatus::loadPercentChange,
            [&] { record(QStringLiteral("percent ") + QString::number(status.loadPercent())); });

    QThread worker;
    QObject *context = new QObject;
    context->moveToThread(&worker);
    worker.start();
    QMetaObject::invokeMethod(context, [&status] {
        status.report(QStringLiteral("Поиск RageMP"), 0);
        status.report(QStringLiteral("Получение списка файлов..."), 1);
        status.report(QStringLiteral("Получение списка файлов..."), 1);
        status.report(QStringLiteral("Проверка файлов сервера"), 10);
    });
    // Reports faster than the GUI thread takes them in may merge; what it
    // shows follows the run's order and ends on the last report.
    const QStringList made { "info Поиск RageMP", "info Получение списка файлов...", "percent 1",
                             "info Проверка файлов сервера", "percent 10" };
    QTRY_COMPARE(status.info(), QStringLiteral("Проверка файлов сервера"));
    QCOMPARE(status.loadPercent(), 10);
    QVERIFY2(isInOrder(seen, made), qPrintable(seen.join(QLatin1String(" | "))));
    QVERIFY(allOnOwnThread);
    context->deleteLater();
    worker.quit();
    worker.wait();
}

void StatusTest::metaObjectHasOnlyTheThreeSignals()
{
    const QMetaObject &meta = GameLoaderStatus::staticMetaObject;
    QCOMPARE(meta.methodCount() - meta.methodOffset(), 3);
    QCOMPARE(meta.propertyCount() - meta.propertyOffset(), 3);
    QCOMPARE(QByteArray(meta.property(meta.propertyOffset() + 1).notifySignal().name()),
             QByteArray("infoChange"));
}

QTEST_GUILESS_MAIN(StatusTest)
#include "tst_status.moc"
