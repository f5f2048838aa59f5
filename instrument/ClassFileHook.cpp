#include "instrument/ClassFileHook.h"

#include <atomic>
#include <cstring>
#include <string>

#include "agent/AgentState.h"
#include "agent/ErrorReporting.h"
#include "instrument/ClassRewriter.h"
#include "instrument/HookClass.h"
#include "tracing/Classification.h"

std::atomic<jmethodID> definedHookMethod{nullptr};

namespace {

std::atomic<bool> active{false};

// Called first by every rewritten method, with its receiver. The event
// handlers do not take receivers from it yet: nothing to do.
void JNICALL hookEnter(JNIEnv*, jclass, jobject) {}

bool defineHookClass(JNIEnv* jni) {
    jclass defined = jni->DefineClass(kHookClassName, nullptr,
                                      reinterpret_cast<const jbyte*>(hookClassBytes()),
                                      static_cast<jsize>(hookClassLength()));
    if (defined == nullptr) {
        jni->ExceptionClear();
        return false;
    }
    JNINativeMethod native{const_cast<char*>(kHookMethodName),
                           const_cast<char*>(kHookMethodDescriptor),
                           reinterpret_cast<void*>(hookEnter)};
    if (jni->RegisterNatives(defined, &native, 1) != JNI_OK) {
        jni->ExceptionClear();
        return false;
    }
    jmethodID method = jni->GetStaticMethodID(defined, kHookMethodName, kHookMethodDescriptor);
    if (method == nullptr) {
        jni->ExceptionClear();
        return false;
    }
    definedHookMethod.store(method, std::memory_order_release);
    return true;
}

// Whether the class may be rewritten: not filtered, the agent still live.
bool wanted(const char* name) {
    std::string signature;
    signature.reserve(std::strlen(name) + 2);
    signature.push_back('L');
    signature.append(name);
    signature.push_back(';');
    AgentMonitorScope lock;
    return lock.held() && isAgentLive() && !isFilteredClass(signature.c_str());
}

// Only classes of unnamed modules are rewritten: those read every module,
// the hook's too. A named module would have to be made to read the hook's
// module, and AddModuleReads runs Java code of the JDK on the loading
// thread, whose method events would be traced; such classes keep the fetch.
bool inUnnamedModule(jvmtiEnv* jvmti, jobject loader, const char* name) {
    const char* slash = std::strrchr(name, '/');
    std::string package = slash != nullptr ? std::string(name, slash) : std::string();
    jobject named = nullptr;
    if (jvmti->GetNamedModule(loader, package.c_str(), &named) != JVMTI_ERROR_NONE) return false;
    return named == nullptr;
}

void rewriteLoadedClass(jvmtiEnv* jvmti, jobject loader, const char* name, jint length,
                        const unsigned char* data, jint* newLength, unsigned char** newData) {
    if (!wanted(name) || !inUnnamedModule(jvmti, loader, name)) return;
    static const HookTarget target{kHookClassName, kHookMethodName};
    RewriteResult result = rewriteClass(data, static_cast<std::size_t>(length), target);
    if (result.outcome != ClassOutcome::Rewritten) return;
    unsigned char* copy = nullptr;
    if (jvmti->Allocate(static_cast<jlong>(result.bytes.size()), &copy) != JVMTI_ERROR_NONE ||
        copy == nullptr) {
        return;
    }
    std::memcpy(copy, result.bytes.data(), result.bytes.size());
    *newLength = static_cast<jint>(result.bytes.size());
    *newData = copy;
}

}  // namespace

void JNICALL onVmInit(jvmtiEnv*, JNIEnv* jni, jthread) {
    if (!beginAgentCallback()) return;
    try {
        bool rewrite = agentState->rewriteClasses;
        if (rewrite && hookMethod() == nullptr && defineHookClass(jni)) {
            active.store(true, std::memory_order_release);
        }
    } catch (...) {
        // Out of memory: classes load as they come.
    }
    endAgentCallback();
}

void JNICALL onClassFileLoadHook(jvmtiEnv* jvmti, JNIEnv*, jclass classBeingRedefined,
                                 jobject loader, const char* name, jobject, jint classDataLength,
                                 const unsigned char* classData, jint* newClassDataLength,
                                 unsigned char** newClassData) {
    // Redefined classes keep what they are given; nameless ones are never
    // called by name, and the hook class stays as it is.
    if (!active.load(std::memory_order_acquire) || classBeingRedefined != nullptr ||
        name == nullptr || classData == nullptr || classDataLength <= 0) {
        return;
    }
    if (!beginAgentCallback()) return;
    try {
        rewriteLoadedClass(jvmti, loader, name, classDataLength, classData, newClassDataLength,
                           newClassData);
    } catch (...) {
        // Out of memory: this class loads as it came.
    }
    endAgentCallback();
}

bool classRewritingActive() { return active.load(std::memory_order_acquire); }

void resetClassRewriting() {
    active.store(false);
    definedHookMethod.store(nullptr);
}
