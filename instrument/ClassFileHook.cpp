#include "instrument/ClassFileHook.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_set>

#include "agent/Agent.h"
#include "agent/AgentState.h"
#include "agent/ErrorReporting.h"
#include "instrument/ClassRewriter.h"
#include "instrument/HookClass.h"
#include "tracing/Classification.h"
#include "tracing/MethodEvents.h"
#include "tracing/MethodRecords.h"
#include "tracing/VmTexts.h"

std::atomic<jmethodID> definedHookMethod{nullptr};

namespace {

std::atomic<bool> active{false};

constexpr const char* kAppLoaderSignature = "Ljdk/internal/loader/ClassLoaders$AppClassLoader;";

enum class Loader { Boot, App, Other };

// Classes of the boot loader find the hook where it is; the application
// loader delegates its name there (the first call from one of its classes
// runs its Java code to do so: the handlers drop those events). Another
// loader need not delegate the name, or may define two classes of one name;
// its classes are left as they are.
Loader loaderOf(jvmtiEnv* jvmti, JNIEnv* jni, jobject loader) {
    if (loader == nullptr) return Loader::Boot;
    jclass cls = jni->GetObjectClass(loader);
    if (cls == nullptr) return Loader::Other;
    VmText signature(jvmti), generic(jvmti);
    if (jvmti->GetClassSignature(cls, &signature.text, &generic.text) != JVMTI_ERROR_NONE ||
        signature.text == nullptr) {
        return Loader::Other;
    }
    return std::strcmp(signature.text, kAppLoaderSignature) == 0 ? Loader::App : Loader::Other;
}

// The classes rewritten, by internal name, for the boot and the application
// loader.
struct RewrittenClasses {
    std::mutex lock;
    std::unordered_set<std::string> boot;
    std::unordered_set<std::string> app;

    std::unordered_set<std::string>& of(Loader loader) { return loader == Loader::Boot ? boot : app; }
};

RewrittenClasses& rewritten() {
    static RewrittenClasses* classes = new RewrittenClasses;  // outlives every thread
    return *classes;
}

// Defines the hook class in `loader` (null: the boot loader) and binds its
// native; its method, or null.
jmethodID defineHookClass(JNIEnv* jni, jobject loader) {
    jclass defined = jni->DefineClass(kHookClassName, loader,
                                      reinterpret_cast<const jbyte*>(hookClassBytes()),
                                      static_cast<jsize>(hookClassLength()));
    if (defined == nullptr) {
        jni->ExceptionClear();
        return nullptr;
    }
    JNINativeMethod native{const_cast<char*>(kHookMethodName),
                           const_cast<char*>(kHookMethodDescriptor),
                           reinterpret_cast<void*>(onHookCall)};
    if (jni->RegisterNatives(defined, &native, 1) != JNI_OK) {
        jni->ExceptionClear();
        return nullptr;
    }
    jmethodID method = jni->GetStaticMethodID(defined, kHookMethodName, kHookMethodDescriptor);
    if (method == nullptr) jni->ExceptionClear();
    return method;
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
                        const unsigned char* data, jint* newLength, unsigned char** newData,
                        JNIEnv* jni) {
    if (!wanted(name) || !inUnnamedModule(jvmti, loader, name)) return;
    Loader kind = loaderOf(jvmti, jni, loader);
    if (kind == Loader::Other) return;
    static const HookTarget target{kHookClassName, kHookMethodName};
    RewriteResult result = rewriteClass(data, static_cast<std::size_t>(length), target);
    if (result.outcome != ClassOutcome::Rewritten) return;
    unsigned char* copy = nullptr;
    if (jvmti->Allocate(static_cast<jlong>(result.bytes.size()), &copy) != JVMTI_ERROR_NONE ||
        copy == nullptr) {
        return;
    }
    std::memcpy(copy, result.bytes.data(), result.bytes.size());
    {
        // Known before the class exists, so before any of its methods runs.
        RewrittenClasses& classes = rewritten();
        std::lock_guard<std::mutex> guard(classes.lock);
        classes.of(kind).insert(name);
    }
    *newLength = static_cast<jint>(result.bytes.size());
    *newData = copy;
}

// Another agent (a debugger's hot swap, say) redefines a class: it keeps the
// bytes it is given, so its methods may no longer call the hook, and any
// method's new body may write local 0. The class is no longer counted as
// rewritten, and every method record is dropped, to be made again from the
// new bytecode. A debugger may hold threads suspended inside event handlers
// while it redefines: the old records are not waited for here.
void forgetRedefinedClass(jvmtiEnv* jvmti, JNIEnv* jni, jobject loader, const char* name) {
    if (name != nullptr) {
        Loader kind = loaderOf(jvmti, jni, loader);
        if (kind != Loader::Other) {
            RewrittenClasses& classes = rewritten();
            std::lock_guard<std::mutex> guard(classes.lock);
            classes.of(kind).erase(name);
        }
    }
    agentState->records->forgetAll(/*waitForReaders=*/false);
}

}  // namespace

// The class-loading hook is set and enabled here, not at load (see
// setEventCallbacks): classes loaded before the hook class exists could not
// be rewritten anyway.
void JNICALL onVmInit(jvmtiEnv* jvmti, JNIEnv* jni, jthread) {
    if (!beginAgentCallback()) return;
    try {
        bool rewrite = agentState->rewriteClasses;
        jmethodID boot = nullptr;
        if (rewrite && hookMethod() == nullptr &&
            (boot = defineHookClass(jni, nullptr)) != nullptr &&
            setEventCallbacks(jvmti, true, true) == JVMTI_ERROR_NONE &&
            jvmti->SetEventNotificationMode(JVMTI_ENABLE, JVMTI_EVENT_CLASS_FILE_LOAD_HOOK,
                                            nullptr) == JVMTI_ERROR_NONE) {
            definedHookMethod.store(boot, std::memory_order_release);
            active.store(true, std::memory_order_release);
        }
    } catch (...) {
        // Out of memory: classes load as they come.
    }
    endAgentCallback();
}

void JNICALL onClassFileLoadHook(jvmtiEnv* jvmti, JNIEnv* jni, jclass classBeingRedefined,
                                 jobject loader, const char* name, jobject, jint classDataLength,
                                 const unsigned char* classData, jint* newClassDataLength,
                                 unsigned char** newClassData) {
    if (!active.load(std::memory_order_acquire)) return;
    if (!beginAgentCallback()) return;
    try {
        if (classBeingRedefined != nullptr) {
            forgetRedefinedClass(jvmti, jni, loader, name);
        } else if (name != nullptr && classData != nullptr && classDataLength > 0) {
            // Nameless classes are never called by name.
            rewriteLoadedClass(jvmti, loader, name, classDataLength, classData,
                               newClassDataLength, newClassData, jni);
        }
    } catch (...) {
        // Out of memory: this class loads as it came.
    }
    endAgentCallback();
}

bool classRewritingActive() { return active.load(std::memory_order_acquire); }

bool rewroteClassOf(jvmtiEnv* jvmti, JNIEnv* jni, jmethodID method) {
    if (!classRewritingActive()) return false;
    jclass declaring = nullptr;
    if (jvmti->GetMethodDeclaringClass(method, &declaring) != JVMTI_ERROR_NONE ||
        declaring == nullptr) {
        return false;
    }
    jobject loader = nullptr;
    if (jvmti->GetClassLoader(declaring, &loader) != JVMTI_ERROR_NONE) return false;
    Loader kind = loaderOf(jvmti, jni, loader);
    if (kind == Loader::Other) return false;
    VmText signature(jvmti), generic(jvmti);
    if (jvmti->GetClassSignature(declaring, &signature.text, &generic.text) != JVMTI_ERROR_NONE ||
        signature.text == nullptr) {
        return false;
    }
    std::size_t length = std::strlen(signature.text);
    if (length < 3 || signature.text[0] != 'L' || signature.text[length - 1] != ';') return false;
    std::string name(signature.text + 1, length - 2);
    RewrittenClasses& classes = rewritten();
    std::lock_guard<std::mutex> guard(classes.lock);
    return classes.of(kind).count(name) != 0;
}

void resetClassRewriting() {
    active.store(false);
    definedHookMethod.store(nullptr);

    RewrittenClasses& classes = rewritten();
    std::lock_guard<std::mutex> guard(classes.lock);
    classes.boot.clear();
    classes.app.clear();
}
