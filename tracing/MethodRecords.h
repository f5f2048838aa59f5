// What the agent learns of a method the first time it meets it, and the
// table that finds it again on every later event without asking the VM.
#pragma once

#include <jvmti.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "agent/AgentState.h"
#include "tracing/FetchCounts.h"

// A yes or no worked out on first need, by whichever thread needs it first
// (each would work out the same); moved with the record that holds it.
struct LazyFlag {
    static constexpr signed char kUnknown = -1;
    mutable std::atomic<signed char> state{kUnknown};
    LazyFlag() = default;
    LazyFlag(const LazyFlag& other) noexcept : state(other.state.load(std::memory_order_relaxed)) {}
    LazyFlag& operator=(const LazyFlag&) = delete;
};

struct MethodRecord {
    jmethodID method = nullptr;
    // The declaring class was obtained: the gate and the filter apply.
    bool hasClass = false;
    bool filtered = false;
    bool activation = false;
    // Taken as static by its signature: no receiver is fetched.
    bool isStatic = false;
    // ACC_NATIVE: the VM cannot read the locals of its frame.
    bool isNative = false;
    // A native that may take an identity hash: Object.hashCode,
    // System.identityHashCode, any not known to take none.
    bool mayTakeHash = false;
    // A real instance method whose bytecode never writes local 0: its exit
    // finds the receiver its entry found.
    bool keepsReceiver = false;
    // Keeps its receiver and its code begins with the call of the hook, its
    // class's constant pool naming the hook there: the hook, called first,
    // brings the receiver, so its entry waits for that call.
    bool callsHook = false;
    // That call stands behind a null test (a static method taken as an
    // instance method, whose entry, on a null, waits in vain and is written
    // at the next event).
    bool guardedHookCall = false;
    // Why its entry fetches the receiver when it must (it does not call the
    // hook, or the call did not come first).
    FetchReason fetchReason = FetchReason::NotRewritten;
    // A static method taken as an instance method whose local 0 holds a
    // primitive: the receiver is never there, nothing is fetched.
    bool receiverAbsent = false;
    // Its class is one the agent rewrote: an object its code makes with
    // `new` is of the class whose constructor is called on it. Worked out
    // the first time a constructor is called from it (trustsConstructorCalls).
    LazyFlag rewrittenClass;
    // A constructor, and java.lang.Object's (which does nothing with the
    // object it is given).
    bool isConstructor = false;
    bool isObjectConstructor = false;
    // In a rewritten constructor: its super or this call (an invokespecial)
    // and the hook's call right behind it, which hands over the object
    // once initialized; -1 in any other method (but see quietConstructor).
    jlocation superCallAt = -1;
    jlocation hookCallAt = -1;
    // A constructor whose code can hand its object to no other code (see
    // quietConstructorCall); superCallAt is then where it calls its super or
    // this constructor.
    bool quietConstructor = false;
    // The VM would resolve the hook through a class loader's Java code by
    // calling this method (ClassLoader.loadClass, or checkPackageAccess).
    bool mayResolveTheHook = false;
    // java.lang.Runtime.gc: the program asks for a garbage collection.
    bool requestsCollection = false;
    KeySlot* key = nullptr;
    // "-" followed by the entry line (class signature, name, signature),
    // then for a constructor its class's object legend entry: the text of
    // `ownText`, or once the table keeps the record, of the table's own
    // memory.
    std::string_view exitLine;
    std::string_view objectEntry;
    std::string ownText;

    std::string_view entryLine() const { return exitLine.substr(1); }
    void setTexts(std::string exitText, const std::string& entry) {
        ownText = std::move(exitText);
        std::size_t lineLength = ownText.size();
        ownText.append(entry);
        exitLine = std::string_view(ownText).substr(0, lineLength);
        objectEntry = std::string_view(ownText).substr(lineLength);
    }
};

// Asks the VM for everything a record holds, reporting failures of
// GetMethodName and GetMethodDeclaringClass as every event does. With
// `complete` false only what one event needs is fetched (texts, class,
// argument size). Returns false when a lookup failed: the record then holds
// absent texts and serves this one event only.
bool describeMethod(jvmtiEnv* jvmti, JNIEnv* jni, jmethodID method, bool complete,
                    MethodRecord& record);

// Whether the record's method belongs to a class the agent rewrote: what
// its code makes with `new` is then of the class whose constructor is
// called on it. Asks the VM the first time only.
bool trustsConstructorCalls(jvmtiEnv* jvmti, JNIEnv* jni, const MethodRecord& record);

// Records by method identifier. Lookups take no lock and may run on any
// thread at any time; records are added under a lock of the table's own.
class MethodRecordTable {
public:
    MethodRecordTable();
    ~MethodRecordTable();
    MethodRecordTable(const MethodRecordTable&) = delete;
    MethodRecordTable& operator=(const MethodRecordTable&) = delete;

    // Records are kept only while the VM tells us of class unloading: a
    // method identifier of an unloaded class may be handed out again.
    void enable() { enabled_.store(true, std::memory_order_release); }
    bool enabled() const { return enabled_.load(std::memory_order_acquire); }

    const MethodRecord* find(jmethodID method) const;
    // Keeps a copy of `record` unless another thread kept one for the same
    // method first; returns the one kept. Throws std::bad_alloc when there
    // is no memory for it.
    const MethodRecord* remember(std::unique_ptr<MethodRecord> record);
    // Drops every record (classes were unloaded or redefined). The old
    // records are freed once no event handler can still be reading them:
    // after waiting for those handlers, or without `waitForReaders` at a
    // later call that waits (or with the table).
    void forgetAll(bool waitForReaders = true);
    std::size_t size() const;
    // Changes when forgetAll drops the records. A handler that reads it
    // unchanged since it took a record may use that record to its end, as
    // one it found (forgetAll waits for such handlers before freeing).
    uint32_t generation() const { return generation_.load(std::memory_order_acquire); }

private:
    struct Generation;
    Generation* grow(Generation& full);

    std::atomic<bool> enabled_{false};
    std::atomic<Generation*> current_;
    std::atomic<uint32_t> generation_{0};
    mutable std::mutex writeLock_;
    // Generations no longer current but possibly still read; freed by
    // forgetAll after a grace period, or with the table.
    std::vector<std::unique_ptr<Generation>> retired_;
    bool keepRetired_ = false;
    std::unique_ptr<Generation> owned_;
};
