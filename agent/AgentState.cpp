#include "agent/AgentState.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <new>
#include <thread>

#include "agent/HandlerFence.h"
#include "output/TextFile.h"
#include "tracing/MethodRecords.h"

AgentState* agentState = nullptr;

namespace {
std::atomic<bool> live{false};
std::atomic<int> inFlight{0};
// Event handlers count themselves under the phase in force when they began,
// so that a waiter can switch the phase and wait for the old count to drain.
// Each thread counts in a slot of its own while it lives (plain stores, no
// cache line shared with other threads); the slot is taken over by a later
// thread once it has ended. A thread that cannot have one counts in the
// shared slot, with atomic additions.
std::atomic<unsigned> handlerPhase{0};

struct alignas(64) HandlerSlot {
    std::atomic<int> count[2] = {};
    std::atomic<bool> taken{false};
    // Set before the slot is published, never changed after.
    HandlerSlot* next = nullptr;
};
std::atomic<HandlerSlot*> handlerSlots{nullptr};
HandlerSlot sharedSlot;

thread_local HandlerSlot* slotOfThread = nullptr;

// Gives the thread's slot back when the thread ends.
struct SlotOwner {
    ~SlotOwner() {
        if (slotOfThread != nullptr) slotOfThread->taken.store(false, std::memory_order_release);
        slotOfThread = nullptr;
    }
};

// Slow path: the thread's first event.
HandlerSlot* takeSlot() {
    HandlerSlot* head = handlerSlots.load(std::memory_order_acquire);
    HandlerSlot* slot = nullptr;
    for (HandlerSlot* free = head; free != nullptr && slot == nullptr; free = free->next) {
        bool taken = false;
        if (!free->taken.load(std::memory_order_relaxed) &&
            free->taken.compare_exchange_strong(taken, true, std::memory_order_acquire)) {
            slot = free;
        }
    }
    if (slot == nullptr) {
        // Never freed: a slot outlives its thread for the next one.
        slot = new (std::nothrow) HandlerSlot;
        if (slot == nullptr) return &sharedSlot;
        slot->taken.store(true, std::memory_order_relaxed);
        slot->next = head;
        while (!handlerSlots.compare_exchange_weak(slot->next, slot, std::memory_order_release,
                                                   std::memory_order_acquire)) {
        }
    }
    thread_local SlotOwner owner;
    slotOfThread = slot;
    return slot;
}

int handlersIn(unsigned phase) {
    int sum = sharedSlot.count[phase].load();
    for (HandlerSlot* slot = handlerSlots.load(std::memory_order_acquire); slot != nullptr;
         slot = slot->next) {
        sum += slot->count[phase].load();
    }
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

void setAgentLive(bool value) {
    live.store(value);
    // From here on the counts show every handler that saw the agent live.
    if (!value) waiterFence();
}

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
    HandlerSlot* slot = slotOfThread != nullptr ? slotOfThread : takeSlot();
    std::atomic<int>& count = slot->count[handlerPhase.load(std::memory_order_acquire) & 1u];
    shared_ = slot == &sharedSlot;
    if (shared_) {
        count.fetch_add(1);
    } else {
        count.store(count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        handlerFence();
    }
    if (live.load(std::memory_order_relaxed)) {
        counter_ = &count;
    } else {
        leave(count);
    }
}

EventHandlerScope::~EventHandlerScope() {
    if (counter_ != nullptr) leave(*counter_);
}

void EventHandlerScope::leave(std::atomic<int>& count) const {
    if (shared_) {
        count.fetch_sub(1);
    } else {
        // Every read of the handler comes before it (release).
        count.store(count.load(std::memory_order_relaxed) - 1, std::memory_order_release);
    }
}

bool waitForEventHandlersStartedBefore(int timeoutMs) {
    std::lock_guard<std::mutex> guard(phaseSwitchLock);
    // A handler reads the phase before what it protects; one that read the
    // old phase is counted there, one that reads the new phase sees only
    // what was published before the switch.
    unsigned old = handlerPhase.fetch_add(1) & 1u;
    waiterFence();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (handlersIn(old) > 0) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::yield();
    }
    return true;
}
