#include "instrument/NamedModules.h"

#include <chrono>
#include <cstring>
#include <mutex>
#include <vector>

#include "tracing/MethodEvents.h"
#include "tracing/VmTexts.h"

std::atomic<jmethodID> moduleUpcallMethod{nullptr};

namespace {

// Ample for a few hundred modules; past it, named modules keep their
// classes as they are.
constexpr auto kPreparationTime = std::chrono::seconds(10);
constexpr jlong kWaitSliceMs = 100;

const char kModulesClass[] = "Ljdk/internal/module/Modules;";

// Shared by the agent's thread and the threads that wait for it; never
// freed, since a thread that did not finish in time still writes to it.
struct Preparation {
    jrawMonitorID monitor = nullptr;
    bool done = false;
    bool abandoned = false;
    std::chrono::steady_clock::time_point deadline;
};

std::atomic<Preparation*> running{nullptr};
// Set once `prepared` is final: the preparation ended, failed, or was given
// up on.
std::atomic<bool> settled{true};
std::mutex preparedLock;
std::vector<jobject> prepared;  // global references
// The agent's thread itself: classes it makes the VM load never wait for it.
thread_local bool preparingHere = false;

// Under the preparation's monitor.
void settle(Preparation* preparation, std::vector<jobject>* named) {
    if (named != nullptr && !preparation->abandoned) {
        std::lock_guard<std::mutex> guard(preparedLock);
        prepared.swap(*named);
    }
    preparation->done = true;
    settled.store(true, std::memory_order_release);
}

// Waits, on a thread about to rewrite a class of a named module, until the
// preparation has ended or its time is up.
void waitForPreparation(jvmtiEnv* jvmti) {
    Preparation* preparation = running.load(std::memory_order_acquire);
    if (preparation == nullptr || jvmti->RawMonitorEnter(preparation->monitor) != JVMTI_ERROR_NONE) {
        return;
    }
    while (!preparation->done) {
        if (std::chrono::steady_clock::now() >= preparation->deadline) {
            preparation->abandoned = true;
            settle(preparation, nullptr);
            break;
        }
        if (jvmti->RawMonitorWait(preparation->monitor, kWaitSliceMs) != JVMTI_ERROR_NONE) break;
    }
    jvmti->RawMonitorExit(preparation->monitor);
}

// HotSpot's own code for a module's first rewritten class, found among the
// loaded classes so that no class loader's code runs.
jmethodID findTransformedByAgent(jvmtiEnv* jvmti, JNIEnv* jni, jclass* modulesClass) {
    jint count = 0;
    jclass* loaded = nullptr;
    if (jvmti->GetLoadedClasses(&count, &loaded) != JVMTI_ERROR_NONE || loaded == nullptr) return nullptr;
    jclass found = nullptr;
    for (jint i = 0; i < count; ++i) {
        VmText signature(jvmti);
        if (found == nullptr &&
            jvmti->GetClassSignature(loaded[i], &signature.text, nullptr) == JVMTI_ERROR_NONE &&
            signature.text != nullptr && std::strcmp(signature.text, kModulesClass) == 0) {
            found = loaded[i];
        } else {
            jni->DeleteLocalRef(loaded[i]);
        }
    }
    jvmti->Deallocate(reinterpret_cast<unsigned char*>(loaded));
    jmethodID method =
        found != nullptr ? jni->GetStaticMethodID(found, "transformedByAgent", "(Ljava/lang/Module;)V")
                         : nullptr;
    if (jni->ExceptionCheck()) jni->ExceptionClear();
    *modulesClass = found;
    moduleUpcallMethod.store(method);
    return method;
}

// Runs HotSpot's code for the first rewritten class of each named module
// here, before any is rewritten: it adds the reads HotSpot would add then,
// and the identity hashes it takes, and the classes it links (whose mirrors
// the verifier hashes), are taken on this thread. HotSpot runs it again at
// the first rewritten class, and then it finds everything done.
bool prepareModules(jvmtiEnv* jvmti, JNIEnv* jni, std::vector<jobject>& named) {
    jclass modulesClass = nullptr;
    jmethodID transformedByAgent = findTransformedByAgent(jvmti, jni, &modulesClass);
    jint count = 0;
    jobject* modules = nullptr;
    if (transformedByAgent == nullptr ||
        jvmti->GetAllModules(&count, &modules) != JVMTI_ERROR_NONE || modules == nullptr) {
        return false;
    }
    jclass moduleClass = count > 0 ? jni->GetObjectClass(modules[0]) : nullptr;
    jfieldID nameField =
        moduleClass != nullptr ? jni->GetFieldID(moduleClass, "name", "Ljava/lang/String;") : nullptr;
    if (jni->ExceptionCheck()) jni->ExceptionClear();
    bool prepared = nameField != nullptr;
    for (jint i = 0; i < count; ++i) {
        jobject module = modules[i];
        jobject name = prepared ? jni->GetObjectField(module, nameField) : nullptr;
        if (name != nullptr) {
            jni->CallStaticVoidMethod(modulesClass, transformedByAgent, module);
            jobject kept = jni->NewGlobalRef(module);
            prepared = !jni->ExceptionCheck() && kept != nullptr;
            if (kept != nullptr) named.push_back(kept);
            jni->DeleteLocalRef(name);
        }
        jni->DeleteLocalRef(module);
    }
    if (jni->ExceptionCheck()) jni->ExceptionClear();
    if (moduleClass != nullptr) jni->DeleteLocalRef(moduleClass);
    jvmti->Deallocate(reinterpret_cast<unsigned char*>(modules));
    return prepared;
}

void JNICALL prepareOnAgentThread(jvmtiEnv* jvmti, JNIEnv* jni, void* argument) {
    auto* preparation = static_cast<Preparation*>(argument);
    preparingHere = true;
    std::vector<jobject> named;
    bool succeeded = false;
    {
        AgentWorkScope work;
        try {
            succeeded = prepareModules(jvmti, jni, named);
        } catch (...) {
            // Out of memory: nothing is prepared.
        }
    }
    if (!succeeded) {
        for (jobject module : named) jni->DeleteGlobalRef(module);
        named.clear();
    }
    if (jvmti->RawMonitorEnter(preparation->monitor) != JVMTI_ERROR_NONE) return;
    if (!preparation->done) settle(preparation, &named);
    jvmti->RawMonitorNotifyAll(preparation->monitor);
    jvmti->RawMonitorExit(preparation->monitor);
    // Left here when given up on, or on failure.
    for (jobject module : named) jni->DeleteGlobalRef(module);
}

// A java.lang.Thread for the agent's thread, made by its constructor with
// a name (so that the program's numbered thread names stay as they are).
jthread newThreadObject(JNIEnv* jni, jthread current) {
    AgentWorkScope work;
    jclass threadClass = jni->GetObjectClass(current);
    if (threadClass == nullptr) return nullptr;
    jmethodID constructor = jni->GetMethodID(threadClass, "<init>", "(Ljava/lang/String;)V");
    jstring name = constructor != nullptr ? jni->NewStringUTF("Kelmora modules") : nullptr;
    jthread thread = name != nullptr ? jni->NewObject(threadClass, constructor, name) : nullptr;
    if (jni->ExceptionCheck()) {
        jni->ExceptionClear();
        thread = nullptr;
    }
    return thread;
}

}  // namespace

bool prepareNamedModules(jvmtiEnv* jvmti, JNIEnv* jni, jthread current) {
    forgetPreparedModules();
    auto* preparation = new Preparation;
    if (jvmti->CreateRawMonitor("Kelmora modules", &preparation->monitor) != JVMTI_ERROR_NONE) {
        delete preparation;
        return false;
    }
    preparation->deadline = std::chrono::steady_clock::now() + kPreparationTime;
    running.store(preparation, std::memory_order_release);
    settled.store(false, std::memory_order_release);
    jthread thread = newThreadObject(jni, current);
    if (thread == nullptr || jvmti->RunAgentThread(thread, prepareOnAgentThread, preparation,
                                                    JVMTI_THREAD_NORM_PRIORITY) != JVMTI_ERROR_NONE) {
        // Nothing waits on it: no thread was started.
        running.store(nullptr, std::memory_order_release);
        settled.store(true, std::memory_order_release);
        jvmti->DestroyRawMonitor(preparation->monitor);
        delete preparation;
        return false;
    }
    return true;
}

bool isPreparedModule(jvmtiEnv* jvmti, JNIEnv* jni, jobject module) {
    if (module == nullptr) return false;
    if (!settled.load(std::memory_order_acquire)) {
        if (preparingHere) return false;
        waitForPreparation(jvmti);
    }
    std::lock_guard<std::mutex> guard(preparedLock);
    for (jobject known : prepared) {
        if (jni->IsSameObject(known, module)) return true;
    }
    return false;
}

void forgetPreparedModules() {
    std::lock_guard<std::mutex> guard(preparedLock);
    prepared.clear();
    moduleUpcallMethod.store(nullptr);
    running.store(nullptr);
    settled.store(true);
}
