#pragma once

#include "loader/gameloaderstatus.h"

#include <QObject>
#include <QPoint>
#include <QQuickItem>
#include <QString>
#include <QStringList>

#include <functional>

class QQuickWindow;

// Collects every warning, critical and fatal message while it lives, so a
// test can fail on any QML warning or error the scene prints.
class MessageCollector
{
public:
    MessageCollector();
    ~MessageCollector();

    QStringList take();

private:
    QtMessageHandler m_previous;
};

// Answers the scene like the controller does, but only records the calls.
// Its meta-object interface is the controller's (tst_scene compares them):
// the status property is CONSTANT there too, or each binding through it
// would warn.
class StandInController : public QObject
{
    Q_OBJECT
    Q_PROPERTY(GameLoaderStatus *gameLoaderStatus READ gameLoaderStatus CONSTANT)

public:
    StandInController();

    GameLoaderStatus *gameLoaderStatus() const { return m_status; }

    Q_INVOKABLE void buttonHeaderOpenURL(QString url) { record(QStringLiteral("open ") + url); }
    Q_INVOKABLE void buttonStartPlayClick() { record(QStringLiteral("play")); }
    Q_INVOKABLE void buttonSetServer(int index) { record(QStringLiteral("server %1").arg(index)); }
    Q_INVOKABLE void buttonExitClick() { record(QStringLiteral("exit")); }

    QStringList takeCalls();

    // Runs inside each call, while the scene is still in its handler.
    std::function<void()> onCall;

private:
    void record(const QString &call);

    GameLoaderStatus *m_status;
    QStringList m_calls;
};

namespace Scene {

// The first Text whose text is exactly `text`, or null.
QQuickItem *text(QQuickItem *root, const QString &text);
// Every visible-or-not item below root (depth first) that the predicate accepts.
QList<QQuickItem *> items(QQuickItem *root, const std::function<bool(QQuickItem *)> &accept);
// An element of the document by its id.
QObject *byId(QObject *root, const char *id);
QQuickItem *itemById(QObject *root, const char *id);

QRectF sceneRect(const QQuickItem *item);
QPoint centre(const QQuickItem *item);

} // namespace Scene
