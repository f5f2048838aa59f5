// Rewriting a class file so that each eligible method hands its receiver to
// the agent's hook: `aload_0; putstatic <hook field>`, padded to 8 bytes.
// Instance methods store it first; constructors right after their super or
// this call, once the object is initialized;
// static methods the agent takes as instance methods first too, with their
// first parameter, a reference, behind a null test. A pure function of the
// bytes: no VM, no agent state.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// What every rewritten method hands its receiver to first: a static field
// it stores it in.
struct HookTarget {
    std::string className;  // internal form, e.g. java/lang/KelmoraHook
    std::string fieldName;  // e.g. receiver
    std::string descriptor = "Ljava/lang/Object;";
};

// Why a class came back untouched.
enum class ClassOutcome : unsigned char {
    Rewritten,
    NotUnderstood,       // does not parse as we know class files, or has trailing bytes
    UnsupportedVersion,  // a class-file version we do not know
    HookClass,           // the hook's own class
    NothingEligible,     // parsed, but no method qualified or fitted
    ConstantPoolFull,    // no room for the hook's constant-pool entries
    ConstructorCallsNotFollowed,  // a method's constructor calls could not be told apart
};
const char* classOutcomeName(ClassOutcome outcome);

// What happened to each method of a class that parsed.
enum class MethodOutcome : unsigned char {
    Rewritten,
    NotInstance,        // no receiver to hand over: static (but see kGuardedHookCallLength), native,
                        // abstract, an initializer
    WritesLocalZero,    // its code stores into local 0 (or does not parse)
    CodeTooLong,        // the inserted call would pass the 65,535-byte limit
    UnknownAttribute,   // an attribute inside Code we cannot shift
    BadAttribute,       // a known attribute inside Code that does not parse
    SuperCallNotFound,  // a constructor whose one super or this call was not found
    JumpTooFar,         // a 16-bit jump over the inserted call would no longer reach
    NoStackMap,         // a guarded call's jump would need a frame, and the code has no table
    Count
};
const char* methodOutcomeName(MethodOutcome outcome);

struct RewriteResult {
    ClassOutcome outcome = ClassOutcome::NotUnderstood;
    // The new class file; empty unless the outcome is Rewritten.
    std::vector<uint8_t> bytes;
    // Methods by outcome; filled in whenever the methods were parsed.
    std::array<uint32_t, static_cast<std::size_t>(MethodOutcome::Count)> methods{};
    // The class name (internal form) when the header parsed.
    std::string className;

    uint32_t count(MethodOutcome outcome) const {
        return methods[static_cast<std::size_t>(outcome)];
    }
};

// Rewrites the class file `data`. Never throws: anything it does not
// understand, or running out of memory, leaves the class untouched.
RewriteResult rewriteClass(const uint8_t* data, std::size_t length, const HookTarget& hook) noexcept;

// Bytes inserted at the start of a rewritten method: `aload_0`,
// `putstatic`, and `nop`s, so that every switch keeps its alignment.
constexpr std::size_t kHookCallLength = 8;
// At the start of a static method taken as an instance method, whose first
// parameter may be null: `aload_0; ifnull` past the call, then the call, to
// 12 bytes. The call's putstatic stands at kGuardedHookCallAt.
constexpr std::size_t kGuardedHookCallLength = 12;
constexpr std::size_t kGuardedHookCallAt = 5;

// Whether `code` begins with the inserted call; its pool entry's index in
// the class's constant pool goes to `poolIndex`.
bool beginsWithHookCall(const uint8_t* code, std::size_t length, uint16_t& poolIndex);
// The same for the guarded call of a static method taken as an instance
// method.
bool beginsWithGuardedHookCall(const uint8_t* code, std::size_t length, uint16_t& poolIndex);

// Where a rewritten constructor calls the hook (the offset of its
// putstatic, right behind the super or this call), or -1; the
// entry's pool index goes to `poolIndex`.
long hookCallAfterSuperCall(const uint8_t* code, std::size_t length, uint16_t& poolIndex);

// The class file of a hook field's own class: public and final, with no
// method, the field public and static.
std::vector<uint8_t> hookClassFile(const HookTarget& hook);

// The indexes of the Fieldref entries that name `hook` in a constant pool
// given as JVMTI's GetConstantPool gives it: `count` (the class file's
// constant_pool_count) and the entries' bytes. Empty when the pool does not
// parse.
std::vector<uint16_t> hookReferences(const uint8_t* entries, std::size_t length, uint16_t count,
                                     const HookTarget& hook) noexcept;
