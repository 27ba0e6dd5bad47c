#include "platform/fetchtimeout.h"

#include <atomic>

namespace {
std::atomic<long long> inactivityTimeoutMs { 30000 };
std::atomic<long long> floorBytesPerSecond { 1024 };
std::atomic<long long> floorWindowMs { 30000 };
} // namespace

std::chrono::milliseconds fetchInactivityTimeout()
{
    return std::chrono::milliseconds(inactivityTimeoutMs.load());
}

void setFetchInactivityTimeout(std::chrono::milliseconds timeout)
{
    inactivityTimeoutMs = timeout.count();
}

void setSlowRetrievalFloor(qint64 bytesPerSecond, std::chrono::milliseconds window)
{
    floorBytesPerSecond = bytesPerSecond;
    floorWindowMs = window.count();
}

SlowRetrievalGuard::SlowRetrievalGuard()
{
    QObject::connect(&m_timer, &QTimer::timeout, [this] {
        if (m_bytes - m_windowStart >= m_floor) {
            m_windowStart = m_bytes;
            return;
        }
        m_timer.stop();
        if (m_tooSlow)
            m_tooSlow();
    });
}

void SlowRetrievalGuard::start(std::function<void()> tooSlow)
{
    if (m_timer.isActive())
        return;
    m_tooSlow = std::move(tooSlow);
    m_bytes = 0;
    m_windowStart = 0;
    const long long window = floorWindowMs.load();
    m_floor = floorBytesPerSecond.load() * window / 1000;
    m_timer.start(int(window));
}
