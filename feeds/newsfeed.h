#pragma once

#include "feeds/contextproperties.h"

#include <QByteArray>
#include <QString>
#include <QVector>

struct NewsItem
{
    QString title;
    QString text;
    QString url;
};

// Reads the news feed body ({"items": {"data": [...]}}). Any other shape gives
// no items; an item of the wrong shape gives empty texts and the bare prefix.
QVector<NewsItem> parseNews(const QByteArray &body, const QString &newsPagePrefix);

// newsTitleN, newsTextN, newsUrlN for each item, item by item.
ContextProperties newsProperties(const QVector<NewsItem> &items);
