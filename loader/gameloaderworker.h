#pragma once

#include <QObject>
#include <QString>

class GameLoaderStatus;

// Lives on the loader thread and performs one load per loadGame call.
class GameLoaderWorker : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;
    ~GameLoaderWorker() override;

signals:
    void resultReady(bool result, const QString &errorInfo);

public slots:
    void loadGame(GameLoaderStatus *status);
};
