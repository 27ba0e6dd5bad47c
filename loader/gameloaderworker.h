#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class GameLoaderStatus;

// Lives on the loader thread and performs one load per loadGame call.
class GameLoaderWorker : public QObject
{
    Q_OBJECT

public:
    using MessageFunction = std::function<void(const QString &text)>;

    // `manifestUrl` is the file manifest's full address; `showMessage` tells
    // the player about a failed download and must not block the loader thread.
    explicit GameLoaderWorker(const QString &manifestUrl = QString(),
                              MessageFunction showMessage = {}, QObject *parent = nullptr);
    ~GameLoaderWorker() override;

    // The keys that must sign the manifest (none: no check); the built-in
    // ones, with the built-in floor of its timestamp, when the manifest's
    // address was not given either.
    void setManifestKeys(const QStringList &keys) { m_manifestKeys = keys; }

signals:
    void resultReady(bool result, const QString &errorInfo);

public slots:
    void loadGame(GameLoaderStatus *status);

private:
    QString m_manifestUrl;
    QStringList m_manifestKeys;
    quint64 m_manifestMinTimestamp = 0;
    MessageFunction m_showMessage;
};
