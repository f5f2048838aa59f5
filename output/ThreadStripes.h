// Counters spread over cache lines of their own, one per thread, so that
// threads counting at once do not pass one cache line between cores.
#pragma once

#include <atomic>

// Stripes a thread may hold alone, and after them one that every other
// thread shares.
constexpr int kThreadStripes = 32;
constexpr int kSharedStripe = kThreadStripes;

template <typename T>
struct alignas(64) CountStripe {
    std::atomic<T> count{0};
};

// The calling thread's stripe: one it holds alone while it lives (then
// given to a later thread), or kSharedStripe when all are held.
int threadStripe();

// Adds to the calling thread's counter in `stripes` (kThreadStripes + 1 of
// them), after every write before it (release). Only the holder writes its
// own stripe, so the addition needs no locked instruction there.
template <typename T>
void addOnThreadStripe(CountStripe<T>* stripes, T amount) {
    int stripe = threadStripe();
    std::atomic<T>& count = stripes[stripe].count;
    if (stripe == kSharedStripe) {
        count.fetch_add(amount, std::memory_order_release);
    } else {
        count.store(count.load(std::memory_order_relaxed) + amount, std::memory_order_release);
    }
}
