#include "agent/AgentState.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "output/TextFile.h"
#include "tracing/MethodRecords.h"
#include <new>

AgentState* agentState = nullptr;

namespace {
std::atomic<bool> live{false};
std::atomic<int> inFlight{0};
// Event handlers count themselves under the phase in force when they began,
// so that a waiter can switch the phase and wait for the old count to drain.
std::atomic<unsigned> handlerPhase{0};
std::atomic<int> handlersInPhase[2];
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
    return inFlight.load() + handlersInPhase[0].load() + handlersInPhase[1].load();
}

EventHandlerScope::EventHandlerScope() : phase_(-1) {
    int phase = static_cast<int>(handlerPhase.load() & 1u);
    handlersInPhase[phase].fetch_add(1);
    if (live.load()) {
        phase_ = phase;
    } else {
        handlersInPhase[phase].fetch_sub(1);
    }
}

EventHandlerScope::~EventHandlerScope() {
    if (phase_ >= 0) handlersInPhase[phase_].fetch_sub(1);
}

bool waitForEventHandlersStartedBefore(int timeoutMs) {
    std::lock_guard<std::mutex> guard(phaseSwitchLock);
    // A handler reads the phase before what it protects; one that read the
    // old phase is counted there, one that reads the new phase sees only
    // what was published before the switch.
    int old = static_cast<int>(handlerPhase.fetch_add(1) & 1u);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (handlersInPhase[old].load() > 0) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::yield();
    }
    return true;
}
