// The three tests that decide how a method event is treated.
#pragma once

#include <jvmti.h>

// True when the method is taken as static: the number of parameters in its
// signature equals its argument size in slots. A receiver takes one slot and
// a long or double two, so an instance method, a static method with a long
// or double parameter and a native method (whose size the VM cannot tell)
// are all taken as instance methods.
bool isStaticBySignature(jmethodID method, const char* signature);
// The same with the result of GetArgumentsSize already in hand.
bool isStaticBySignature(jvmtiError sizeError, jint slots, const char* signature);

// True when the class signature begins with one of the filter entries.
bool isFilteredClass(const char* classSignature);

// True when classSignature + name + ";" + signature is an activation entry.
bool isActivationMethod(const char* name, const char* signature, const char* classSignature);
