// Where rewritten code hands its receiver: it stores it in `receiver`, a
// public static field of java.lang.KelmoraHook, a class of the agent's own
// that it defines in the boot loader at start-up. The VM tells the agent of
// every store to the field (a modification watch), with the value: one
// event, where a call of a hook method costs an entry, an exit and the call.
// Its package, java.lang, is open to every module, and every class loader
// finds its classes through the boot loader, so resolving the field never
// fails. The class has no method and no initializer; it is initialized
// where the identity hash that takes is not a program thread's.
#pragma once

#include "instrument/ClassRewriter.h"

constexpr const char* kHookClassName = "java/lang/KelmoraHook";
constexpr const char* kHookFieldName = "receiver";
constexpr const char* kHookFieldDescriptor = "Ljava/lang/Object;";

inline const HookTarget& hookTarget() {
    static const HookTarget* target =
        new HookTarget{kHookClassName, kHookFieldName, kHookFieldDescriptor};
    return *target;
}
