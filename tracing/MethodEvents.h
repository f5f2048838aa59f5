// The MethodEntry and MethodExit callbacks.
#pragma once

#include <jni.h>
#include <jvmti.h>

void JNICALL onMethodEntry(jvmtiEnv* jvmti, JNIEnv* jni, jthread thread, jmethodID method);
void JNICALL onMethodExit(jvmtiEnv* jvmti, JNIEnv* jni, jthread thread, jmethodID method,
                          jboolean wasPoppedByException, jvalue returnValue);
