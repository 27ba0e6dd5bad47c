#include "delta/faultpoint.h"

#include <atomic>
#include <new>

namespace {

std::atomic<DeltaStep> failingStep { DeltaStep::None };

} // namespace

void setFailingDeltaStep(DeltaStep step)
{
    failingStep = step;
}

void failIfChosen(DeltaStep step)
{
    if (failingStep.load(std::memory_order_relaxed) == step)
        throw std::bad_alloc();
}
