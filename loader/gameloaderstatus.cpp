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
    std::unique_lock<std::mutex> lock(m_pendingMutex);
    const bool alreadyPosted = m_pending.has_value();
    m_pending = Report { info, percent };
    if (alreadyPosted)
        return;
    lock.unlock();
    // One wake-up of the status thread per batch, not per file checked.
    QMetaObject::invokeMethod(this, &GameLoaderStatus::applyPendingReport, Qt::QueuedConnection);
}

void GameLoaderStatus::applyPendingReport()
{
    std::unique_lock<std::mutex> lock(m_pendingMutex);
    if (!m_pending)
        return;
    const Report latest = *m_pending;
    m_pending.reset();
    lock.unlock();
    setInfo(latest.info);
    setLoadPercent(latest.percent);
}
