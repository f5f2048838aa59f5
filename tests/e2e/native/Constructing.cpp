// A constructor called through JNI's NewObject, for the end-to-end
// program app.Constructions.
#include <jni.h>

extern "C" JNIEXPORT jobject JNICALL Java_app_Constructions_makeByJni(JNIEnv* env, jclass,
                                                                       jclass type) {
    jmethodID constructor = env->GetMethodID(type, "<init>", "()V");
    return constructor != nullptr ? env->NewObject(type, constructor) : nullptr;
}
