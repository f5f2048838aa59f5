#include "tracing/MethodEvents.h"

#include <memory>
#include <string>

#include "agent/AgentState.h"
#include "agent/ErrorReporting.h"
#include "output/Legends.h"
#include "output/TraceWriter.h"
#include "tracing/MethodRecords.h"
#include "tracing/ReceiverTagging.h"
#include "tracing/ThreadFrames.h"

// One event's road: find the method's record (made on first meeting, in a
// function of its own), do the VM work that needs no order (the receiver)
// before the lock, then under the lock only what must follow the one global
// order: the gate, the tag and legends, the depth and the line.

namespace {

constexpr const char* kLeftWithoutEntry = "Warning: Left method that hasn't been entered...";

bool hasReceiver(const MethodRecord& record) { return !record.isStatic && !record.isNative; }

// Whether the gate may let an event of this method through; read without the
// lock, so only a hint for work worth doing before it.
bool gateMayBeOpen(const MethodRecord& record) {
    return record.activation || agentState->activationDepth.load(std::memory_order_relaxed) > 0;
}

// Slow path: the first event of a method, or every event of one whose
// lookups failed (then `once` holds a record for this event alone).
const MethodRecord* meetMethod(jmethodID method, std::unique_ptr<MethodRecord>& once) {
    auto record = std::make_unique<MethodRecord>();
    if (describeMethod(agentState->jvmti, method, /*complete=*/true, *record)) {
        return agentState->records->remember(std::move(record));
    }
    once = std::move(record);
    return once.get();
}

const MethodRecord* findOrMeet(jmethodID method, std::unique_ptr<MethodRecord>& once) {
    const MethodRecord* record = agentState->records->find(method);
    return record != nullptr ? record : meetMethod(method, once);
}

// The thread's frames when this method's calls are kept there: only those
// whose exit may reuse the entry's receiver. Their entries and exits nest on
// each thread as all calls do. A method met with a failed lookup may be
// judged otherwise at its other end, so it drops the frames instead.
ThreadFrames* framesFor(const MethodRecord& record, bool lookupFailed) {
    if (lookupFailed) {
        currentThreadFrames().clear();
        return nullptr;
    }
    return record.keepsReceiver && !record.filtered ? &currentThreadFrames() : nullptr;
}

// The receiver as an entry learned it, for the exit of the same call.
void noteReceiver(EnteredFrame& frame, const ReceiverLookup& receiver) {
    if (receiver.outcome == ReceiverLookup::Outcome::Filtered) {
        frame.receiver = EnteredFrame::Receiver::Filtered;
    } else if (receiver.outcome == ReceiverLookup::Outcome::Found && receiver.tag != 0) {
        frame.receiver = EnteredFrame::Receiver::Tagged;
        frame.tag = receiver.tag;
    }
}

bool reuseReceiver(const EnteredFrame& frame, ReceiverLookup& receiver) {
    switch (frame.receiver) {
        case EnteredFrame::Receiver::Tagged:
            receiver.outcome = ReceiverLookup::Outcome::Found;
            receiver.tag = frame.tag;
            return true;
        case EnteredFrame::Receiver::Filtered:
            receiver.outcome = ReceiverLookup::Outcome::Filtered;
            return true;
        case EnteredFrame::Receiver::Unknown:
            break;
    }
    return false;
}

// Under the lock: settles the receiver (tag, object legend), fetching it
// here when nothing was learned before the lock. False when the receiver's
// class is filtered and the event is dropped.
bool receiverAllows(JNIEnv* jni, jthread thread, const MethodRecord& record,
                    ReceiverLookup* receiver, bool readClass) {
    if (!hasReceiver(record)) return true;
    if (receiver != nullptr) return settleReceiver(jni, *receiver, /*recheckTag=*/true);
    ReceiverLookup here;
    lookUpReceiver(thread, jni, 0, readClass, here);
    return settleReceiver(jni, here, /*recheckTag=*/false);
}

// Under the lock. `receiver` holds what was learned before the lock, or is
// null when nothing was; `readClass` makes a lookup made here test even a
// tagged receiver's class. Returns false when the event was not recorded.
bool recordEntry(JNIEnv* jni, jthread thread, const MethodRecord& record,
                 ReceiverLookup* receiver, bool readClass) {
    AgentState* state = agentState;
    if (record.hasClass) {
        if (record.activation) ++state->activationDepth;
        if (state->activationDepth == 0 || record.filtered) return false;
    }
    if (!receiverAllows(jni, thread, record, receiver, readClass)) return false;
    ++state->depth;
    recordKeySlot(*record.key);
    writeTraceLine(record.entryLine());
    return true;
}

void recordExit(JNIEnv* jni, jthread thread, const MethodRecord& record,
                ReceiverLookup* receiver, bool readClass) {
    AgentState* state = agentState;
    if (record.hasClass && (state->activationDepth == 0 || record.filtered)) return;
    if (record.activation) --state->activationDepth;
    if (!receiverAllows(jni, thread, record, receiver, readClass)) return;
    if (recordKeySlot(*record.key)) writeTraceLine(kLeftWithoutEntry);
    writeTraceLine(record.exitLine);
    if (--state->depth < 0) state->depth = 0;
}

// Without method records (the VM cannot tell of class unloading) every event
// asks the VM for everything, under the lock, as it comes.
void handleUnrecorded(JNIEnv* jni, jthread thread, jmethodID method, bool exit) {
    AgentMonitorScope lock;
    if (!lock.held() || !isAgentLive()) return;
    MethodRecord record;
    describeMethod(agentState->jvmti, method, /*complete=*/false, record);
    if (exit) {
        recordExit(jni, thread, record, nullptr, /*readClass=*/true);
    } else {
        recordEntry(jni, thread, record, nullptr, /*readClass=*/true);
    }
}

void handleEntry(JNIEnv* jni, jthread thread, jmethodID method) {
    AgentState* state = agentState;
    if (!state->records->enabled()) return handleUnrecorded(jni, thread, method, false);
    std::unique_ptr<MethodRecord> once;
    const MethodRecord& record = *findOrMeet(method, once);
    if (record.hasClass && record.filtered && !record.activation) return;

    ThreadFrames* frames = framesFor(record, once != nullptr);
    if (frames != nullptr) frames->push(method);
    ReceiverLookup receiver;
    bool prefetched = hasReceiver(record) && !record.filtered && gateMayBeOpen(record);
    if (prefetched) lookUpReceiver(thread, jni, 0, /*alwaysReadClass=*/false, receiver);

    bool recorded;
    {
        AgentMonitorScope lock;
        if (!lock.held() || !isAgentLive()) return;
        recorded = recordEntry(jni, thread, record, prefetched ? &receiver : nullptr, false);
    }
    EnteredFrame* top = frames != nullptr ? frames->top() : nullptr;
    if ((recorded || receiver.outcome == ReceiverLookup::Outcome::Filtered) && prefetched &&
        top != nullptr && top->method == method) {
        noteReceiver(*top, receiver);
    }
}

void handleExit(JNIEnv* jni, jthread thread, jmethodID method) {
    AgentState* state = agentState;
    if (!state->records->enabled()) return handleUnrecorded(jni, thread, method, true);
    std::unique_ptr<MethodRecord> once;
    const MethodRecord& record = *findOrMeet(method, once);
    // A filtered class's exit stops at the gate test, before anything else.
    if (record.hasClass && record.filtered) return;

    EnteredFrame frame;
    ThreadFrames* frames = framesFor(record, once != nullptr);
    bool paired = frames != nullptr && frames->popMatching(method, frame);
    ReceiverLookup receiver;
    bool known = false;
    if (hasReceiver(record)) {
        known = paired && reuseReceiver(frame, receiver);
        if (!known && gateMayBeOpen(record)) {
            lookUpReceiver(thread, jni, 0, /*alwaysReadClass=*/false, receiver);
            known = true;
        }
    }
    AgentMonitorScope lock;
    if (!lock.held() || !isAgentLive()) return;
    recordExit(jni, thread, record, known ? &receiver : nullptr, false);
}

}  // namespace

void JNICALL onMethodEntry(jvmtiEnv*, JNIEnv* jni, jthread thread, jmethodID method) {
    EventHandlerScope scope;
    if (!scope.entered()) return;
    try {
        handleEntry(jni, thread, method);
    } catch (...) {
        // Out of memory inside the user's JVM: drop the event rather than
        // let anything unwind into the VM.
    }
}

void JNICALL onMethodExit(jvmtiEnv*, JNIEnv* jni, jthread thread, jmethodID method, jboolean,
                          jvalue) {
    EventHandlerScope scope;
    if (!scope.entered()) return;
    try {
        handleExit(jni, thread, method);
    } catch (...) {
        // As on entry: nothing may unwind into the VM.
    }
}

void JNICALL onClassUnload(jvmtiEnv*, ...) {
    if (!beginAgentCallback()) return;
    try {
        // Identifiers of the unloaded methods may be handed out again.
        agentState->records->forgetAll();
    } catch (...) {
    }
    endAgentCallback();
}
