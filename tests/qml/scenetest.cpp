#include "scenetest.h"

#include <QMutex>
#include <QMutexLocker>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickWindow>

namespace {

QMutex collectedMutex;
QStringList collected;
QtMessageHandler previousHandler = nullptr;

void collect(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg || type == QtCriticalMsg || type == QtFatalMsg) {
        QMutexLocker locker(&collectedMutex);
        collected.append(message);
    }
    if (previousHandler)
        previousHandler(type, context, message);
}

} // namespace

MessageCollector::MessageCollector()
{
    m_previous = qInstallMessageHandler(collect);
    previousHandler = m_previous;
}

MessageCollector::~MessageCollector()
{
    qInstallMessageHandler(m_previous);
}

QStringList MessageCollector::take()
{
    QMutexLocker locker(&collectedMutex);
    QStringList messages;
    messages.swap(collected);
    return messages;
}

StandInController::StandInController()
    : m_status(new GameLoaderStatus(this))
{
}

QStringList StandInController::takeCalls()
{
    QStringList calls;
    calls.swap(m_calls);
    return calls;
}

void StandInController::record(const QString &call)
{
    m_calls.append(call);
    if (onCall)
        onCall();
}

namespace Scene {

QList<QQuickItem *> items(QQuickItem *root, const std::function<bool(QQuickItem *)> &accept)
{
    QList<QQuickItem *> found;
    if (!root)
        return found;
    if (accept(root))
        found.append(root);
    const auto children = root->childItems();
    for (QQuickItem *child : children)
        found += items(child, accept);
    return found;
}

QQuickItem *text(QQuickItem *root, const QString &wanted)
{
    const auto found = items(root, [&](QQuickItem *item) {
        return item->inherits("QQuickText") && item->property("text").toString() == wanted;
    });
    return found.isEmpty() ? nullptr : found.first();
}

QObject *byId(QObject *root, const char *id)
{
    // Ids of a document are names of its root object's context.
    QQmlContext *context = QQmlEngine::contextForObject(root);
    return context ? context->contextProperty(QString::fromLatin1(id)).value<QObject *>() : nullptr;
}

QQuickItem *itemById(QObject *root, const char *id)
{
    return qobject_cast<QQuickItem *>(byId(root, id));
}

QRectF sceneRect(const QQuickItem *item)
{
    return item->mapRectToScene(QRectF(0, 0, item->width(), item->height()));
}

QPoint centre(const QQuickItem *item)
{
    return sceneRect(item).center().toPoint();
}

} // namespace Scene
