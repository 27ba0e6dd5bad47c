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
    if (manifestUrl.isEmpty())
        m_manifestKeys = NetworkAddresses::builtIn().manifestKeys;
}

GameLoaderWorker::~GameLoaderWorker() = default;

void GameLoaderWorker::loadGame(GameLoaderStatus *status)
{
    LoaderEnvironment environment;
    environment.manifestUrl = m_manifestUrl;
    environment.manifestKeys = m_manifestKeys;
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
