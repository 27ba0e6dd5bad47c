#pragma once

#include <QTimer>

#include <chrono>
#include <functional>

// How long a fetch or a download may go without any progress before it is
// given up. Tests shorten it.
std::chrono::milliseconds fetchInactivityTimeout();
void setFetchInactivityTimeout(std::chrono::milliseconds timeout);

// The least a transfer must carry once its answer has begun: 1 KiB/s over
// each window of 30 s. Tests change both.
void setSlowRetrievalFloor(qint64 bytesPerSecond, std::chrono::milliseconds window);

// Cuts a transfer that carries less than the floor over a window: a host
// that sends a byte now and then keeps the inactivity timeout from ever
// firing, and would hold the transfer forever.
class SlowRetrievalGuard
{
public:
    SlowRetrievalGuard();

    // The answer has begun: the first window starts now, unless one runs.
    // `tooSlow` is called once, when a window ends short of the floor.
    void start(std::function<void()> tooSlow);
    // The bytes the transfer has carried so far.
    void carried(qint64 bytes) { m_bytes = bytes; }
    void stop() { m_timer.stop(); }
    bool running() const { return m_timer.isActive(); }

private:
    QTimer m_timer;
    std::function<void()> m_tooSlow;
    qint64 m_bytes = 0;
    qint64 m_windowStart = 0;
    qint64 m_floor = 0;
};
