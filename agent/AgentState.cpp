#include "agent/AgentState.h"

#include <atomic>
#include <new>

AgentState* agentState = nullptr;

namespace {
std::atomic<bool> live{false};
std::atomic<int> inFlight{0};
}  // namespace

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

int agentCallbacksInFlight() { return inFlight.load(); }
