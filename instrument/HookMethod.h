// The method rewritten code calls with its receiver: java.lang.Thread's
// `public static native boolean holdsLock(Object)`. Its class is loaded and
// linked before any agent code runs, and java.lang is open to every module
// and every class loader, so resolving it never fails and never links a
// class the program would not have linked (linking a class takes an
// identity hash on the linking thread). The VM binds its native at start-up;
// the agent takes that binding over and hands every call that is not a
// rewritten method's on to the VM's own function.
#pragma once

#include "instrument/ClassRewriter.h"

constexpr const char* kHookClassName = "java/lang/Thread";
constexpr const char* kHookMethodName = "holdsLock";
constexpr const char* kHookMethodDescriptor = "(Ljava/lang/Object;)Z";
// The VM's function bound to it, exported by the JVM's library (the
// decorated form is its name in a 32-bit Windows DLL).
constexpr const char* kHookVmFunction = "JVM_HoldsLock";
constexpr const char* kHookVmFunctionDecorated = "_JVM_HoldsLock@12";

inline const HookTarget& hookTarget() {
    static const HookTarget* target =
        new HookTarget{kHookClassName, kHookMethodName, kHookMethodDescriptor};
    return *target;
}
