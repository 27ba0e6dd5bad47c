// The readers of the start-up feeds: news, online statistics, version text.
#include "feeds/newsfeed.h"
#include "feeds/onlinestats.h"
#include "feeds/versioncheck.h"

#include <QtTest>

#include <limits>

namespace {

const QString prefix = QStringLiteral("https://site.test/news/");

QStringList names(const ContextProperties &properties)
{
    QStringList out;
    for (const auto &p : properties)
        out << p.first;
    return out;
}

QByteArray statsWith(const QString &key, const QByteArray &online)
{
    return "{\"" + key.toUtf8() + "\":{\"online\":" + online + "}}";
}

} // namespace

class FeedsTest : public QObject
{
    Q_OBJECT

private slots:
    void newsItemsArePublishedInFeedOrder();
    void newsOfOtherShapesPublishNothing_data();
    void newsOfOtherShapesPublishNothing();
    void malformedNewsItemsStillPublishTheirTriple();
    void newsAliasIsAppendedUnchanged();

    void onlineCountsAndTheirSum();
    void onlineFallbacks_data();
    void onlineFallbacks();
    void onlineTotalNeverOverflows();

    void versionIsComparedWhole_data();
    void versionIsComparedWhole();
};

void FeedsTest::newsItemsArePublishedInFeedOrder()
{
    QByteArray body = R"({"items":{"data":[)";
    for (int i = 0; i < 12; ++i)
        body += (i ? "," : "") + QStringLiteral(R"({"title":"Заголовок %1","little_text":"Текст %1","alias":"a%1","extra":1})").arg(i).toUtf8();
    body += "]}}";

    const QVector<NewsItem> items = parseNews(body, prefix);
    QCOMPARE(items.size(), 12);
    QCOMPARE(items[0].title, QStringLiteral("Заголовок 0"));
    QCOMPARE(items[11].text, QStringLiteral("Текст 11"));
    QCOMPARE(items[11].url, prefix + QStringLiteral("a11"));

    const ContextProperties properties = newsProperties(items);
    QCOMPARE(properties.size(), 36);
    QCOMPARE(names(properties).mid(0, 6),
             QStringList({ "newsTitle0", "newsText0", "newsUrl0", "newsTitle1", "newsText1", "newsUrl1" }));
    QCOMPARE(properties[30].first, QStringLiteral("newsTitle10"));
    QCOMPARE(properties[32].second.toString(), prefix + QStringLiteral("a10"));
}

void FeedsTest::newsOfOtherShapesPublishNothing_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("empty body") << QByteArray();
    QTest::newRow("not JSON") << QByteArray("<html>oops</html>");
    QTest::newRow("root is an array") << QByteArray(R"([{"title":"x"}])");
    QTest::newRow("items missing") << QByteArray(R"({"data":[{"title":"x"}]})");
    QTest::newRow("items is an array") << QByteArray(R"({"items":[{"title":"x"}]})");
    QTest::newRow("data is an object") << QByteArray(R"({"items":{"data":{"title":"x"}}})");
    QTest::newRow("data is empty") << QByteArray(R"({"items":{"data":[]}})");
    QTest::newRow("truncated") << QByteArray(R"({"items":{"data":[{"title":"x"})");
}

void FeedsTest::newsOfOtherShapesPublishNothing()
{
    QFETCH(QByteArray, body);
    QVERIFY(newsProperties(parseNews(body, prefix)).isEmpty());
}

void FeedsTest::malformedNewsItemsStillPublishTheirTriple()
{
    const auto items = parseNews(R"({"items":{"data":[42,{"title":7,"little_text":null,"alias":["x"]},{"title":"ok"}]}})", prefix);
    QCOMPARE(items.size(), 3);
    for (int i = 0; i < 2; ++i) {
        QCOMPARE(items[i].title, QString());
        QCOMPARE(items[i].text, QString());
        QCOMPARE(items[i].url, prefix);
    }
    QCOMPARE(items[2].title, QStringLiteral("ok"));
    QCOMPARE(newsProperties(items).size(), 9);
}

void FeedsTest::newsAliasIsAppendedUnchanged()
{
    const auto items = parseNews(R"({"items":{"data":[{"alias":"обновление 2.0?a=1&b=#x"}]}})", prefix);
    QCOMPARE(items[0].url, prefix + QStringLiteral("обновление 2.0?a=1&b=#x"));
}

void FeedsTest::onlineCountsAndTheirSum()
{
    const QByteArray body = R"({"Ashford":{"online":1},"BlueRidge":{"online":2},"CedarFalls":{"online":3},
        "DarkWater":{"online":4},"EastGate":{"online":5},"Fairhaven":{"online":6},"Greystone":{"online":7},
        "Hightower":{"online":8},"Ironwood":{"online":9},"JadePoint":{"online":0},"Other":{"online":1000}})";
    const OnlineCounts counts = parseOnline(body);
    QCOMPARE(counts.total, 45);
    QCOMPARE(counts.servers, (std::array<int, 10> { 1, 2, 3, 4, 5, 6, 7, 8, 9, 0 }));

    const ContextProperties properties = onlineProperties(counts);
    QCOMPARE(names(properties),
             QStringList({ "online", "online1", "online2", "online3", "online4", "online5", "online6",
                           "online7", "online8", "online9", "online10" }));
    QCOMPARE(properties[0].second, QVariant(45));
    QCOMPARE(properties[9].second, QVariant(9));
    QCOMPARE(properties[10].second, QVariant(0));
}

void FeedsTest::onlineFallbacks_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("server");
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("total");

    // Every other server is missing too, so the total is 9 × 999 + value.
    QTest::newRow("empty body") << QByteArray() << 0 << 999 << 9990;
    QTest::newRow("not an object") << QByteArray("[1,2]") << 4 << 999 << 9990;
    QTest::newRow("entry 7 keyed HighTower") << statsWith("HighTower", "12") << 7 << 999 << 9990;
    QTest::newRow("entry 7 keyed Hightower") << statsWith("Hightower", "12") << 7 << 12 << 9003;
    QTest::newRow("count as a string") << statsWith("EastGate", "\"12\"") << 4 << 999 << 9990;
    QTest::newRow("count of zero") << statsWith("Ashford", "0") << 0 << 0 << 8991;
    QTest::newRow("fractional count") << statsWith("Ashford", "1.5") << 0 << 999 << 9990;
    QTest::newRow("negative count") << statsWith("JadePoint", "-5") << 9 << -5 << 8986;
    QTest::newRow("count beyond int") << statsWith("Ashford", "3000000000") << 0 << 999 << 9990;
    QTest::newRow("server not an object") << QByteArray(R"({"Ashford":5})") << 0 << 999 << 9990;
}

void FeedsTest::onlineFallbacks()
{
    QFETCH(QByteArray, body);
    QFETCH(int, server);
    QFETCH(int, value);
    QFETCH(int, total);
    const OnlineCounts counts = parseOnline(body);
    QCOMPARE(counts.servers[std::size_t(server)], value);
    QCOMPARE(counts.total, total);
}

void FeedsTest::onlineTotalNeverOverflows()
{
    const QByteArray big = QByteArray::number(std::numeric_limits<int>::max());
    const QByteArray small = QByteArray::number(std::numeric_limits<int>::min());
    QByteArray all = "{";
    for (const char *key : { "Ashford", "BlueRidge", "CedarFalls" })
        all += QByteArray("\"") + key + "\":{\"online\":" + big + "},";
    all += "\"Greystone\":{\"online\":1}}";
    QCOMPARE(parseOnline(all).total, std::numeric_limits<int>::max());

    QByteArray negative = "{";
    for (const char *key : { "Ashford", "BlueRidge", "CedarFalls", "DarkWater", "EastGate", "Fairhaven",
                             "Greystone", "Hightower", "Ironwood", "JadePoint" })
        negative += QByteArray("\"") + key + "\":{\"online\":" + small + "},";
    negative.chop(1);
    negative += "}";
    QCOMPARE(parseOnline(negative).total, std::numeric_limits<int>::min());
}

void FeedsTest::versionIsComparedWhole_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("announced");
    QTest::newRow("same") << QByteArray("1.8") << false;
    QTest::newRow("trailing newline") << QByteArray("1.8\n") << true;
    QTest::newRow("leading blank") << QByteArray(" 1.8") << true;
    QTest::newRow("older") << QByteArray("1.7") << true;
    QTest::newRow("newer") << QByteArray("1.9") << true;
    QTest::newRow("empty") << QByteArray() << true;
}

void FeedsTest::versionIsComparedWhole()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, announced);
    QCOMPARE(launcherVersion(), QStringLiteral("1.8"));
    QCOMPARE(isOtherVersionPublished(body), announced);
}

QTEST_GUILESS_MAIN(FeedsTest)
#include "tst_feeds.moc"
