#include "nothrowvector.h"

#include <atomic>
#include <cstdlib>

namespace quorpatch {

namespace {
std::atomic<long long> g_failureCountdown(-1);

bool injectedFailure()
{
    long long remaining = g_failureCountdown.load(std::memory_order_relaxed);
    while (remaining >= 0) {
        const long long next = remaining == 0 ? -1 : remaining - 1;
        if (g_failureCountdown.compare_exchange_weak(remaining, next))
            return remaining == 0;
    }
    return false;
}
} // namespace

void *AllocateNoThrow(std::size_t bytes)
{
    if (injectedFailure())
        return nullptr;
    return std::malloc(bytes ? bytes : 1);
}

void ReleaseNoThrow(void *memory)
{
    std::free(memory);
}

void SetAllocationFailureAfter(long long successes)
{
    g_failureCountdown.store(successes < 0 ? -1 : successes);
}

} // namespace quorpatch
