// Rewriting classes as the VM loads them, so that each eligible method
// hands its receiver to the agent's hook (java.lang.Thread.holdsLock, whose
// native binding the agent takes over at start-up). Once the VM is up, every
// class whose signature is not filtered goes through the rewriter, whatever
// its class loader or module, and the classes loaded before are rewritten
// again where the VM lets them be, when the JDK is traced.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <atomic>

// Looks up the VM's function of the hook method, by which its binding is
// known during start-up. Called at load, before binding events are on.
void prepareHookBinding(jvmtiEnv* jvmti);

// The VM binds a native method: the hook method's binding is taken over.
void JNICALL onNativeMethodBind(jvmtiEnv* jvmti, JNIEnv* jni, jthread thread, jmethodID method,
                                void* address, void** newAddress);

// The JDK defines a class through java.lang.ClassLoader.defineClass0 (bound
// to this in the VM's function's place): a hidden class's bytes are
// rewritten on the way, since the VM never shows them to the class-loading
// hook; everything is then handed on to the VM's function.
using DefineFunction = jclass(JNICALL*)(JNIEnv*, jclass, jobject, jclass, jstring, jbyteArray,
                                        jint, jint, jobject, jboolean, jint, jobject);
jclass JNICALL onDefineClass0(JNIEnv* jni, jclass definerClass, jobject loader, jclass lookup,
                              jstring name, jbyteArray data, jint offset, jint length,
                              jobject domain, jboolean initialize, jint flags, jobject classData);

// Starts rewriting once the hook's binding was taken over, and rewrites the
// classes loaded so far.
void JNICALL onVmInit(jvmtiEnv* jvmti, JNIEnv* jni, jthread thread);

void JNICALL onClassFileLoadHook(jvmtiEnv* jvmti, JNIEnv* jni, jclass classBeingRedefined,
                                 jobject loader, const char* name, jobject protectionDomain,
                                 jint classDataLength, const unsigned char* classData,
                                 jint* newClassDataLength, unsigned char** newClassData);

// The hook method once its binding was taken over, else null. Its calls
// from rewritten code are the agent's own, never traced; the test runs on
// every method event, so it reads the identifier in place.
extern std::atomic<jmethodID> boundHookMethod;
inline jmethodID hookMethod() { return boundHookMethod.load(std::memory_order_acquire); }
inline bool isHookMethod(jmethodID method) { return method != nullptr && method == hookMethod(); }

// The VM's own function of the hook method: calls that are not a rewritten
// method's are handed on to it. Null until the binding was taken over.
using HookFunction = jboolean(JNICALL*)(JNIEnv*, jclass, jobject);
HookFunction vmHookFunction();

// Whether classes are being rewritten now.
bool classRewritingActive();

// Forgets the hook (tests only: a fake VM's identifiers die with it).
void resetClassRewriting();
