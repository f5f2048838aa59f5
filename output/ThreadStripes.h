// Counters spread over cache lines of their own, one picked per thread, so
// that threads counting at once do not pass one cache line between cores.
#pragma once

#include <atomic>

constexpr int kThreadStripes = 16;

template <typename T>
struct alignas(64) CountStripe {
    std::atomic<T> count{0};
};

// The calling thread's stripe, 0 to kThreadStripes - 1: fixed for the
// thread's life, handed out in turn as threads first ask.
int threadStripe();
