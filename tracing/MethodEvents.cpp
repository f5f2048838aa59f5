#include "tracing/MethodEvents.h"

#include <cstring>
#include <memory>
#include <string>

#include "agent/AgentState.h"
#include "agent/ErrorReporting.h"
#include "instrument/ClassFileHook.h"
#include "instrument/ClassRewriter.h"
#include "instrument/NamedModules.h"
#include "output/Legends.h"
#include "output/TraceWriter.h"
#include "tracing/MethodRecords.h"
#include "tracing/ReceiverTagging.h"
#include "tracing/ThreadFrames.h"
#include "tracing/VmTexts.h"

// One event's road: find the method's record (made on first meeting, in a
// function of its own), do the VM work that needs no order (the receiver)
// before the lock, then under the lock only what must follow the one global
// order: the gate, the tag and legends, the depth and the line.

namespace {

constexpr const char* kLeftWithoutEntry = "Warning: Left method that hasn't been entered...";

// What every event of this thread reads first: one thread-local.
constexpr unsigned char kAgentAtWork = 1;
constexpr unsigned char kInModuleUpcall = 2;
constexpr jint kEventDepthBase = 1 << 20;
struct ThreadEvents {
    // How many frames this thread has entered and not yet left, as its
    // method events tell (every frame has both, whatever leaves it): the
    // height of a frame on its stack, counted from a base far from zero,
    // without walking the stack. A frame's exit counts once its handling is
    // over.
    jint depth = kEventDepthBase;
    // Why this thread's events are dropped, if they are: the agent's own
    // work on it, or the VM running its Java code for a module's first
    // rewritten class (which the program would not run untraced).
    unsigned char dropped = 0;
};
thread_local ThreadEvents thisThread;
// Where a rewritten method stores its receiver in the hook field: after its
// `aload_0` (the "hook call").
constexpr jlocation kHookCallLocation = 1;
// Where a rewritten method's frame stores in the hook field: behind a
// constructor's super call, or at its method's start (behind a null test
// in a static method taken as an instance method).
jlocation hookStoreAt(const EnteredFrame& frame) {
    if (frame.hookCallAt >= 0) return frame.hookCallAt;
    return frame.guardedHookCall ? static_cast<jlocation>(kGuardedHookCallAt) : kHookCallLocation;
}
// In a constructor, its super or this call stands before its hook call,
// with an `aload_0` between (an invokespecial, three bytes, then one).
constexpr jlocation kSuperCallBeforeHookCall = 4;

bool hasReceiver(const MethodRecord& record) {
    return !record.isStatic && !record.isNative && !record.receiverAbsent;
}

// Whether the gate may let an event of this method through; read without the
// lock, so only a hint for work worth doing before it.
bool gateMayBeOpen(const MethodRecord& record) {
    return record.activation || agentState->activationDepth.load(std::memory_order_relaxed) > 0;
}

// Slow path: the first event of a method, or every event of one whose
// lookups failed (then `once` holds a record for this event alone).
const MethodRecord* meetMethod(JNIEnv* jni, jmethodID method, std::unique_ptr<MethodRecord>& once) {
    auto record = std::make_unique<MethodRecord>();
    bool described = describeMethod(agentState->jvmti, jni, method, /*complete=*/true, *record);
    // An activation method moves the gate: from now on every line is
    // placed with the lock held.
    if (record->activation) agentState->traceCursor.keepShut();
    if (described) return agentState->records->remember(std::move(record));
    once = std::move(record);
    return once.get();
}

const MethodRecord* findOrMeet(JNIEnv* jni, jmethodID method, std::unique_ptr<MethodRecord>& once) {
    const MethodRecord* record = agentState->records->find(method);
    return record != nullptr ? record : meetMethod(jni, method, once);
}

// A kept frame's record: the one its entry found, while the table still
// keeps it; else looked up again.
const MethodRecord* recordOf(JNIEnv* jni, const EnteredFrame& frame,
                             std::unique_ptr<MethodRecord>& once) {
    if (frame.recordsGeneration == agentState->records->generation()) return frame.record;
    return findOrMeet(jni, frame.method, once);
}

// The thread's frames when this method's calls are kept there: only those
// whose exit may reuse the entry's receiver. Their entries and exits nest on
// each thread as all calls do. A method met with a failed lookup may be
// judged otherwise at its other end, so it drops the frames instead.
ThreadFrames* framesFor(const MethodRecord& record, bool lookupFailed) {
    if (lookupFailed) {
        if (ThreadFrames* frames = existingThreadFrames()) frames->clear();
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
        case EnteredFrame::Receiver::Reserved:
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

// Where a call's receiver is: in the hook's hands, or in local slot 0 of the
// frame at `depth` (none when negative: the frame is not where it should be).
struct ReceiverPlace {
    jthread thread = nullptr;
    jint depth = 0;
    jobject object = nullptr;
    // Why it has to be fetched, when it is.
    FetchReason reason = FetchReason::NotRewritten;
};

void learnFrom(JNIEnv* jni, const ReceiverPlace& place, bool readClass, ReceiverLookup& receiver) {
    if (place.object != nullptr) {
        learnReceiver(jni, place.object, readClass, receiver);
    } else if (place.depth >= 0) {
        lookUpReceiver(place.thread, jni, place.depth, readClass, place.reason, receiver);
    } else {
        receiver = ReceiverLookup();
    }
}

// Under the lock: settles the receiver (tag, object legend), learning it
// here when nothing was learned before the lock. False when the receiver's
// class is filtered and the event is dropped.
bool receiverAllows(JNIEnv* jni, const ReceiverPlace& place, const MethodRecord& record,
                    ReceiverLookup* receiver, bool readClass) {
    if (!hasReceiver(record)) return true;
    if (receiver != nullptr) return settleReceiver(jni, *receiver, /*recheckTag=*/true);
    ReceiverLookup here;
    learnFrom(jni, place, readClass, here);
    return settleReceiver(jni, here, /*recheckTag=*/false);
}

// Under the lock. `receiver` holds what was learned before the lock, or is
// null when nothing was; `readClass` makes a lookup made here test even a
// tagged receiver's class. Returns false when the event was not recorded.
bool recordEntry(JNIEnv* jni, const ReceiverPlace& place, const MethodRecord& record,
                 ReceiverLookup* receiver, bool readClass) {
    AgentState* state = agentState;
    if (record.hasClass) {
        if (record.activation) ++state->activationDepth;
        if (state->activationDepth == 0 || record.filtered) return false;
    }
    if (!receiverAllows(jni, place, record, receiver, readClass)) return false;
    KeyRecording key(*record.key);
    writeEntryLine(record.entryLine());
    return true;
}

void recordExit(JNIEnv* jni, const ReceiverPlace& place, const MethodRecord& record,
                ReceiverLookup* receiver, bool readClass) {
    AgentState* state = agentState;
    if (record.hasClass && (state->activationDepth == 0 || record.filtered)) return;
    if (record.activation) --state->activationDepth;
    if (!receiverAllows(jni, place, record, receiver, readClass)) return;
    KeyRecording key(*record.key);
    writeExitLines(record.exitLine, key.added() ? kLeftWithoutEntry : "");
}

// The road without the lock: an event of a method without a receiver, or
// whose receiver (learned before) already has its tag and its object legend
// entry, whose key is already in the legend, while no activation method was
// met (the gate stays open) needs of the global order only its line's place.
bool writtenWithoutLock(const MethodRecord& record, bool exit,
                        const ReceiverLookup* receiver = nullptr) {
    // First: an instance call's events ask before their receiver is known,
    // and then again with it.
    if (hasReceiver(record) &&
        (receiver == nullptr || receiver->outcome != ReceiverLookup::Outcome::Found ||
         receiver->tag <= 0 ||
         receiver->tag > agentState->objectLegendSize.load(std::memory_order_acquire))) {
        return false;
    }
    if (!record.hasClass || record.filtered || record.activation || record.key == nullptr ||
        !keyRecorded(*record.key) ||
        agentState->activationDepth.load(std::memory_order_relaxed) <= 0) {
        return false;
    }
    return exit ? writeExitLineUnlocked(record.exitLine) : writeEntryLineUnlocked(record.entryLine());
}

// Without method records (the VM cannot tell of class unloading) every event
// asks the VM for everything, under the lock, as it comes.
void handleUnrecorded(JNIEnv* jni, jthread thread, jmethodID method, bool exit) {
    AgentMonitorScope lock;
    if (!lock.held() || !isAgentLive()) return;
    MethodRecord record;
    describeMethod(agentState->jvmti, jni, method, /*complete=*/false, record);
    ReceiverPlace frame{thread, 0, nullptr, FetchReason::Unrecorded};
    if (exit) {
        recordExit(jni, frame, record, nullptr, /*readClass=*/true);
    } else {
        recordEntry(jni, frame, record, nullptr, /*readClass=*/true);
    }
}

void beforeTagging(JNIEnv* jni, jthread thread, jlong except);

// Writes a call's entry: the receiver learned before the lock when the gate
// may be open, then under the lock what needs the global order. What was
// learned is noted on `frame` (the call's own, or null) for its exit.
void enterCall(JNIEnv* jni, const ReceiverPlace& place, const MethodRecord& record,
               ThreadFrames* frames) {
    ReceiverLookup receiver;
    bool prefetched = hasReceiver(record) && !record.filtered && gateMayBeOpen(record);
    if (prefetched) learnFrom(jni, place, /*readClass=*/false, receiver);
    if (receiver.outcome == ReceiverLookup::Outcome::Found && receiver.tag == 0) {
        beforeTagging(jni, place.thread, 0);
    }

    bool recorded = prefetched && writtenWithoutLock(record, /*exit=*/false, &receiver);
    if (!recorded) {
        AgentMonitorScope lock;
        if (!lock.held() || !isAgentLive()) return;
        recorded = recordEntry(jni, place, record, prefetched ? &receiver : nullptr, false);
    }
    EnteredFrame* top = frames != nullptr ? frames->top() : nullptr;
    if ((recorded || receiver.outcome == ReceiverLookup::Outcome::Filtered) && prefetched &&
        top != nullptr && top->method == record.method) {
        noteReceiver(*top, receiver);
    }
}

// Whether a constructor waiting for its object may let this super
// constructor run first: java.lang.Object's, filtered, writes nothing and
// tags nothing, so the object it returns initialized is as it was at the
// entry.
bool waitsThroughSuperConstructor(JNIEnv* jni, jmethodID method) {
    std::unique_ptr<MethodRecord> once;
    const MethodRecord* record = findOrMeet(jni, method, once);
    return record->isObjectConstructor && record->hasClass && record->filtered &&
           !record->activation;
}

// Slow path: the thread's innermost entry still waits for the hook when
// another event of the thread comes. If the waiting method stands at its
// hook call and the event is a class loader's, it is the VM resolving the
// hook through that loader's Java code: true, and it and what it calls are
// dropped. Otherwise the entry is written now, from the frame where it
// waits, and the event goes on.
bool settleWaitingEntry(JNIEnv* jni, jthread thread, ThreadFrames& frames, jmethodID method,
                        bool exit) {
    if (frames.resolving > 0) {
        frames.resolving += exit ? -1 : 1;
        return true;
    }
    EnteredFrame& waiting = *frames.top();
    // An exit is of the frame at depth 0: the waiting one itself, or else it
    // is not where it should be and nothing is fetched for it. An entry's
    // caller is the waiting frame, or java.lang.Object's constructor when
    // that is waited through.
    jint depth = exit ? (method == waiting.method ? 0 : -1) : 1;
    if (frames.inObjectConstructor) {
        std::unique_ptr<MethodRecord> once;
        if (exit && findOrMeet(jni, method, once)->isObjectConstructor) {
            frames.inObjectConstructor = false;
            return true;
        }
        // It calls something (a finalizer's registration): the wait ends.
        frames.inObjectConstructor = false;
        depth = exit ? -1 : 2;
    }
    if (!exit) {
        jmethodID where = nullptr;
        jlocation at = -1;
        jlocation hookAt = hookStoreAt(waiting);
        if (agentState->jvmti->GetFrameLocation(thread, depth, &where, &at) != JVMTI_ERROR_NONE ||
            where != waiting.method) {
            depth = -1;
        } else if (depth == 1 && at == hookAt) {
            std::unique_ptr<MethodRecord> once;
            if (findOrMeet(jni, method, once)->mayResolveTheHook) {
                frames.resolving = 1;
                return true;
            }
        } else if (depth == 1 && waiting.hookCallAt >= 0 &&
                   at == waiting.hookCallAt - kSuperCallBeforeHookCall &&
                   waitsThroughSuperConstructor(jni, method)) {
            frames.inObjectConstructor = true;
            return true;
        }
    }
    waiting.pending = false;
    std::unique_ptr<MethodRecord> once;
    const MethodRecord& record = *recordOf(jni, waiting, once);
    ReceiverPlace place{thread, depth, nullptr, FetchReason::HookNotCalled};
    enterCall(jni, place, record, &frames);
    return false;
}

// First on every recorded event: settles an entry that waits for the hook on
// this thread. True when the event is the VM's resolution of the hook, and
// dropped.
bool droppedAfterWaitingEntry(JNIEnv* jni, jthread thread, jmethodID method, bool exit) {
    ThreadFrames* frames = existingThreadFrames();
    if (frames == nullptr) return false;
    const EnteredFrame* top = frames->top();
    if (frames->resolving == 0 && (top == nullptr || !top->pending)) return false;
    return settleWaitingEntry(jni, thread, *frames, method, exit);
}

// Where the current thread's caller (the frame below the event's) stands,
// asked of the VM at most once an event: each ask walks the thread's stack.
class CallerOfEvent {
public:
    explicit CallerOfEvent(jthread thread) : thread_(thread) {}
    bool get(jmethodID& caller, jlocation& at) {
        if (!asked_) {
            asked_ = true;
            known_ = agentState->jvmti->GetFrameLocation(thread_, 1, &method_, &at_) == JVMTI_ERROR_NONE;
        }
        caller = method_;
        at = at_;
        return known_;
    }

private:
    jthread thread_;
    bool asked_ = false;
    bool known_ = false;
    jmethodID method_ = nullptr;
    jlocation at_ = -1;
};

// Slow path: a class loader's method called while a rewritten constructor
// stands at its call of the hook is the VM resolving the hook through that
// loader: it and what it calls are dropped.
bool resolvingTheHookForAConstructor(CallerOfEvent& callerOfEvent) {
    jmethodID caller = nullptr;
    jlocation at = -1;
    if (!callerOfEvent.get(caller, at)) return false;
    const MethodRecord* constructor = agentState->records->find(caller);
    if (constructor == nullptr || constructor->hookCallAt != at) return false;
    currentThreadFrames().resolving = 1;
    return true;
}

// Slow path: the object `waiting` waits to tag, read from slot 0 of the
// frame at `depth`, gets the tag handed out at its constructor's entry.
void tagFromFrame(JNIEnv* jni, jthread thread, jint depth, FetchReason reason,
                  EnteredFrame& waiting) {
    ReceiverLookup object;
    lookUpReceiver(thread, jni, depth, /*alwaysReadClass=*/false, reason, object);
    if (object.outcome != ReceiverLookup::Outcome::Found) return;
    if (object.tag == 0 && agentState->jvmti->SetTag(object.object, waiting.tag) != JVMTI_ERROR_NONE) {
        return;
    }
    waiting.receiver = EnteredFrame::Receiver::Tagged;
}

// Once an object's reserved tag is set on it: the frames of its super or
// this constructors, next to the frame at `index` and sharing its tag.
void markObjectTagged(ThreadFrames& frames, std::size_t index) {
    jlong tag = frames.at(index).tag;
    auto mark = [&frames, tag](std::size_t i) {
        EnteredFrame& frame = frames.at(i);
        if (frame.receiver != EnteredFrame::Receiver::Reserved || frame.tag != tag) return false;
        frame.receiver = EnteredFrame::Receiver::Tagged;
        return true;
    };
    frames.at(index).receiver = EnteredFrame::Receiver::Tagged;
    for (std::size_t i = index + 1; i < frames.size() && mark(i); ++i) {
    }
    for (std::size_t i = index; i-- > 0 && mark(i);) {
    }
}

// Slow path, where tags take identity hashes: something that may take one
// (a native method, the agent tagging an object) is about to run on this
// thread while objects wait for their tags after their constructors called
// something before their super calls. Tagged at their entries, they would
// have taken their hashes first: each is read from its constructor's frame
// and tagged now, outermost first. The object of reserved tag `except` is
// the one the caller is about to tag.
void tagWaitingObjects(JNIEnv* jni, jthread thread, ThreadFrames& frames, jlong except) {
    frames.objectsWaitForTags = false;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EnteredFrame& frame = frames.at(i);
        if (frame.stackHeight < 0 || frame.receiver != EnteredFrame::Receiver::Reserved) continue;
        if (frame.tag == except) {
            frames.objectsWaitForTags = true;
            continue;
        }
        jint depth = thisThread.depth - frame.stackHeight;
        frame.stackHeight = -1;
        jmethodID where = nullptr;
        jlocation at = -1;
        if (depth < 0 || agentState->jvmti->GetFrameLocation(thread, depth, &where, &at) !=
                             JVMTI_ERROR_NONE ||
            where != frame.method) {
            continue;
        }
        tagFromFrame(jni, thread, depth, FetchReason::CallBeforeSuper, frame);
        if (frame.receiver == EnteredFrame::Receiver::Tagged) markObjectTagged(frames, i);
    }
}

// Before the agent tags an object on this thread (`except`: its reserved
// tag, or 0).
void beforeTagging(JNIEnv* jni, jthread thread, jlong except) {
    ThreadFrames* frames = existingThreadFrames();
    if (frames != nullptr && frames->objectsWaitForTags) tagWaitingObjects(jni, thread, *frames, except);
}

// Slow path: tagFromFrame, after the objects waiting for their tags on this
// thread, which came first.
void tagFromFrameInOrder(JNIEnv* jni, jthread thread, jint depth, FetchReason reason,
                         EnteredFrame& waiting) {
    beforeTagging(jni, thread, waiting.tag);
    tagFromFrame(jni, thread, depth, reason, waiting);
}

// Slow path, where tags take identity hashes: a call comes while the
// thread's innermost constructor has not yet set its object's tag (made by
// its code before its super call, or by the VM for it). Where its frame
// stands is noted: the object is tagged before anything may take a hash
// (tagWaitingObjects), so that it takes its hash before any other, as it
// would tagged at its entry. The object's own super or this constructor is
// no such call.
void noteCallBeforeSuper(const MethodRecord& record, ThreadFrames& frames,
                         CallerOfEvent& callerOfEvent) {
    EnteredFrame* waiting = frames.top();
    jmethodID caller = nullptr;
    jlocation at = -1;
    if (!callerOfEvent.get(caller, at) || caller != waiting->method) return;
    if (record.isConstructor && at == waiting->hookCallAt - kSuperCallBeforeHookCall) return;
    // The constructor's frame is the caller's, one below the event's.
    waiting->stackHeight = thisThread.depth - 1;
    frames.objectsWaitForTags = true;
}

// Slow path: a super or this constructor that will not hand the object over
// (filtered, or not rewritten) is about to run on an object that waits for
// its tag: its code could hand the object around, so the object is read from
// its frame and tagged now. A filtered one whose code cannot hand it on
// (java.util.AbstractCollection's, say) is only followed, and so is the next
// one it calls, until the chain reaches java.lang.Object's or a rewritten
// constructor of the object's own chain (which tags it through the hook).
void tagBeforeItsSuperConstructor(JNIEnv* jni, jthread thread, const MethodRecord& record,
                                  CallerOfEvent& callerOfEvent) {
    if (record.isObjectConstructor) return;
    ThreadFrames* frames = existingThreadFrames();
    EnteredFrame* waiting = frames != nullptr ? frames->top() : nullptr;
    if (waiting == nullptr || waiting->receiver != EnteredFrame::Receiver::Reserved) return;
    jmethodID caller = nullptr;
    jlocation at = -1;
    if (!callerOfEvent.get(caller, at)) return;
    bool direct = caller == waiting->method && at == waiting->hookCallAt - kSuperCallBeforeHookCall;
    bool chained = waiting->quietSuper != nullptr && caller == waiting->quietSuper &&
                   at == waiting->quietSuperCallAt;
    if (!direct && !chained) return;
    // A rewritten super constructor shares the waiting frame's object.
    if (direct && !record.filtered && record.hookCallAt >= 0) return;
    if (record.filtered && record.quietConstructor) {
        waiting->quietSuper = record.method;
        waiting->quietSuperCallAt = record.superCallAt;
        return;
    }
    tagFromFrameInOrder(jni, thread, 0, FetchReason::SuperNotRewritten, *waiting);
}

// Where tags take identity hashes, keeps them taken in the order the
// objects' entries came, before an entry of `record`.
void keepHashOrder(JNIEnv* jni, jthread thread, const MethodRecord& record,
                   CallerOfEvent& callerOfEvent) {
    ThreadFrames* frames = existingThreadFrames();
    if (frames == nullptr) return;
    const EnteredFrame* top = frames->top();
    if (top != nullptr && top->receiver == EnteredFrame::Receiver::Reserved && top->stackHeight < 0) {
        noteCallBeforeSuper(record, *frames, callerOfEvent);
    }
    if (frames->objectsWaitForTags && record.mayTakeHash) tagWaitingObjects(jni, thread, *frames, 0);
}

// Writes a constructor's entry without reading its object from the frame,
// where its caller tells what the object is: the caller's own (this
// constructor is the caller's super or this call), or one just made by
// `new` in a rewritten class's code, of exactly this constructor's class,
// which has not met any event yet. False when the caller tells nothing.
bool constructedWithoutFetch(JNIEnv* jni, jthread thread, const MethodRecord& record,
                             ThreadFrames& frames, CallerOfEvent& callerOfEvent) {
    jmethodID caller = nullptr;
    jlocation at = -1;
    EnteredFrame* mine = frames.top();
    if (mine == nullptr || mine->method != record.method || !callerOfEvent.get(caller, at)) {
        return false;
    }
    const MethodRecord* callerRecord = agentState->records->find(caller);
    if (callerRecord == nullptr) return false;
    ReceiverLookup object;
    object.outcome = ReceiverLookup::Outcome::Found;
    if (callerRecord->hookCallAt >= 0 && at == callerRecord->superCallAt) {
        // The caller's object: its state goes on to this frame.
        EnteredFrame* builder = frames.belowTop();
        if (builder == nullptr || builder->method != caller ||
            builder->receiver == EnteredFrame::Receiver::Unknown) {
            return false;
        }
        mine->receiver = builder->receiver;
        mine->tag = builder->tag;
        if (builder->receiver == EnteredFrame::Receiver::Filtered) {
            object.outcome = ReceiverLookup::Outcome::Filtered;
        }
        object.tag = builder->tag;
    } else if (record.hookCallAt < 0 ||
               (callerRecord->isConstructor && callerRecord->hookCallAt < 0) ||
               !trustsConstructorCalls(agentState->jvmti, jni, *callerRecord)) {
        // Not known to be `new` of this class, or this constructor would not
        // hand the object over for its tag.
        return false;
    } else {
        object.reserve = true;
        object.entryKnown = true;
        object.entry.assign(record.objectEntry);
    }
    AgentMonitorScope lock;
    if (!lock.held() || !isAgentLive()) return true;
    if (recordEntry(jni, ReceiverPlace{thread}, record, &object, false) && object.reserve) {
        mine->receiver = EnteredFrame::Receiver::Reserved;
        mine->tag = object.tag;
    }
    return true;
}

void handleEntry(JNIEnv* jni, jthread thread, jmethodID method) {
    AgentState* state = agentState;
    if (!state->records->enabled()) return handleUnrecorded(jni, thread, method, false);
    if (droppedAfterWaitingEntry(jni, thread, method, false)) return;
    // Read before the lookup: a frame never holds a record older than its
    // generation.
    uint32_t generation = state->records->generation();
    std::unique_ptr<MethodRecord> once;
    const MethodRecord& record = *findOrMeet(jni, method, once);
    CallerOfEvent callerOfEvent(thread);
    if (record.mayResolveTheHook && resolvingTheHookForAConstructor(callerOfEvent)) return;
    if (record.requestsCollection) forgetHookReceiver(jni);
    if (state->tagsTakeHashes) keepHashOrder(jni, thread, record, callerOfEvent);
    if (record.isConstructor) tagBeforeItsSuperConstructor(jni, thread, record, callerOfEvent);
    if (record.hasClass && record.filtered && !record.activation) return;
    if (once == nullptr && writtenWithoutLock(record, /*exit=*/false)) return;

    ThreadFrames* kept = framesFor(record, once != nullptr);
    // The method's first instruction calls the hook, which writes the entry
    // with the receiver in hand; without a frame to wait on, it is written now.
    bool pushed = kept != nullptr && kept->push(record, generation, record.callsHook);
    if (pushed && record.callsHook) return;
    if (pushed && record.isConstructor &&
        constructedWithoutFetch(jni, thread, record, *kept, callerOfEvent)) {
        return;
    }
    if (pushed && record.hookCallAt >= 0) {
        // Its caller tells nothing of the object: the entry waits for the
        // hook call behind the super call, which brings it, as a method's
        // entry waits for its first instruction's.
        kept->top()->pending = true;
        return;
    }
    enterCall(jni, ReceiverPlace{thread, 0, nullptr, record.fetchReason}, record, kept);
}

void handleExit(JNIEnv* jni, jthread thread, jmethodID method, bool byException) {
    AgentState* state = agentState;
    if (!state->records->enabled()) return handleUnrecorded(jni, thread, method, true);
    if (droppedAfterWaitingEntry(jni, thread, method, true)) return;
    std::unique_ptr<MethodRecord> once;
    ThreadFrames* frames = existingThreadFrames();
    const EnteredFrame* top = frames != nullptr ? frames->top() : nullptr;
    const MethodRecord& record = top != nullptr && top->method == method
                                     ? *recordOf(jni, *top, once)
                                     : *findOrMeet(jni, method, once);
    // A filtered class's exit stops at the gate test, before anything else.
    if (record.hasClass && record.filtered) return;
    if (once == nullptr && writtenWithoutLock(record, /*exit=*/true)) return;

    EnteredFrame frame;
    ThreadFrames* kept = framesFor(record, once != nullptr);
    bool paired = kept != nullptr && kept->popMatching(method, frame);
    // Only a constructor that calls the hook itself was to set the tag
    // before leaving; one that shares its caller's object (java.lang.Object's,
    // say) leaves that to the caller's call, still to come.
    if (paired && frame.receiver == EnteredFrame::Receiver::Reserved && frame.hookCallAt >= 0 &&
        !byException) {
        // Its call of the hook did not come: the object is read from its
        // frame and tagged, so that its later calls find the tag.
        tagFromFrameInOrder(jni, thread, 0, FetchReason::HookNotCalled, frame);
    }
    ReceiverLookup receiver;
    bool known = false;
    if (hasReceiver(record)) {
        known = paired && reuseReceiver(frame, receiver);
        if (!known && gateMayBeOpen(record)) {
            FetchReason reason = kept != nullptr ? FetchReason::ExitUnpaired : record.fetchReason;
            lookUpReceiver(thread, jni, 0, /*alwaysReadClass=*/false, reason, receiver);
            if (receiver.outcome == ReceiverLookup::Outcome::Found && receiver.tag == 0) {
                beforeTagging(jni, thread, 0);
            }
            known = true;
        }
    }
    if (known && once == nullptr && writtenWithoutLock(record, /*exit=*/true, &receiver)) return;
    AgentMonitorScope lock;
    if (!lock.held() || !isAgentLive()) return;
    ReceiverPlace place{thread, 0, nullptr,
                        kept != nullptr ? FetchReason::ExitUnpaired : record.fetchReason};
    recordExit(jni, place, record, known ? &receiver : nullptr, false);
}

// The hook's call from a rewritten method's start, with its receiver:
// completes the entry that waits for it.
void handleHookCall(JNIEnv* jni, ThreadFrames& frames, jobject receiver) {
    if (!agentState->records->enabled() || receiver == nullptr) return;
    EnteredFrame* waiting = frames.top();
    if (waiting == nullptr || !waiting->pending || frames.resolving > 0) return;
    waiting->pending = false;
    std::unique_ptr<MethodRecord> once;
    const MethodRecord& record = *recordOf(jni, *waiting, once);
    ReceiverPlace place;
    place.object = receiver;
    enterCall(jni, place, record, &frames);
}

// The hook's call from behind a constructor's super call, with the object it
// builds, now initialized: the tag handed out at its entry is set on it.
void handleConstructedHookCall(JNIEnv* jni, ThreadFrames& frames, jobject object) {
    EnteredFrame* builder = frames.top();
    if (builder == nullptr || object == nullptr) return;
    // The constructor's entry waited for this call.
    if (builder->pending) return handleHookCall(jni, frames, object);
    if (builder->receiver != EnteredFrame::Receiver::Reserved) return;
    jvmtiEnv* jvmti = agentState->jvmti;
    jlong tag = 0;
    if (jvmti->GetTag(object, &tag) != JVMTI_ERROR_NONE) return;
    if (tag == 0) {
        beforeTagging(jni, nullptr, builder->tag);
        if (jvmti->SetTag(object, builder->tag) != JVMTI_ERROR_NONE) return;
    }
    markObjectTagged(frames, frames.size() - 1);
}

}  // namespace

void JNICALL onMethodEntry(jvmtiEnv*, JNIEnv* jni, jthread thread, jmethodID method) {
    ThreadEvents& here = thisThread;
    ++here.depth;
    if (here.dropped != 0) return;
    if (isModuleUpcall(method)) {
        here.dropped = kInModuleUpcall;
        return;
    }
    EventHandlerScope scope;
    if (!scope.entered()) return;
    try {
        handleEntry(jni, thread, method);
    } catch (...) {
        // Out of memory inside the user's JVM: drop the event rather than
        // let anything unwind into the VM.
    }
}

void JNICALL onMethodExit(jvmtiEnv*, JNIEnv* jni, jthread thread, jmethodID method,
                          jboolean wasPoppedByException, jvalue) {
    ThreadEvents& here = thisThread;
    struct LeftFrame {
        ThreadEvents& events;
        ~LeftFrame() { --events.depth; }
    } left{here};
    if (here.dropped != 0) {
        if (here.dropped == kInModuleUpcall && isModuleUpcall(method)) here.dropped = 0;
        return;
    }
    EventHandlerScope scope;
    if (!scope.entered()) return;
    try {
        handleExit(jni, thread, method, wasPoppedByException != JNI_FALSE);
    } catch (...) {
        // As on entry: nothing may unwind into the VM.
    }
}

void JNICALL onHookStore(jvmtiEnv*, JNIEnv* jni, jthread, jmethodID method, jlocation location,
                         jclass, jobject, jfieldID, char, jvalue value) {
    if (thisThread.dropped != 0) return;
    // Only the innermost kept frame's method stores there for it: a
    // rewritten method at its start, or a rewritten constructor behind its
    // super call. Any other store is no receiver's.
    ThreadFrames* frames = existingThreadFrames();
    EnteredFrame* top = frames != nullptr ? frames->top() : nullptr;
    if (top == nullptr || top->method != method || location != hookStoreAt(*top) ||
        frames->resolving > 0) {
        return;
    }
    EventHandlerScope scope;
    if (!scope.entered()) return;
    try {
        if (top->hookCallAt >= 0) {
            handleConstructedHookCall(jni, *frames, value.l);
        } else {
            handleHookCall(jni, *frames, value.l);
        }
    } catch (...) {
        // As in the method events: nothing may unwind into the VM.
    }
}

void keepHashOrderAtClassLoad(JNIEnv* jni) { beforeTagging(jni, nullptr, 0); }

AgentWorkScope::AgentWorkScope() { thisThread.dropped |= kAgentAtWork; }
AgentWorkScope::~AgentWorkScope() {
    thisThread.dropped &= static_cast<unsigned char>(~kAgentAtWork);
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
