// The rewriter and the VM's class status, for the Java program that checks
// rewritten classes in a real VM. Test-only; never part of the agent.
#include <jni.h>
#include <jvmti.h>

#include "instrument/ClassRewriter.h"

namespace {
jvmtiEnv* jvmti = nullptr;
const HookTarget kHook{"kelmora/Hook", "last"};
}  // namespace

extern "C" JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM* vm, void*) {
    if (vm->GetEnv(reinterpret_cast<void**>(&jvmti), JVMTI_VERSION_1_2) != JNI_OK) jvmti = nullptr;
    return JNI_VERSION_1_8;
}

// Returns the outcome's name; puts the new bytes (or null) into out[0] and
// the methods by outcome into methodCounts.
extern "C" JNIEXPORT jstring JNICALL Java_verify_VerifyRewrites_rewrite(
    JNIEnv* env, jclass, jbyteArray original, jobjectArray out, jintArray methodCounts) {
    jsize length = env->GetArrayLength(original);
    jbyte* bytes = env->GetByteArrayElements(original, nullptr);
    if (!bytes) return nullptr;
    RewriteResult result =
        rewriteClass(reinterpret_cast<const uint8_t*>(bytes), static_cast<std::size_t>(length), kHook);
    env->ReleaseByteArrayElements(original, bytes, JNI_ABORT);
    jbyteArray rewritten = nullptr;
    if (result.outcome == ClassOutcome::Rewritten) {
        rewritten = env->NewByteArray(static_cast<jsize>(result.bytes.size()));
        if (!rewritten) return nullptr;
        env->SetByteArrayRegion(rewritten, 0, static_cast<jsize>(result.bytes.size()),
                                reinterpret_cast<const jbyte*>(result.bytes.data()));
    }
    env->SetObjectArrayElement(out, 0, rewritten);
    jint counts[static_cast<std::size_t>(MethodOutcome::Count)];
    for (std::size_t i = 0; i < result.methods.size(); ++i) counts[i] = static_cast<jint>(result.methods[i]);
    env->SetIntArrayRegion(methodCounts, 0, static_cast<jsize>(result.methods.size()), counts);
    return env->NewStringUTF(classOutcomeName(result.outcome));
}

extern "C" JNIEXPORT jobjectArray JNICALL Java_verify_VerifyRewrites_methodOutcomeNames(JNIEnv* env,
                                                                                          jclass) {
    constexpr jsize count = static_cast<jsize>(MethodOutcome::Count);
    jobjectArray names = env->NewObjectArray(count, env->FindClass("java/lang/String"), nullptr);
    if (!names) return nullptr;
    for (jsize i = 0; i < count; ++i) {
        env->SetObjectArrayElement(names, i,
                                   env->NewStringUTF(methodOutcomeName(static_cast<MethodOutcome>(i))));
    }
    return names;
}

// JVMTI's class status bits, or -1 when they cannot be had.
extern "C" JNIEXPORT jint JNICALL Java_verify_VerifyRewrites_classStatus(JNIEnv*, jclass, jclass klass) {
    jint status = 0;
    if (!jvmti || jvmti->GetClassStatus(klass, &status) != JVMTI_ERROR_NONE) return -1;
    return status;
}
