#include "loader/gameloaderworker.h"

#include "loader/gameloaderstatus.h"
#include "loader/loaderrun.h"
#include "platform/networkaddresses.h"

GameLoaderWorker::GameLoaderWorker(const QString &manifestUrl, MessageFunction showMessage,
                                   QObject *parent)
    : QObject(parent),
      m_manifestUrl(manifestUrl.isEmpty() ? NetworkAddresses::builtIn().manifest() : manifestUrl),
      m_showMessage(std::move(showMessage))
{
    if (manifestUrl.isEmpty()) {
        const NetworkAddresses builtIn = NetworkAddresses::builtIn();
        m_manifestKeys = builtIn.manifestKeys;
        m_manifestMinTimestamp = builtIn.manifestMinTimestamp;
    }
}

GameLoaderWorker::~GameLoaderWorker() = default;

void GameLoaderWorker::loadGame(GameLoaderStatus *status)
{
    LoaderEnvironment environment;
    environment.manifestUrl = m_manifestUrl;
    environment.manifestKeys = m_manifestKeys;
    environment.manifestMinTimestamp = m_manifestMinTimestamp;
    environment.report = [status](const QString &info, int percent) {
        status->report(info, percent);
    };
    environment.showMessage = [this](const QString &text) {
        if (m_showMessage)
            m_showMessage(text);
    };
    const LoaderOutcome outcome = runLoader(environment);
    emit resultReady(outcome.result, outcome.errorInfo);
}
