#include "instrument/ClassFileHook.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "agent/Agent.h"
#include "agent/AgentState.h"
#include "agent/ErrorReporting.h"
#include "instrument/ClassRewriter.h"
#include "instrument/HookField.h"
#include "instrument/HookReferences.h"
#include "instrument/LibrarySymbols.h"
#include "instrument/NamedModules.h"
#include "tracing/Classification.h"
#include "tracing/MethodEvents.h"
#include "tracing/MethodRecords.h"
#include "tracing/VmTexts.h"

namespace {

std::atomic<bool> active{false};
// java.lang.Object is traced, so the JDK's classes are. Then classes of named
// modules are rewritten without first preparing their modules: with the JDK
// traced, identity hashes move anyway (a class HotSpot would take from its
// archive gets, rewritten, a new class object whose identity hash is taken
// when it is linked). Otherwise a named module is prepared before its first
// class is rewritten (instrument/NamedModules).
std::atomic<bool> jdkTraced{false};
// The hook field's class, once defined (a global reference), and the field.
std::atomic<jclass> hookClass{nullptr};
std::atomic<jfieldID> hookField{nullptr};
// The VM's function behind the method through which the JDK defines hidden
// classes (a lambda's class, say): the VM never shows those to the
// class-loading hook, so their bytes are rewritten on their way to it.
constexpr const char* kDefinerClassName = "java/lang/ClassLoader";
constexpr const char* kDefinerMethodName = "defineClass0";
constexpr const char* kDefinerMethodDescriptor =
    "(Ljava/lang/ClassLoader;Ljava/lang/Class;Ljava/lang/String;[BIILjava/security/"
    "ProtectionDomain;ZILjava/lang/Object;)Ljava/lang/Class;";
constexpr const char* kDefinerVmFunction = "Java_java_lang_ClassLoader_defineClass0";
constexpr const char* kDefinerVmFunctionDecorated = "_Java_java_lang_ClassLoader_defineClass0@48";
// The flag of a hidden class among defineClass0's.
constexpr jint kHiddenClassFlag = 0x2;
std::atomic<DefineFunction> vmDefineFunction{nullptr};

// Classes the agent itself is retransforming on this thread: their load
// hook rewrites them as if they were loaded now.
thread_local bool retransformingHere = false;

constexpr jint kRetransformBatch = 64;

// Whether the method being bound is `className`.`methodName` of that
// descriptor. The names can only be asked once the VM has started:
// `unnamed` is set when they cannot (a binding during start-up is then known
// by its function's address).
bool isMethodNamed(jvmtiEnv* jvmti, jmethodID method, const char* className,
                   const char* methodName, const char* descriptor, bool& unnamed) {
    VmText name(jvmti), signature(jvmti), classSignature(jvmti);
    jclass declaring = nullptr;
    if (jvmti->GetMethodName(method, &name.text, &signature.text, nullptr) != JVMTI_ERROR_NONE) {
        unnamed = true;
        return false;
    }
    // Most natives bound are others: their name alone tells.
    if (name.text == nullptr || signature.text == nullptr ||
        std::strcmp(name.text, methodName) != 0 || std::strcmp(signature.text, descriptor) != 0 ||
        jvmti->GetMethodDeclaringClass(method, &declaring) != JVMTI_ERROR_NONE ||
        jvmti->GetClassSignature(declaring, &classSignature.text, nullptr) != JVMTI_ERROR_NONE ||
        classSignature.text == nullptr) {
        return false;
    }
    return std::string("L") + className + ";" == classSignature.text;
}

// Whether a class of this signature may be rewritten: not filtered, not the
// hook's own, the agent still live.
bool wantedSignature(const char* signature) {
    if (signature == nullptr || signature[0] != 'L') return false;
    if (std::strncmp(signature + 1, kHookClassName, std::strlen(kHookClassName)) == 0 &&
        std::strcmp(signature + 1 + std::strlen(kHookClassName), ";") == 0) {
        return false;
    }
    AgentMonitorScope lock;
    return lock.held() && isAgentLive() && !isFilteredClass(signature);
}

bool wanted(const char* name) {
    std::string signature;
    signature.reserve(std::strlen(name) + 2);
    signature.push_back('L');
    signature.append(name);
    signature.push_back(';');
    return wantedSignature(signature.c_str());
}

// Whether the class's module lets it be rewritten: an unnamed module, or a
// named one while the JDK is traced or once prepared. False too when the
// module cannot be told.
bool moduleAllowsRewriting(jvmtiEnv* jvmti, JNIEnv* jni, jobject loader, const char* name) {
    if (jdkTraced.load(std::memory_order_relaxed)) return true;
    const char* slash = std::strrchr(name, '/');
    std::string package = slash != nullptr ? std::string(name, slash) : std::string();
    jobject named = nullptr;
    if (jvmti->GetNamedModule(loader, package.c_str(), &named) != JVMTI_ERROR_NONE) return false;
    if (named == nullptr) return true;
    bool prepared = isPreparedModule(jvmti, jni, named);
    jni->DeleteLocalRef(named);
    return prepared;
}

void rewriteLoadedClass(jvmtiEnv* jvmti, JNIEnv* jni, jobject loader, const char* name,
                        jint length, const unsigned char* data, jint* newLength,
                        unsigned char** newData) {
    if (!wanted(name) || !moduleAllowsRewriting(jvmti, jni, loader, name)) return;
    RewriteResult result = rewriteClass(data, static_cast<std::size_t>(length), hookTarget());
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

// The rewritten bytes of a hidden class the JDK defines (a lambda's class,
// say), as a new array; null when it stays as it came: not wanted, not
// rewritten, bounds the VM will refuse anyway, no memory. Nothing is left
// pending on the thread.
jbyteArray rewrittenHiddenClass(JNIEnv* jni, jbyteArray data, jint offset, jint length) {
    jsize size = jni->GetArrayLength(data);
    if (offset < 0 || length <= 0 || offset > size || length > size - offset) return nullptr;
    std::vector<uint8_t> bytes(static_cast<std::size_t>(length));
    jni->GetByteArrayRegion(data, offset, length, reinterpret_cast<jbyte*>(bytes.data()));
    if (jni->ExceptionCheck()) {
        jni->ExceptionClear();
        return nullptr;
    }
    RewriteResult result = rewriteClass(bytes.data(), bytes.size(), hookTarget());
    if (result.outcome != ClassOutcome::Rewritten || !wanted(result.className.c_str())) {
        return nullptr;
    }
    auto newLength = static_cast<jsize>(result.bytes.size());
    jbyteArray rewritten = jni->NewByteArray(newLength);
    if (rewritten != nullptr) {
        jni->SetByteArrayRegion(rewritten, 0, newLength,
                                reinterpret_cast<const jbyte*>(result.bytes.data()));
    }
    if (jni->ExceptionCheck()) {
        // Out of memory of the agent's making: the class is defined as it came.
        jni->ExceptionClear();
        if (rewritten != nullptr) jni->DeleteLocalRef(rewritten);
        return nullptr;
    }
    return rewritten;
}

// Another agent (a debugger's hot swap, say) redefines a class: it keeps the
// bytes it is given, so its methods may no longer call the hook, and any
// method's new body may write local 0 or hold another constant pool. Every
// method record is dropped, to be made again from the new bytecode. A
// debugger may hold threads suspended inside event handlers while it
// redefines: the old records are not waited for here.
void forgetRedefinedClass(JNIEnv* jni) {
    forgetHookReferences(jni);
    agentState->records->forgetAll(/*waitForReaders=*/false);
}

// The classes the VM loaded before the hook could be used (the JDK's, at
// start-up) are rewritten through the VM's retransformation, a batch at a
// time; a batch the VM refuses is tried class by class, and a class it
// still refuses keeps its bytes, and its receivers are fetched.
void retransformLoadedClasses(jvmtiEnv* jvmti, JNIEnv* jni) {
    jint count = 0;
    jclass* loaded = nullptr;
    if (jvmti->GetLoadedClasses(&count, &loaded) != JVMTI_ERROR_NONE || loaded == nullptr) return;
    std::vector<jclass> classes;
    for (jint i = 0; i < count; ++i) {
        jboolean modifiable = JNI_FALSE;
        VmText signature(jvmti);
        if (jvmti->IsModifiableClass(loaded[i], &modifiable) == JVMTI_ERROR_NONE && modifiable &&
            jvmti->GetClassSignature(loaded[i], &signature.text, nullptr) == JVMTI_ERROR_NONE &&
            wantedSignature(signature.text)) {
            classes.push_back(loaded[i]);
        }
    }
    jvmti->Deallocate(reinterpret_cast<unsigned char*>(loaded));
    if (classes.empty()) return;
    AgentWorkScope work;
    retransformingHere = true;
    for (std::size_t at = 0; at < classes.size(); at += kRetransformBatch) {
        jint batch = static_cast<jint>(std::min<std::size_t>(kRetransformBatch, classes.size() - at));
        if (jvmti->RetransformClasses(batch, &classes[at]) == JVMTI_ERROR_NONE) continue;
        for (jint i = 0; i < batch; ++i) {
            checkJvmtiError(jvmti->RetransformClasses(1, &classes[at + i]),
                            "Cannot rewrite a class loaded before the VM started.");
        }
    }
    retransformingHere = false;
    // Methods met during start-up were judged by their old bytecode.
    forgetHookReferences(jni);
    agentState->records->forgetAll();
}

}  // namespace

void JNICALL onNativeMethodBind(jvmtiEnv* jvmti, JNIEnv*, jthread, jmethodID method,
                                void* address, void** newAddress) {
    void* ourDefiner = reinterpret_cast<void*>(onDefineClass0);
    if (address == nullptr || newAddress == nullptr || address == ourDefiner) return;
    bool definer = false;
    if (beginAgentCallback()) {
        try {
            bool unnamed = false;
            definer = isMethodNamed(jvmti, method, kDefinerClassName, kDefinerMethodName,
                                    kDefinerMethodDescriptor, unnamed);
            // Some launchers (javac's) have the JDK bind it while the VM
            // starts, before any name can be asked: its function's own name
            // in its library tells then.
            if (unnamed) {
                definer = symbolBeside(address, kDefinerVmFunction, kDefinerVmFunctionDecorated) ==
                          address;
            }
        } catch (...) {
        }
        endAgentCallback();
    }
    if (!definer) return;
    vmDefineFunction.store(reinterpret_cast<DefineFunction>(address));
    *newAddress = ourDefiner;
}

jclass JNICALL onDefineClass0(JNIEnv* jni, jclass definerClass, jobject loader, jclass lookup,
                              jstring name, jbyteArray data, jint offset, jint length,
                              jobject domain, jboolean initialize, jint flags, jobject classData) {
    DefineFunction vm = vmDefineFunction.load();
    if (vm == nullptr) return nullptr;
    jbyteArray rewritten = nullptr;
    // Other classes defined here come to the class-loading hook as usual.
    if ((flags & kHiddenClassFlag) != 0 && data != nullptr && classRewritingActive() &&
        beginAgentCallback()) {
        try {
            rewritten = rewrittenHiddenClass(jni, data, offset, length);
        } catch (...) {
            // Out of memory: the class is defined as it came.
        }
        endAgentCallback();
    }
    if (rewritten == nullptr) {
        return vm(jni, definerClass, loader, lookup, name, data, offset, length, domain,
                  initialize, flags, classData);
    }
    jclass defined = vm(jni, definerClass, loader, lookup, name, rewritten, 0,
                        jni->GetArrayLength(rewritten), domain, initialize, flags, classData);
    jni->DeleteLocalRef(rewritten);
    return defined;
}

namespace {

// Makes the VM initialize the hook field's class on the calling thread
// (asking for the field does) and keeps the field.
void initializeHookClass(JNIEnv* jni) {
    jclass cls = hookClass.load();
    jfieldID field = cls != nullptr ? jni->GetStaticFieldID(cls, kHookFieldName, kHookFieldDescriptor)
                                    : nullptr;
    if (jni->ExceptionCheck()) {
        jni->ExceptionClear();
        field = nullptr;
    }
    hookField.store(field);
}

// Defines the hook field's class in the boot loader. Defining it takes no
// identity hash; initializing it takes one, so that is done on the agent's
// own thread where the program's hashes would move otherwise.
bool defineHookClass(JNIEnv* jni) {
    std::vector<uint8_t> bytes = hookClassFile(hookTarget());
    AgentWorkScope work;
    jclass defined = jni->DefineClass(kHookClassName, nullptr, reinterpret_cast<const jbyte*>(bytes.data()),
                                      static_cast<jsize>(bytes.size()));
    if (jni->ExceptionCheck()) {
        // Already defined by another agent, say: nothing is rewritten.
        jni->ExceptionClear();
        return false;
    }
    jclass kept = defined != nullptr ? static_cast<jclass>(jni->NewGlobalRef(defined)) : nullptr;
    if (defined != nullptr) jni->DeleteLocalRef(defined);
    hookClass.store(kept);
    return kept != nullptr;
}

// Every store to the hook field is reported from now on.
bool watchHookField(jvmtiEnv* jvmti) {
    jfieldID field = hookField.load();
    return field != nullptr && jvmti->SetFieldModificationWatch(hookClass.load(), field) == JVMTI_ERROR_NONE &&
           jvmti->SetEventNotificationMode(JVMTI_ENABLE, JVMTI_EVENT_FIELD_MODIFICATION, nullptr) ==
               JVMTI_ERROR_NONE;
}

}  // namespace

// The class-loading hook is set and enabled here, not at load (see
// setEventCallbacks): rewritten code can only run once the VM is up.
void JNICALL onVmInit(jvmtiEnv* jvmti, JNIEnv* jni, jthread thread) {
    if (!beginAgentCallback()) return;
    try {
        AgentState* state = agentState;
        {
            AgentMonitorScope lock;
            jdkTraced.store(!isFilteredClass("Ljava/lang/Object;"));
        }
        bool hooked = state->rewriteClasses && defineHookClass(jni);
        // With the JDK traced, identity hashes move anyway (see jdkTraced).
        if (hooked && !jdkTraced.load()) {
            hooked = startPreparingModules(jvmti, jni, thread, initializeHookClass);
        } else if (hooked) {
            initializeHookClass(jni);
        }
        if (hooked && watchHookField(jvmti) && setEventCallbacks(jvmti, true, true) == JVMTI_ERROR_NONE &&
            jvmti->SetEventNotificationMode(JVMTI_ENABLE, JVMTI_EVENT_CLASS_FILE_LOAD_HOOK,
                                            nullptr) == JVMTI_ERROR_NONE) {
            active.store(true, std::memory_order_release);
            // The classes loaded so far are the JDK's, in named modules.
            if (state->retransformClasses && jdkTraced.load()) retransformLoadedClasses(jvmti, jni);
        }
    } catch (...) {
        // Out of memory: classes load as they come.
        retransformingHere = false;
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
        if (classBeingRedefined != nullptr && !retransformingHere) {
            forgetRedefinedClass(jni);
        } else if (name != nullptr && classData != nullptr && classDataLength > 0) {
            keepHashOrderAtClassLoad(jni);
            // Nameless classes are never called by name.
            rewriteLoadedClass(jvmti, jni, loader, name, classDataLength, classData,
                               newClassDataLength, newClassData);
        }
    } catch (...) {
        // Out of memory: this class loads as it came.
    }
    endAgentCallback();
}

void forgetHookReceiver(JNIEnv* jni) {
    jclass cls = hookClass.load();
    jfieldID field = hookField.load();
    if (cls == nullptr || field == nullptr || !active.load(std::memory_order_acquire)) return;
    // The VM reports this store too: the agent's own, dropped.
    AgentWorkScope work;
    jni->SetStaticObjectField(cls, field, nullptr);
    if (jni->ExceptionCheck()) jni->ExceptionClear();
}

bool classRewritingActive() { return active.load(std::memory_order_acquire); }

void resetClassRewriting() {
    active.store(false);
    jdkTraced.store(false);
    stopPreparingModules();
    hookClass.store(nullptr);
    hookField.store(nullptr);
    vmDefineFunction.store(nullptr);
}
