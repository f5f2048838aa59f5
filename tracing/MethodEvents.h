// The MethodEntry and MethodExit callbacks, and the class-unload callback
// that keeps the method records true.
#pragma once

#include <jni.h>
#include <jvmti.h>

void JNICALL onMethodEntry(jvmtiEnv* jvmti, JNIEnv* jni, jthread thread, jmethodID method);
void JNICALL onMethodExit(jvmtiEnv* jvmti, JNIEnv* jni, jthread thread, jmethodID method,
                          jboolean wasPoppedByException, jvalue returnValue);
// The native of the hook class, called first by every rewritten method with
// its receiver.
void JNICALL onHookCall(JNIEnv* jni, jclass hookClass, jobject receiver);
// HotSpot's class-unload extension event; its parameters are not used.
void JNICALL onClassUnload(jvmtiEnv* jvmti, ...);
