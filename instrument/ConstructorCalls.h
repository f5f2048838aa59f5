// Following the operand stack through a method's code to tell what each of
// its constructor calls (an `invokespecial` of an <init>) initializes: the
// object the method is itself constructing (a constructor's super or this
// call, on uninitializedThis), or an object just made by `new`, of exactly
// the class whose constructor is called. The VM's verifier holds classes to
// this, but the VM does not verify every class (some it generates itself);
// the rewriter checks it again before the agent relies on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

// What the analysis needs of a class's constant pool.
class PoolEntries {
public:
    virtual ~PoolEntries() = default;
    // The Fieldref, Methodref or InterfaceMethodref at `index`: the name of
    // its class, its name and its descriptor. False for any other entry.
    virtual bool member(uint16_t index, std::string_view& owner, std::string_view& name,
                        std::string_view& descriptor) const = 0;
    // The descriptor of the InvokeDynamic entry at `index`.
    virtual bool dynamicCall(uint16_t index, std::string_view& descriptor) const = 0;
    // The name of the Class entry at `index`.
    virtual bool className(uint16_t index, std::string_view& name) const = 0;
};

// One entry of a method's exception table.
struct CodeRange {
    uint32_t start, end, handler;
};

struct ConstructorCalls {
    // Every instruction reachable from the start (or from a handler) was
    // followed, and the stack agreed wherever paths meet.
    bool followed = false;
    // Every constructor called on an object made by `new` is of the class
    // that `new` names.
    bool newObjectsMatch = true;
    // The constructor's own super or this calls (their invokespecial), and
    // the stack's depth in slots right after them.
    std::vector<uint32_t> callsOnThis;
    uint32_t stackAfterCallOnThis = 0;
};

// Follows `code` (a constructor's when `isConstructor`, whose local 0 is then
// the object being built until its super or this call returns). Code it does
// not follow (subroutines, an uninitialized object stored or passed where
// the verifier would refuse it, stacks that disagree) is not `followed`.
ConstructorCalls followConstructorCalls(const uint8_t* code, std::size_t length, bool isConstructor,
                                        const std::vector<CodeRange>& handlers,
                                        const PoolEntries& pool) noexcept;

// Whether the code holds an `invokespecial` at all: only then is it worth
// following.
bool hasInvokespecial(const uint8_t* code, std::size_t length);
