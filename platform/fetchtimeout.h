#pragma once

#include <chrono>

// How long a fetch or a download may go without any progress before it is
// given up. Tests shorten it.
std::chrono::milliseconds fetchInactivityTimeout();
void setFetchInactivityTimeout(std::chrono::milliseconds timeout);
