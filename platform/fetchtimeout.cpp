#include "platform/fetchtimeout.h"

#include <atomic>

namespace {
std::atomic<long long> inactivityTimeoutMs { 30000 };
} // namespace

std::chrono::milliseconds fetchInactivityTimeout()
{
    return std::chrono::milliseconds(inactivityTimeoutMs.load());
}

void setFetchInactivityTimeout(std::chrono::milliseconds timeout)
{
    inactivityTimeoutMs = timeout.count();
}
