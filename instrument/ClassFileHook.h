// Rewriting classes as the VM loads them, so that each eligible method
// hands its receiver to the agent's hook (a static field of a class the
// agent defines at start-up, whose stores the VM reports). Once the VM is up, every
// class whose signature is not filtered goes through the rewriter, whatever
// its class loader or module, and the classes loaded before are rewritten
// again where the VM lets them be, when the JDK is traced.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <atomic>

// The VM binds a native method: java.lang.ClassLoader.defineClass0's
// binding is taken over.
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

// Defines the hook field's class and watches its field, starts rewriting,
// and rewrites the classes loaded so far.
void JNICALL onVmInit(jvmtiEnv* jvmti, JNIEnv* jni, jthread thread);

void JNICALL onClassFileLoadHook(jvmtiEnv* jvmti, JNIEnv* jni, jclass classBeingRedefined,
                                 jobject loader, const char* name, jobject protectionDomain,
                                 jint classDataLength, const unsigned char* classData,
                                 jint* newClassDataLength, unsigned char** newClassData);

// Clears the hook field, which holds the last receiver any thread stored
// there: before the program asks for a garbage collection, so that it
// keeps no object alive the program would see collected.
void forgetHookReceiver(JNIEnv* jni);

// Whether classes are being rewritten now.
bool classRewritingActive();

// Forgets the hook (tests only: a fake VM's identifiers die with it).
void resetClassRewriting();
