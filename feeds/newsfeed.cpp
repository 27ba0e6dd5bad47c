#include "feeds/newsfeed.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

QVector<NewsItem> parseNews(const QByteArray &body, const QString &newsPagePrefix)
{
    const QJsonArray data = QJsonDocument::fromJson(body)
                                    .object()
                                    .value(QLatin1String("items"))
                                    .toObject()
                                    .value(QLatin1String("data"))
                                    .toArray();
    QVector<NewsItem> items;
    items.reserve(data.size());
    for (const QJsonValue &element : data) {
        const QJsonObject item = element.toObject();
        items.append({ item.value(QLatin1String("title")).toString(),
                       item.value(QLatin1String("little_text")).toString(),
                       newsPagePrefix + item.value(QLatin1String("alias")).toString() });
    }
    return items;
}

ContextProperties newsProperties(const QVector<NewsItem> &items)
{
    ContextProperties properties;
    properties.reserve(items.size() * 3);
    for (int i = 0; i < items.size(); ++i) {
        const QString n = QString::number(i);
        properties.append({ QStringLiteral("newsTitle") + n, items[i].title });
        properties.append({ QStringLiteral("newsText") + n, items[i].text });
        properties.append({ QStringLiteral("newsUrl") + n, items[i].url });
    }
    return properties;
}
