#include "output/ThreadStripes.h"

namespace {
std::atomic<unsigned> nextStripe{0};
}  // namespace

int threadStripe() {
    // Constant-initialised, so that reading it needs no guard.
    thread_local int stripe = -1;
    if (stripe < 0) stripe = static_cast<int>(nextStripe.fetch_add(1) % kThreadStripes);
    return stripe;
}
