#include "loader/gameloaderworker.h"

#include "loader/gameloaderstatus.h"

GameLoaderWorker::~GameLoaderWorker() = default;

void GameLoaderWorker::loadGame(GameLoaderStatus *status)
{
    // The loader run is not built yet: every play request ends here.
    status->report(QStringLiteral("Поиск RageMP"), 0);
    emit resultReady(false, QStringLiteral("Ошибка запроса файлов."));
}
