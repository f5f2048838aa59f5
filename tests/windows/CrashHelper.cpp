// A JNI library whose one method faults in native code: the JVM dies in its
// crash handler, without unloading the agent.
#include <jni.h>

extern "C" JNIEXPORT void JNICALL Java_win_Dying_fault(JNIEnv*, jclass) {
    *static_cast<volatile int*>(nullptr) = 1;
}
