// Counters spread over cache lines of their own, one per thread, so that
// threads counting at once do not pass one cache line between cores.
#pragma once

#include <atomic>

// Stripes a thread may hold alone, and after them one that every other
// thread shares.
constexpr int kThreadStripes = 32;
constexpr int kSharedStripe = kThreadStripes;

// The calling thread's stripe: one it holds alone while it lives (then
// given to a later thread), or kSharedStripe when all are held.
int threadStripe();

// Adds to a counter of stripe `stripe` (the calling thread's), after every
// write before it (release). Only the holder writes its own stripe's
// counter, so the addition needs no locked instruction there.
template <typename T>
void addOnStripe(std::atomic<T>& count, int stripe, T amount) {
    if (stripe == kSharedStripe) {
        count.fetch_add(amount, std::memory_order_release);
    } else {
        count.store(count.load(std::memory_order_relaxed) + amount, std::memory_order_release);
    }
}
