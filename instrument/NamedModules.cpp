#include "instrument/NamedModules.h"

#include <cstring>
#include <mutex>
#include <vector>

#include "tracing/MethodEvents.h"
#include "tracing/VmTexts.h"

std::atomic<jmethodID> moduleUpcallMethod{nullptr};

namespace {

// Ample for a few hundred modules; a VM too busy to run the thread this
// long starts without its named modules rewritten.
constexpr jlong kWaitSliceMs = 100;
constexpr int kWaitSlices = 100;

const char kModulesClass[] = "Ljdk/internal/module/Modules;";

struct Preparation {
    jrawMonitorID monitor = nullptr;
    bool done = false;
    bool abandoned = false;
    bool succeeded = false;
    std::vector<jobject> named;  // global references
};

std::mutex preparedLock;
std::vector<jobject> prepared;

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
    if (jvmti->RawMonitorEnter(preparation->monitor) != JVMTI_ERROR_NONE) return;
    if (succeeded && !preparation->abandoned) {
        preparation->named.swap(named);
        preparation->succeeded = true;
    }
    preparation->done = true;
    jvmti->RawMonitorNotifyAll(preparation->monitor);
    jvmti->RawMonitorExit(preparation->monitor);
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
    auto* preparation = new Preparation;
    if (jvmti->CreateRawMonitor("Kelmora modules", &preparation->monitor) != JVMTI_ERROR_NONE) {
        delete preparation;
        return false;
    }
    jthread thread = newThreadObject(jni, current);
    if (thread == nullptr || jvmti->RunAgentThread(thread, prepareOnAgentThread, preparation,
                                                    JVMTI_THREAD_NORM_PRIORITY) != JVMTI_ERROR_NONE) {
        jvmti->DestroyRawMonitor(preparation->monitor);
        delete preparation;
        return false;
    }
    bool succeeded = false;
    if (jvmti->RawMonitorEnter(preparation->monitor) == JVMTI_ERROR_NONE) {
        for (int slice = 0; !preparation->done && slice < kWaitSlices; ++slice) {
            if (jvmti->RawMonitorWait(preparation->monitor, kWaitSliceMs) != JVMTI_ERROR_NONE) break;
        }
        preparation->abandoned = !preparation->done;
        succeeded = preparation->succeeded;
        if (succeeded) {
            std::lock_guard<std::mutex> guard(preparedLock);
            prepared.swap(preparation->named);
        }
        jvmti->RawMonitorExit(preparation->monitor);
    }
    // The preparation and its monitor stay: the thread may still be leaving
    // the monitor, or not have finished at all.
    return succeeded;
}

bool isPreparedModule(JNIEnv* jni, jobject module) {
    if (module == nullptr) return false;
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
}
