// The blocking fetch: always returns a finished reply, bounded in time, and
// ends when its thread is told to quit.
#include "feeds/blockingget.h"
#include "testserver.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QThread>
#include <QtTest>

#include <memory>

namespace {

struct FetchContext
{
    QEventLoop loop;
    QNetworkAccessManager manager;
    FetchContext() { QObject::connect(&manager, SIGNAL(finished(QNetworkReply *)), &loop, SLOT(quit())); }
    QNetworkReply *get(const QUrl &url) { return blockingGet(manager, loop, QNetworkRequest(url)); }
};

} // namespace

class BlockingGetTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { setFetchInactivityTimeout(std::chrono::milliseconds(300)); }
    void cleanup() { setFetchInactivityTimeout(std::chrono::seconds(30)); }

    void returnsTheFinishedReply();
    void faultsEndAsErrors_data();
    void faultsEndAsErrors();
    void quittingTheThreadEndsTheWait();
    void verificationFollowsTheRequest();
};

void BlockingGetTest::returnsTheFinishedReply()
{
    TestServer server;
    server.setBody("/a", "first");
    server.setBody("/b", "second");
    FetchContext fetch;
    QNetworkReply *a = fetch.get(server.url("/a"));
    QNetworkReply *b = fetch.get(server.url("/b"));
    QVERIFY(a->isFinished() && b->isFinished());
    QCOMPARE(a->error(), QNetworkReply::NoError);
    QCOMPARE(a->readAll(), QByteArray("first"));
    QCOMPARE(b->readAll(), QByteArray("second"));
    QCOMPARE(server.connectionCount(), 1); // kept alive between fetches
}

void BlockingGetTest::faultsEndAsErrors_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("expected");
    QTest::newRow("404") << 404 << int(TestResponse::Fault::None) << int(QNetworkReply::ContentNotFoundError);
    QTest::newRow("500") << 500 << int(TestResponse::Fault::None)
                         << int(QNetworkReply::InternalServerError);
    QTest::newRow("no answer") << 200 << int(TestResponse::Fault::StallBeforeHeaders)
                               << int(QNetworkReply::OperationCanceledError);
    QTest::newRow("stalls mid-body") << 200 << int(TestResponse::Fault::StallMidBody)
                                     << int(QNetworkReply::OperationCanceledError);
    QTest::newRow("cut mid-body") << 200 << int(TestResponse::Fault::CutMidBody)
                                  << int(QNetworkReply::RemoteHostClosedError);
}

void BlockingGetTest::faultsEndAsErrors()
{
    QFETCH(int, status);
    QFETCH(int, fault);
    QFETCH(int, expected);
    TestServer server;
    TestResponse response;
    response.status = status;
    response.body = QByteArray(64 * 1024, 'x');
    response.fault = TestResponse::Fault(fault);
    server.setResponse("/x", response);

    FetchContext fetch;
    QNetworkReply *reply = fetch.get(server.url("/x"));
    QVERIFY(reply->isFinished());
    // Qt does not always report a connection closed in mid-body (about one
    // run in twenty here); the body is then short, which its readers check.
    if (fault == int(TestResponse::Fault::CutMidBody) && reply->error() == QNetworkReply::NoError)
        QVERIFY(reply->readAll().size() < response.body.size());
    else
        QCOMPARE(int(reply->error()), expected);
}

void BlockingGetTest::quittingTheThreadEndsTheWait()
{
    setFetchInactivityTimeout(std::chrono::seconds(30));
    TestServer server;
    TestResponse stall;
    stall.fault = TestResponse::Fault::StallBeforeHeaders;
    server.setResponse("/stall", stall);

    QThread thread;
    QObject worker;
    worker.moveToThread(&thread);
    bool finished = false;
    int error = -1;
    QMetaObject::invokeMethod(&worker, [&] {
        FetchContext fetch;
        QNetworkReply *reply = fetch.get(server.url("/stall"));
        finished = reply->isFinished();
        error = reply->error();
        worker.moveToThread(QCoreApplication::instance()->thread());
    });
    thread.start();
    QTRY_COMPARE(server.requestCount("/stall"), 1);
    thread.quit();
    QVERIFY(thread.wait(10000));
    QVERIFY(finished);
    QCOMPARE(error, int(QNetworkReply::OperationCanceledError));
}

void BlockingGetTest::verificationFollowsTheRequest()
{
    TestServer server(TestServer::selfSignedCertificate(), TestServer::selfSignedKey());
    server.setBody("/api/news", "news");
    server.setBody("/api/stats", "stats");

    FetchContext fetch;
    QNetworkRequest relaxed(server.url("/api/news"));
    QSslConfiguration config = relaxed.sslConfiguration();
    config.setPeerVerifyMode(QSslSocket::VerifyNone);
    config.setProtocol(QSsl::TlsV1_2);
    relaxed.setSslConfiguration(config);
    QNetworkReply *news = blockingGet(fetch.manager, fetch.loop, relaxed);
    QCOMPARE(news->error(), QNetworkReply::NoError);

    fetch.manager.clearConnectionCache();
    QNetworkReply *stats = fetch.get(server.url("/api/stats"));
    QCOMPARE(stats->error(), QNetworkReply::SslHandshakeFailedError);
}

QTEST_GUILESS_MAIN(BlockingGetTest)
#include "tst_blockingget.moc"
