// The MethodEntry and MethodExit callbacks, and the class-unload callback
// that keeps the method records true.
#pragma once

#include <jni.h>
#include <jvmti.h>

void JNICALL onMethodEntry(jvmtiEnv* jvmti, JNIEnv* jni, jthread thread, jmethodID method);
void JNICALL onMethodExit(jvmtiEnv* jvmti, JNIEnv* jni, jthread thread, jmethodID method,
                          jboolean wasPoppedByException, jvalue returnValue);
// A store to the hook field (the VM reports no other): made first by every
// rewritten method with its receiver, or by a rewritten constructor with its
// object once its super call returned.
void JNICALL onHookStore(jvmtiEnv* jvmti, JNIEnv* jni, jthread thread, jmethodID method,
                         jlocation location, jclass fieldClass, jobject object, jfieldID field,
                         char signatureType, jvalue value);
// Where tags take identity hashes: a class is being loaded on this thread,
// which may make the VM take some; objects waiting for their tags there are
// tagged first.
void keepHashOrderAtClassLoad(JNIEnv* jni);
// While one lives on a thread, that thread does the agent's own work (such
// as retransforming classes), and the Java code the VM runs for it there
// (making a module read others, say) is not the program's: not traced.
class AgentWorkScope {
public:
    AgentWorkScope();
    ~AgentWorkScope();
    AgentWorkScope(const AgentWorkScope&) = delete;
    AgentWorkScope& operator=(const AgentWorkScope&) = delete;
};

// HotSpot's class-unload extension event; its parameters are not used.
void JNICALL onClassUnload(jvmtiEnv* jvmti, ...);
