#include "loader/gameloaderstatus.h"

#include <QThread>

GameLoaderStatus::~GameLoaderStatus() = default;

void GameLoaderStatus::setGameLoadStarted(bool started)
{
    if (m_gameLoadStarted == started)
        return;
    m_gameLoadStarted = started;
    emit gameLoadStartedChange();
}

void GameLoaderStatus::setInfo(const QString &info)
{
    if (m_info == info)
        return;
    m_info = info;
    emit infoChange();
}

void GameLoaderStatus::setLoadPercent(int percent)
{
    if (m_loadPercent == percent)
        return;
    m_loadPercent = percent;
    emit loadPercentChange();
}

void GameLoaderStatus::report(const QString &info, int percent)
{
    if (QThread::currentThread() == thread()) {
        setInfo(info);
        setLoadPercent(percent);
        return;
    }
    QMetaObject::invokeMethod(
            this,
            [this, info, percent] {
                setInfo(info);
                setLoadPercent(percent);
            },
            Qt::QueuedConnection);
}
