#include "tracing/FetchCounts.h"

#include <atomic>

namespace {

constexpr std::size_t kReasons = static_cast<std::size_t>(FetchReason::Count);
std::atomic<uint64_t> counts[kReasons];

const char* reasonName(FetchReason reason) {
    switch (reason) {
    case FetchReason::NotRewritten: return "not-rewritten";
    case FetchReason::WritesLocalZero: return "writes-local-0";
    case FetchReason::ConstructorCaller: return "constructor-caller";
    case FetchReason::ConstructorNotRewritten: return "constructor-not-rewritten";
    case FetchReason::SuperNotRewritten: return "super-not-rewritten";
    case FetchReason::CallBeforeSuper: return "call-before-super";
    case FetchReason::StaticAsInstance: return "static-as-instance";
    case FetchReason::HookNotCalled: return "hook-not-called";
    case FetchReason::ExitUnpaired: return "exit-unpaired";
    case FetchReason::Unrecorded: return "unrecorded";
    case FetchReason::Count: break;
    }
    return "?";
}

}  // namespace

void countFetch(FetchReason reason) {
    counts[static_cast<std::size_t>(reason)].fetch_add(1, std::memory_order_relaxed);
}

uint64_t fetchCount(FetchReason reason) {
    return counts[static_cast<std::size_t>(reason)].load(std::memory_order_relaxed);
}

void resetFetchCounts() {
    for (std::atomic<uint64_t>& count : counts) count.store(0, std::memory_order_relaxed);
}

std::string fetchCountsText() {
    std::string text;
    for (std::size_t i = 0; i < kReasons; ++i) {
        if (!text.empty()) text.push_back(' ');
        auto reason = static_cast<FetchReason>(i);
        text.append(reasonName(reason)).append("=").append(std::to_string(fetchCount(reason)));
    }
    return text;
}
