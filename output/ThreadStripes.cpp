#include "output/ThreadStripes.h"

namespace {

std::atomic<bool> held[kThreadStripes];

// Constant-initialised, so that reading them needs no guard.
thread_local int stripeOfThread = -1;

// Gives the thread's stripe back when the thread ends; its counts stay, and
// the next holder adds on to them.
struct StripeRelease {
    ~StripeRelease() {
        if (stripeOfThread >= 0 && stripeOfThread != kSharedStripe) {
            held[stripeOfThread].store(false, std::memory_order_release);
        }
        stripeOfThread = kSharedStripe;
    }
};

// Slow path: the thread's first count.
int takeStripe() {
    int stripe = kSharedStripe;
    for (int i = 0; i < kThreadStripes && stripe == kSharedStripe; ++i) {
        bool taken = false;
        // Acquire: the last holder's counts come before this thread's.
        if (!held[i].load(std::memory_order_relaxed) &&
            held[i].compare_exchange_strong(taken, true, std::memory_order_acquire)) {
            stripe = i;
        }
    }
    thread_local StripeRelease release;
    stripeOfThread = stripe;
    return stripe;
}

}  // namespace

int threadStripe() { return stripeOfThread >= 0 ? stripeOfThread : takeStripe(); }
