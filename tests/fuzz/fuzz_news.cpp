// The news feed reader on any body: every item gives one triple of
// properties, in order, and every link starts with the news page prefix.
#include "feeds/newsfeed.h"
#include "fuzzcheck.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString prefix = QStringLiteral("https://127.0.0.1:7443/news/");
    const QByteArray body(reinterpret_cast<const char *>(data), int(size));
    const QVector<NewsItem> items = parseNews(body, prefix);
    const ContextProperties properties = newsProperties(items);

    FUZZ_CHECK(properties.size() == items.size() * 3);
    for (int i = 0; i < items.size(); ++i) {
        const QString n = QString::number(i);
        FUZZ_CHECK(items[i].url.startsWith(prefix));
        FUZZ_CHECK(properties[3 * i].first == QLatin1String("newsTitle") + n);
        FUZZ_CHECK(properties[3 * i + 1].first == QLatin1String("newsText") + n);
        FUZZ_CHECK(properties[3 * i + 2].first == QLatin1String("newsUrl") + n);
        FUZZ_CHECK(properties[3 * i + 2].second.toString() == items[i].url);
    }
    return 0;
}
