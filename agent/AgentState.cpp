#include "agent/AgentState.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <new>
#include <thread>

#include "output/TextFile.h"
#include "output/ThreadStripes.h"
#include "tracing/MethodRecords.h"

AgentState* agentState = nullptr;

namespace {
std::atomic<bool> live{false};
std::atomic<int> inFlight{0};
// Event handlers count themselves under the phase in force when they began,
// so that a waiter can switch the phase and wait for the old count to drain.
// Each phase's count is spread over the threads' stripes.
std::atomic<unsigned> handlerPhase{0};
CountStripe<int> handlersInPhase[2][kThreadStripes];

int handlersIn(unsigned phase) {
    int sum = 0;
    for (const CountStripe<int>& stripe : handlersInPhase[phase]) sum += stripe.count.load();
    return sum;
}
std::mutex phaseSwitchLock;
}  // namespace

AgentState::AgentState() : records(new MethodRecordTable()) {}
AgentState::~AgentState() = default;

AgentState* createAgentState() {
    agentState = new (std::nothrow) AgentState();
    return agentState;
}

void destroyAgentState(AgentState* state) {
    if (agentState == state) agentState = nullptr;
    delete state;
}

bool isAgentLive() { return live.load(); }

void setAgentLive(bool value) { live.store(value); }

bool beginAgentCallback() {
    // Counted before the check (both sequentially consistent): once unload
    // has cleared the flag and then seen the count at zero, no handler can
    // still get past this point.
    inFlight.fetch_add(1);
    if (live.load()) return true;
    inFlight.fetch_sub(1);
    return false;
}

void endAgentCallback() { inFlight.fetch_sub(1); }

int agentCallbacksInFlight() {
    return inFlight.load() + handlersIn(0) + handlersIn(1);
}

EventHandlerScope::EventHandlerScope() : counter_(nullptr) {
    std::atomic<int>& count =
        handlersInPhase[handlerPhase.load() & 1u][threadStripe()].count;
    count.fetch_add(1);
    if (live.load()) {
        counter_ = &count;
    } else {
        count.fetch_sub(1);
    }
}

EventHandlerScope::~EventHandlerScope() {
    if (counter_ != nullptr) counter_->fetch_sub(1);
}

bool waitForEventHandlersStartedBefore(int timeoutMs) {
    std::lock_guard<std::mutex> guard(phaseSwitchLock);
    // A handler reads the phase before what it protects; one that read the
    // old phase is counted there, one that reads the new phase sees only
    // what was published before the switch.
    unsigned old = handlerPhase.fetch_add(1) & 1u;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (handlersIn(old) > 0) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::yield();
    }
    return true;
}
