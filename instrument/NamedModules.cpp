#include "instrument/NamedModules.h"

#include <chrono>
#include <cstring>
#include <vector>

#include "tracing/MethodEvents.h"
#include "tracing/VmTexts.h"

std::atomic<jmethodID> moduleUpcallMethod{nullptr};

namespace {

// How long a class of a named module waits for its module to be prepared;
// past it the class is left as it is.
constexpr auto kAnswerTime = std::chrono::seconds(5);
constexpr jlong kWaitSliceMs = 100;

const char kModulesClass[] = "Ljdk/internal/module/Modules;";

// The modules asked about, and what became of them; shared by the agent's
// thread and the threads that ask, under `monitor`. All global references.
// The agent's thread waits on it until the VM ends; only a stop (tests)
// lets the thread free it.
struct Preparer {
    jvmtiEnv* jvmti = nullptr;
    jrawMonitorID monitor = nullptr;
    std::vector<jobject> waiting;
    jobject inProgress = nullptr;
    std::vector<jobject> prepared;
    std::vector<jobject> refused;
    bool stopping = false;
    // The VM's code, found at the first module (only its own thread uses it).
    jclass modulesClass = nullptr;
    jmethodID transformedByAgent = nullptr;
    // Run on the thread before anything else, while its starter waits.
    void (*first)(JNIEnv*) = nullptr;
    bool firstDone = false;
};

std::atomic<Preparer*> running{nullptr};
// The agent's thread itself: classes it makes the VM load never wait for it.
thread_local bool preparingHere = false;

bool listed(JNIEnv* jni, const std::vector<jobject>& modules, jobject module) {
    for (jobject known : modules) {
        if (jni->IsSameObject(known, module)) return true;
    }
    return false;
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

// Runs HotSpot's code for a named module's first rewritten class here,
// before any of its classes is rewritten: it adds the reads HotSpot would
// add then, and the identity hashes it takes, and the classes it links
// (whose class objects the verifier hashes), are taken on this thread.
// HotSpot runs it again at the first rewritten class, and then it finds
// everything done.
bool prepareModule(jvmtiEnv* jvmti, JNIEnv* jni, Preparer& preparer, jobject module) {
    if (preparer.transformedByAgent == nullptr) {
        jclass found = nullptr;
        jmethodID method = findTransformedByAgent(jvmti, jni, &found);
        preparer.modulesClass = found != nullptr ? static_cast<jclass>(jni->NewGlobalRef(found)) : nullptr;
        if (preparer.modulesClass == nullptr) return false;
        preparer.transformedByAgent = method;
    }
    if (preparer.transformedByAgent == nullptr) return false;
    jni->CallStaticVoidMethod(preparer.modulesClass, preparer.transformedByAgent, module);
    if (!jni->ExceptionCheck()) return true;
    jni->ExceptionClear();
    return false;
}

void JNICALL prepareOnAgentThread(jvmtiEnv* jvmti, JNIEnv* jni, void* argument) {
    Preparer& preparer = *static_cast<Preparer*>(argument);
    preparingHere = true;
    AgentWorkScope work;
    if (preparer.first != nullptr) {
        try {
            preparer.first(jni);
        } catch (...) {
            // Out of memory: its starter finds it undone.
        }
    }
    if (jvmti->RawMonitorEnter(preparer.monitor) != JVMTI_ERROR_NONE) return;
    preparer.firstDone = true;
    jvmti->RawMonitorNotifyAll(preparer.monitor);
    while (!preparer.stopping) {
        if (preparer.waiting.empty()) {
            if (jvmti->RawMonitorWait(preparer.monitor, 0) != JVMTI_ERROR_NONE) break;
            continue;
        }
        jobject module = preparer.waiting.front();
        preparer.waiting.erase(preparer.waiting.begin());
        preparer.inProgress = module;
        jvmti->RawMonitorExit(preparer.monitor);
        bool prepared = false;
        try {
            prepared = prepareModule(jvmti, jni, preparer, module);
        } catch (...) {
            // Out of memory: the module stays unprepared.
        }
        if (jvmti->RawMonitorEnter(preparer.monitor) != JVMTI_ERROR_NONE) return;
        preparer.inProgress = nullptr;
        try {
            (prepared ? preparer.prepared : preparer.refused).push_back(module);
        } catch (...) {
            jni->DeleteGlobalRef(module);
        }
        jvmti->RawMonitorNotifyAll(preparer.monitor);
    }
    bool stopped = preparer.stopping;
    jvmti->RawMonitorExit(preparer.monitor);
    if (!stopped) return;
    // Told to stop (tests only): no one else holds the preparer any more.
    for (auto* modules : {&preparer.waiting, &preparer.prepared, &preparer.refused}) {
        for (jobject module : *modules) jni->DeleteGlobalRef(module);
    }
    if (preparer.modulesClass != nullptr) jni->DeleteGlobalRef(preparer.modulesClass);
    jvmti->DestroyRawMonitor(preparer.monitor);
    delete &preparer;
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

bool startPreparingModules(jvmtiEnv* jvmti, JNIEnv* jni, jthread current, void (*first)(JNIEnv*)) {
    auto* preparer = new Preparer;
    preparer->jvmti = jvmti;
    preparer->first = first;
    if (jvmti->CreateRawMonitor("Kelmora modules", &preparer->monitor) != JVMTI_ERROR_NONE) {
        delete preparer;
        return false;
    }
    jthread thread = newThreadObject(jni, current);
    if (thread == nullptr || jvmti->RunAgentThread(thread, prepareOnAgentThread, preparer,
                                                    JVMTI_THREAD_NORM_PRIORITY) != JVMTI_ERROR_NONE) {
        jvmti->DestroyRawMonitor(preparer->monitor);
        delete preparer;
        return false;
    }
    running.store(preparer, std::memory_order_release);
    if (jvmti->RawMonitorEnter(preparer->monitor) != JVMTI_ERROR_NONE) return false;
    auto deadline = std::chrono::steady_clock::now() + kAnswerTime;
    while (!preparer->firstDone && std::chrono::steady_clock::now() < deadline &&
           jvmti->RawMonitorWait(preparer->monitor, kWaitSliceMs) == JVMTI_ERROR_NONE) {
    }
    bool done = preparer->firstDone;
    jvmti->RawMonitorExit(preparer->monitor);
    return done;
}

bool isPreparedModule(jvmtiEnv* jvmti, JNIEnv* jni, jobject module) {
    Preparer* preparer = running.load(std::memory_order_acquire);
    if (module == nullptr || preparer == nullptr || preparingHere ||
        jvmti->RawMonitorEnter(preparer->monitor) != JVMTI_ERROR_NONE) {
        return false;
    }
    bool prepared = false;
    bool asked = false;
    auto deadline = std::chrono::steady_clock::now() + kAnswerTime;
    try {
        while (!preparer->stopping) {
            if (listed(jni, preparer->prepared, module)) {
                prepared = true;
                break;
            }
            if (listed(jni, preparer->refused, module)) break;
            if (!asked && !listed(jni, preparer->waiting, module) &&
                !jni->IsSameObject(preparer->inProgress, module)) {
                jobject kept = jni->NewGlobalRef(module);
                if (kept == nullptr) break;
                preparer->waiting.push_back(kept);
                jvmti->RawMonitorNotifyAll(preparer->monitor);
            }
            asked = true;
            if (std::chrono::steady_clock::now() >= deadline ||
                jvmti->RawMonitorWait(preparer->monitor, kWaitSliceMs) != JVMTI_ERROR_NONE) {
                break;
            }
        }
    } catch (...) {
        // Out of memory: the class is left as it is.
    }
    jvmti->RawMonitorExit(preparer->monitor);
    return prepared;
}

void stopPreparingModules() {
    moduleUpcallMethod.store(nullptr);
    Preparer* preparer = running.exchange(nullptr);
    jvmtiEnv* jvmti = preparer != nullptr ? preparer->jvmti : nullptr;
    if (preparer == nullptr || jvmti->RawMonitorEnter(preparer->monitor) != JVMTI_ERROR_NONE) return;
    preparer->stopping = true;
    jvmti->RawMonitorNotifyAll(preparer->monitor);
    jvmti->RawMonitorExit(preparer->monitor);
}
