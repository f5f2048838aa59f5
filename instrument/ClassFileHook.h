// Rewriting classes as the VM loads them, so that each eligible method
// hands its receiver to the agent's hook: the hook class is defined once
// the VM is up, and from then on every class whose signature is not
// filtered goes through the rewriter.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <atomic>

// Defines the hook class in the boot loader and binds its native method.
// Until this has succeeded no class is rewritten.
void JNICALL onVmInit(jvmtiEnv* jvmti, JNIEnv* jni, jthread thread);

void JNICALL onClassFileLoadHook(jvmtiEnv* jvmti, JNIEnv* jni, jclass classBeingRedefined,
                                 jobject loader, const char* name, jobject protectionDomain,
                                 jint classDataLength, const unsigned char* classData,
                                 jint* newClassDataLength, unsigned char** newClassData);

// The hook method once defined, else null. Its own events are dropped; the
// test runs on every method event, so it reads the identifier in place.
extern std::atomic<jmethodID> definedHookMethod;
inline jmethodID hookMethod() { return definedHookMethod.load(std::memory_order_acquire); }
inline bool isHookMethod(jmethodID method) { return method != nullptr && method == hookMethod(); }

// Whether classes are being rewritten now.
bool classRewritingActive();

// Whether the declaring class of `method` is one this agent rewrote, so that
// a method of it beginning with a static call really calls the hook. Only
// classes of the boot and the application class loader are rewritten: each
// holds one class of a name, and both find the hook by delegation.
bool rewroteClassOf(jvmtiEnv* jvmti, JNIEnv* jni, jmethodID method);

// Forgets the hook (tests only: a fake VM's identifiers die with it).
void resetClassRewriting();
