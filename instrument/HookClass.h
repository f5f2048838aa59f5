// The agent's own class that rewritten methods call: kelmora/Hook, whose one
// method `public static native void enter(Object)` is bound to the agent.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr const char* kHookClassName = "kelmora/Hook";
constexpr const char* kHookMethodName = "enter";
constexpr const char* kHookMethodDescriptor = "(Ljava/lang/Object;)V";

// The class file, made by hand: nothing but the native method, so it needs
// no code of its own and verifies trivially.
const uint8_t* hookClassBytes();
std::size_t hookClassLength();
