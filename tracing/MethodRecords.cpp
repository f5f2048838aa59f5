#include "tracing/MethodRecords.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>

#include "agent/ErrorReporting.h"
#include "instrument/BytecodeScan.h"
#include "instrument/ClassFileHook.h"
#include "instrument/ClassRewriter.h"
#include "instrument/HookReferences.h"
#include "output/Arena.h"
#include "output/Legends.h"
#include "tracing/Classification.h"
#include "tracing/ReceiverTagging.h"
#include "tracing/VmTexts.h"

namespace {

constexpr jint kAccStatic = 0x0008;
constexpr jint kAccNative = 0x0100;
constexpr int kGracePeriodMs = 2000;

// Reads the method's bytecode: whether it never writes local 0 (false when
// it cannot be read), and where it calls the hook: first of all, or in a
// constructor right behind its super call, its class's pool naming the hook
// where that call points.
void scanBytecode(jvmtiEnv* jvmti, JNIEnv* jni, jmethodID method, jclass declaring,
                  const char* classSignature, MethodRecord& record) {
    jint length = 0;
    unsigned char* code = nullptr;
    if (jvmti->GetBytecodes(method, &length, &code) != JVMTI_ERROR_NONE || code == nullptr) {
        return;
    }
    auto size = static_cast<std::size_t>(length);
    record.keepsReceiver = neverWritesLocalZero(code, size);
    long quietCall = record.isConstructor ? quietConstructorCall(code, size) : -1;
    if (quietCall >= 0) {
        record.quietConstructor = true;
        record.superCallAt = quietCall;
    }
    uint16_t poolIndex = 0;
    bool mayStartWithCall = !record.isConstructor && record.keepsReceiver;
    bool guarded = mayStartWithCall && beginsWithGuardedHookCall(code, size, poolIndex);
    bool atStart = guarded || (mayStartWithCall && beginsWithHookCall(code, size, poolIndex));
    long afterSuper = record.isConstructor && record.keepsReceiver
                          ? hookCallAfterSuperCall(code, size, poolIndex)
                          : -1;
    jvmti->Deallocate(code);
    if ((!atStart && afterSuper < 0) || !classRewritingActive() ||
        !poolNamesHook(jvmti, jni, declaring, classSignature, poolIndex)) {
        return;
    }
    record.callsHook = atStart;
    record.guardedHookCall = guarded;
    if (afterSuper >= 0) {
        record.hookCallAt = afterSuper;
        record.superCallAt = afterSuper - 4;  // the invokespecial, then aload_0
    }
}

// Whether the name and signature are those the VM calls on a class loader to
// resolve a class through it (and, before JDK 24, to check its package).
bool mayResolveAClass(const char* name, const char* signature) {
    if (name == nullptr || signature == nullptr) return false;
    return (std::strcmp(name, "loadClass") == 0 &&
            std::strcmp(signature, "(Ljava/lang/String;)Ljava/lang/Class;") == 0) ||
           (std::strcmp(name, "checkPackageAccess") == 0 &&
            std::strcmp(signature, "(Ljava/lang/Class;Ljava/security/ProtectionDomain;)V") == 0);
}

// A static method taken as an instance method holds its first parameter
// in local 0: a reference there is fetched, a primitive is never the
// receiver.
bool firstParameterIsReference(const char* signature) {
    return signature != nullptr && signature[0] == '(' && (signature[1] == 'L' || signature[1] == '[');
}

// Natives of the JDK that never take an identity hash, met often while a
// constructor's object waits for its tag: copying, reading an object's
// class, allocating, Unsafe's memory access. (What they run in Java comes
// as events of its own.)
bool nativeTakesNoHash(const char* classSignature, const char* name) {
    if (classSignature == nullptr || name == nullptr) return false;
    if (std::strcmp(classSignature, "Ljdk/internal/misc/Unsafe;") == 0) return true;
    static const char* const kKnown[][2] = {
        {"Ljava/lang/System;", "arraycopy"},
        {"Ljava/lang/Object;", "getClass"},
        {"Ljava/lang/Object;", "clone"},
        {"Ljava/lang/Thread;", "currentThread"},
        {"Ljava/lang/Double;", "doubleToRawLongBits"},
        {"Ljava/lang/Double;", "longBitsToDouble"},
        {"Ljava/lang/Float;", "floatToRawIntBits"},
        {"Ljava/lang/Float;", "intBitsToFloat"},
    };
    for (const auto& known : kKnown) {
        if (std::strcmp(classSignature, known[0]) == 0 && std::strcmp(name, known[1]) == 0) {
            return true;
        }
    }
    return false;
}

FetchReason fetchReasonOf(const MethodRecord& record, jint modifiers) {
    if ((modifiers & kAccStatic) != 0) return FetchReason::StaticAsInstance;
    if (!record.keepsReceiver) return FetchReason::WritesLocalZero;
    if (record.isConstructor) {
        return record.hookCallAt >= 0 ? FetchReason::ConstructorCaller
                                      : FetchReason::ConstructorNotRewritten;
    }
    return record.callsHook ? FetchReason::HookNotCalled : FetchReason::NotRewritten;
}

std::size_t slotOf(jmethodID method, std::size_t mask) {
    auto bits = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(method));
    // Identifiers sit in blocks at aligned addresses: fold the product's high
    // bits into the low ones the mask keeps.
    std::uint64_t hash = (bits >> 3) * 0x9E3779B97F4A7C15ull;
    return static_cast<std::size_t>(hash ^ (hash >> 32)) & mask;
}

}  // namespace

bool describeMethod(jvmtiEnv* jvmti, JNIEnv* jni, jmethodID method, bool complete,
                    MethodRecord& record) {
    record.method = method;
    VmText name(jvmti), signature(jvmti), generic(jvmti), classSignature(jvmti),
        classGeneric(jvmti);
    jvmtiError nameError =
        jvmti->GetMethodName(method, &name.text, &signature.text, &generic.text);
    checkJvmtiError(nameError, nullptr);
    jclass declaring = nullptr;
    jvmtiError classError = jvmti->GetMethodDeclaringClass(method, &declaring);
    checkJvmtiError(classError, nullptr);
    bool complete_lookups = nameError == JVMTI_ERROR_NONE && classError == JVMTI_ERROR_NONE &&
                            declaring != nullptr;
    if (classError == JVMTI_ERROR_NONE && declaring != nullptr) {
        record.hasClass = true;
        if (jvmti->GetClassSignature(declaring, &classSignature.text, &classGeneric.text) !=
            JVMTI_ERROR_NONE) {
            complete_lookups = false;
        }
        record.filtered = isFilteredClass(classSignature.text);
        record.activation = isActivationMethod(name.text, signature.text, classSignature.text);
    }
    record.isConstructor = name.text != nullptr && std::strcmp(name.text, "<init>") == 0;
    record.isObjectConstructor = record.isConstructor && classSignature.text != nullptr &&
                                 std::strcmp(classSignature.text, "Ljava/lang/Object;") == 0;
    record.mayResolveTheHook = mayResolveAClass(name.text, signature.text);
    record.requestsCollection = name.text != nullptr && std::strcmp(name.text, "gc") == 0 &&
                                classSignature.text != nullptr &&
                                std::strcmp(classSignature.text, "Ljava/lang/Runtime;") == 0;
    jint slots = 0;
    jvmtiError sizeError = jvmti->GetArgumentsSize(method, &slots);
    record.isStatic = isStaticBySignature(sizeError, slots, signature.text);
    if (complete) {
        jint modifiers = 0;
        if (jvmti->GetMethodModifiers(method, &modifiers) != JVMTI_ERROR_NONE) {
            complete_lookups = false;
        } else {
            record.isNative = (modifiers & kAccNative) != 0;
            record.mayTakeHash =
                record.isNative && !nativeTakesNoHash(classSignature.text, name.text);
            // The VM cannot size a native's arguments; any other failure may
            // not last.
            if (sizeError != JVMTI_ERROR_NONE && !record.isNative) complete_lookups = false;
            bool declaredStatic = (modifiers & kAccStatic) != 0;
            record.receiverAbsent =
                declaredStatic && !record.isStatic && !firstParameterIsReference(signature.text);
            // A filtered class is never rewritten and its methods' events
            // stop at the filter; only its constructors' code matters (whether
            // it can hand its object on).
            bool scanned = !record.filtered || record.isConstructor;
            if (!record.isStatic && !record.isNative && !record.receiverAbsent && scanned) {
                scanBytecode(jvmti, jni, method, declaring, classSignature.text, record);
            }
            record.fetchReason = fetchReasonOf(record, modifiers);
        }
    }
    std::string key;
    methodKey(key, name.text, signature.text, generic.text, record.isStatic,
              classSignature.text);
    record.key = methodKeySlot(key);
    std::string exitLine;
    exitLine.assign("-")
        .append(shownText(classSignature.text))
        .append(shownText(name.text))
        .append(shownText(signature.text));
    // A constructor may hand its class's object legend entry to an object
    // it is called on, before that object can be read.
    std::string entry;
    if (record.isConstructor) entry = objectLegendEntry(classSignature.text, classGeneric.text);
    record.setTexts(std::move(exitLine), entry);
    return complete_lookups;
}

// One open-addressing table of record pointers. Slots go from null to a
// record once and never change again, so readers need no lock.
struct MethodRecordTable::Generation {
    // All zero bytes: an empty slot. The method is beside its record so
    // that a probe reads one cache line, not the record's too.
    struct Slot {
        std::atomic<jmethodID> method;
        std::atomic<const MethodRecord*> record;
    };

    explicit Generation(std::size_t capacity)
        : mask(capacity - 1), block(capacity * sizeof(Slot)),
          slots(static_cast<Slot*>(block.data())) {
        static_assert(std::is_trivially_default_constructible<Slot>::value &&
                          std::is_trivially_destructible<Slot>::value,
                      "slots are used as zeroed memory");
        if (slots == nullptr) throw std::bad_alloc();
    }
    std::size_t mask;
    ZeroedBlock block;
    Slot* slots;
    std::size_t used = 0;
    // The records this generation keeps, with their exit lines, one after
    // another; a grown generation takes them over. They are never destroyed
    // one by one: a kept record owns no memory of its own.
    std::unique_ptr<Arena> store = std::make_unique<Arena>();

    const MethodRecord* find(jmethodID method) const {
        for (std::size_t i = slotOf(method, mask);; i = (i + 1) & mask) {
            // Acquire: the record was stored before its method.
            jmethodID held = slots[i].method.load(std::memory_order_acquire);
            if (held == nullptr) return nullptr;
            if (held == method) return slots[i].record.load(std::memory_order_relaxed);
        }
    }
    void insert(const MethodRecord* record) {
        std::size_t i = slotOf(record->method, mask);
        while (slots[i].method.load(std::memory_order_relaxed) != nullptr) i = (i + 1) & mask;
        slots[i].record.store(record, std::memory_order_relaxed);
        slots[i].method.store(record->method, std::memory_order_release);
        ++used;
    }
};

MethodRecordTable::MethodRecordTable() : owned_(new Generation(1024)) {
    current_.store(owned_.get(), std::memory_order_release);
}

MethodRecordTable::~MethodRecordTable() = default;

const MethodRecord* MethodRecordTable::find(jmethodID method) const {
    return current_.load(std::memory_order_acquire)->find(method);
}

MethodRecordTable::Generation* MethodRecordTable::grow(Generation& full) {
    auto larger = std::make_unique<Generation>((full.mask + 1) * 2);
    for (std::size_t i = 0; i <= full.mask; ++i) {
        if (full.slots[i].method.load(std::memory_order_relaxed) != nullptr) {
            larger->insert(full.slots[i].record.load(std::memory_order_relaxed));
        }
    }
    larger->store = std::move(full.store);
    Generation* next = larger.get();
    // Readers may still be probing the full one; its slots stay valid
    // because the records it points at moved, not died.
    retired_.push_back(std::move(owned_));
    owned_ = std::move(larger);
    current_.store(next, std::memory_order_release);
    return next;
}

bool trustsConstructorCalls(jvmtiEnv* jvmti, JNIEnv* jni, const MethodRecord& record) {
    signed char known = record.rewrittenClass.state.load(std::memory_order_relaxed);
    if (known != LazyFlag::kUnknown) return known != 0;
    jclass declaring = nullptr;
    VmText signature(jvmti);
    bool trusts = record.hasClass && classRewritingActive() &&
                  jvmti->GetMethodDeclaringClass(record.method, &declaring) == JVMTI_ERROR_NONE &&
                  declaring != nullptr &&
                  jvmti->GetClassSignature(declaring, &signature.text, nullptr) == JVMTI_ERROR_NONE &&
                  classCallsHook(jvmti, jni, declaring, signature.text);
    record.rewrittenClass.state.store(trusts ? 1 : 0, std::memory_order_relaxed);
    return trusts;
}

const MethodRecord* MethodRecordTable::remember(std::unique_ptr<MethodRecord> record) {
    std::lock_guard<std::mutex> guard(writeLock_);
    Generation* generation = owned_.get();
    if (const MethodRecord* first = generation->find(record->method)) return first;
    // At most half full, so that a probe always ends at an empty slot soon.
    if ((generation->used + 1) * 2 > generation->mask + 1) generation = grow(*generation);
    Arena& store = *generation->store;
    std::string_view texts = record->ownText;
    std::size_t lineLength = record->exitLine.size();
    void* memory = store.allocate(sizeof(MethodRecord), alignof(MethodRecord));
    const char* text = memory != nullptr ? store.copy(texts) : nullptr;
    if (text == nullptr) throw std::bad_alloc();
    auto* kept = new (memory) MethodRecord(std::move(*record));
    // Its texts in the store; none of the heap's (the swap hands any buffer
    // to the temporary, which frees it).
    std::string().swap(kept->ownText);
    kept->exitLine = std::string_view(text, lineLength);
    kept->objectEntry = std::string_view(text + lineLength, texts.size() - lineLength);
    generation->insert(kept);
    return kept;
}

void MethodRecordTable::forgetAll(bool waitForReaders) {
    std::lock_guard<std::mutex> guard(writeLock_);
    // Nothing kept since the last time (classes unload in bursts).
    if (owned_->used == 0) return;
    auto fresh = std::make_unique<Generation>(1024);
    current_.store(fresh.get(), std::memory_order_release);
    generation_.fetch_add(1, std::memory_order_acq_rel);
    retired_.push_back(std::move(owned_));
    owned_ = std::move(fresh);
    // Kept until a later wait succeeds: every handler that began before this
    // switch began before that one too.
    if (!waitForReaders) return;
    // Handlers that began before the switch may still hold old records;
    // once they have all ended, nothing can reach the retired generations.
    // A handler that outlived the wait may hold records of any generation
    // it could reach, so after one wait has timed out none is freed before
    // the table itself.
    if (!waitForEventHandlersStartedBefore(kGracePeriodMs)) keepRetired_ = true;
    if (!keepRetired_) retired_.clear();
}

std::size_t MethodRecordTable::size() const {
    std::lock_guard<std::mutex> guard(writeLock_);
    return owned_->used;
}
