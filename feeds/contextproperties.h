#pragma once

#include <QPair>
#include <QString>
#include <QVariant>
#include <QVector>

// Root-context names with their values, in the order they are published.
using ContextProperties = QVector<QPair<QString, QVariant>>;
