#include "agent/Agent.h"

#include <jvmti.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "agent/AgentState.h"
#include "agent/ErrorReporting.h"
#include "agent/HandlerFence.h"
#include "instrument/ClassFileHook.h"
#include "options/Options.h"
#include "output/Legends.h"
#include "output/TextFile.h"
#include "output/TraceWriter.h"
#include "platform/Paths.h"
#include "tracing/FetchCounts.h"
#include "tracing/MethodEvents.h"
#include "tracing/MethodRecords.h"

namespace {

// Slots of the callback table of JVMTI 1.0; later slots stay unknown to us.
constexpr std::size_t kCallbackSlots10 = 35;
static_assert(sizeof(jvmtiEventCallbacks) >= kCallbackSlots10 * sizeof(void*),
              "callback table smaller than JVMTI 1.0's");

int unloadDrainTimeoutMs = 5000;

void printConsole(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

// What the agent can do without: a VM that refuses these leaves the agent
// working as before, and nothing is reported.
struct OptionalCapabilities {
    bool bytecodes = false;     // to see whether a method's body writes local 0
    bool constantPool = false;  // to see that a method's first call is the hook's
    bool nativeBind = false;    // to take the binding of the JDK's definer of hidden classes over
    bool fieldWatch = false;    // to be told of the stores to the hook field
    bool retransform = false;   // to rewrite the classes loaded before the VM is up
};

OptionalCapabilities addOptionalCapabilities(jvmtiEnv* jvmti, bool rewriting) {
    OptionalCapabilities granted;
    jvmtiCapabilities potential;
    std::memset(&potential, 0, sizeof potential);
    if (jvmti->GetPotentialCapabilities(&potential) != JVMTI_ERROR_NONE) return granted;
    jvmtiCapabilities wanted;
    std::memset(&wanted, 0, sizeof wanted);
    wanted.can_get_bytecodes = potential.can_get_bytecodes;
    if (rewriting) {
        wanted.can_get_constant_pool = potential.can_get_constant_pool;
        wanted.can_generate_native_method_bind_events =
            potential.can_generate_native_method_bind_events;
        wanted.can_retransform_classes = potential.can_retransform_classes;
        wanted.can_generate_field_modification_events =
            potential.can_generate_field_modification_events;
    }
    if (jvmti->AddCapabilities(&wanted) != JVMTI_ERROR_NONE) return granted;
    granted.bytecodes = wanted.can_get_bytecodes != 0;
    granted.constantPool = wanted.can_get_constant_pool != 0;
    granted.nativeBind = wanted.can_generate_native_method_bind_events != 0;
    granted.retransform = wanted.can_retransform_classes != 0;
    granted.fieldWatch = wanted.can_generate_field_modification_events != 0;
    return granted;
}

// Releases what GetExtensionEvents handed out.
void releaseExtensionEvents(jvmtiEnv* jvmti, jint count, jvmtiExtensionEventInfo* events) {
    for (jint i = 0; i < count; ++i) {
        for (jint p = 0; p < events[i].param_count; ++p) {
            jvmti->Deallocate(reinterpret_cast<unsigned char*>(events[i].params[p].name));
        }
        jvmti->Deallocate(reinterpret_cast<unsigned char*>(events[i].params));
        jvmti->Deallocate(reinterpret_cast<unsigned char*>(events[i].id));
        jvmti->Deallocate(reinterpret_cast<unsigned char*>(events[i].short_description));
    }
    jvmti->Deallocate(reinterpret_cast<unsigned char*>(events));
}

// Asks to be told when classes are unloaded (HotSpot's extension event):
// method identifiers of unloaded classes may be handed out again, so
// method records are kept only while this works.
bool watchClassUnloading(jvmtiEnv* jvmti) {
    jint count = 0;
    jvmtiExtensionEventInfo* events = nullptr;
    if (jvmti->GetExtensionEvents(&count, &events) != JVMTI_ERROR_NONE || events == nullptr) {
        return false;
    }
    bool watching = false;
    for (jint i = 0; i < count && !watching; ++i) {
        if (events[i].id != nullptr &&
            std::strcmp(events[i].id, "com.sun.hotspot.events.ClassUnload") == 0) {
            watching = jvmti->SetExtensionEventCallback(events[i].extension_event_index,
                                                         onClassUnload) == JVMTI_ERROR_NONE;
        }
    }
    releaseExtensionEvents(jvmti, count, events);
    return watching;
}

}  // namespace

jvmtiError setEventCallbacks(jvmtiEnv* jvmti, bool rewriting, bool classFileLoadHook) {
    jvmtiEventCallbacks callbacks;
    std::memset(&callbacks, 0, sizeof callbacks);
    callbacks.MethodEntry = onMethodEntry;
    callbacks.MethodExit = onMethodExit;
    if (rewriting) {
        callbacks.VMInit = onVmInit;
        callbacks.NativeMethodBind = onNativeMethodBind;
        callbacks.FieldModification = onHookStore;
    }
    if (classFileLoadHook) callbacks.ClassFileLoadHook = onClassFileLoadHook;
    return jvmti->SetEventCallbacks(&callbacks,
                                    static_cast<jint>(kCallbackSlots10 * sizeof(void*)));
}

namespace {

// HotSpot before JDK 20 keeps tags by address; from JDK 20 by identity hash.
// Its release (java.vm.version, "17.0.15+6", say) begins with the feature
// version; the VM sets it before any agent loads.
bool tagsTakeIdentityHashes(jvmtiEnv* jvmti) {
    char* version = nullptr;
    char* name = nullptr;
    bool known = jvmti->GetSystemProperty("java.vm.version", &version) ==
                     JVMTI_ERROR_NONE &&
                 jvmti->GetSystemProperty("java.vm.name", &name) == JVMTI_ERROR_NONE &&
                 version != nullptr && name != nullptr;
    bool hashes = !known || std::atoi(version) >= 20 ||
                  (std::strstr(name, "OpenJDK") == nullptr && std::strstr(name, "HotSpot") == nullptr);
    if (version != nullptr) jvmti->Deallocate(reinterpret_cast<unsigned char*>(version));
    if (name != nullptr) jvmti->Deallocate(reinterpret_cast<unsigned char*>(name));
    return hashes;
}

void registerWithVm(AgentState* state) {
    jvmtiEnv* jvmti = state->jvmti;

    jvmtiCapabilities capabilities;
    std::memset(&capabilities, 0, sizeof capabilities);
    capabilities.can_tag_objects = 1;
    capabilities.can_get_source_file_name = 1;
    capabilities.can_access_local_variables = 1;
    capabilities.can_generate_method_entry_events = 1;
    capabilities.can_generate_method_exit_events = 1;
    checkJvmtiError(jvmti->AddCapabilities(&capabilities),
                    "Unable to set necessary JVMTI capabilities.");

    checkJvmtiError(setEventCallbacks(jvmti, state->rewriteClasses, false),
                    "Cannot set JVMTI callbacks.");

    checkJvmtiError(
        jvmti->SetEventNotificationMode(JVMTI_ENABLE, JVMTI_EVENT_METHOD_ENTRY, nullptr),
        "Cannot register MethodEntry notification");
    checkJvmtiError(jvmti->SetEventNotificationMode(JVMTI_ENABLE, JVMTI_EVENT_METHOD_EXIT, nullptr),
                    "Cannot register MethodExit notification");

    checkJvmtiError(jvmti->CreateRawMonitor("Kelmora monitor", &state->monitor),
                    "Cannot create raw monitor.");

    OptionalCapabilities optional = addOptionalCapabilities(jvmti, state->rewriteClasses);
    if (watchClassUnloading(jvmti)) {
        state->records->enable();
        // Measured cheaper than the raw monitor on every event; the monitor
        // is still made, and used where no records are kept.
        state->ownLock = true;
        // The hook's receivers are taken through the records and the
        // threads' frames, which need the bytecode and the constant pool to
        // trust a method, and the VM's reports of the stores to the hook
        // field. Without these no class is rewritten and every receiver is
        // fetched: nothing to report, the trace is the same. VMInit sets up
        // the rest: the hook field's class can only be defined, and the
        // class-loading hook is only enabled, once the VM is up. Hidden
        // classes are rewritten where the definer's binding can be taken.
        if (state->rewriteClasses && optional.bytecodes && optional.constantPool &&
            optional.fieldWatch) {
            state->retransformClasses = optional.retransform;
            state->tagsTakeHashes = tagsTakeIdentityHashes(jvmti);
            if (optional.nativeBind) {
                jvmti->SetEventNotificationMode(JVMTI_ENABLE, JVMTI_EVENT_NATIVE_METHOD_BIND, nullptr);
            }
            jvmti->SetEventNotificationMode(JVMTI_ENABLE, JVMTI_EVENT_VM_INIT, nullptr);
        }
    }
}

// Waits until no handler is between its liveness check and its end.
bool drainCallbacks() {
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(unloadDrainTimeoutMs);
    while (agentCallbacksInFlight() > 0) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void load(JavaVM* vm, const char* options) {
    std::string directory = workingDirectory();
    if (directory.empty()) {
        std::fprintf(stderr,
                     "[ERROR] Kelmora: cannot read the working directory (%s); errors go to "
                     "standard error and the trace to standard output.\n",
                     std::strerror(errno));
    }
    initAgentState(directory);
    AgentState* state = agentState;
    if (state == nullptr) {
        std::fputs("[ERROR] Kelmora: out of memory at load; the JVM runs untraced.\n", stderr);
        printConsole("Time: " + consoleDate() + ". Begin Kelmora logging.\n");
        return;
    }
    if (options != nullptr && options[0] != '\0') parseAgentOptions(options);

    void* env = nullptr;
    jint got = vm != nullptr ? vm->GetEnv(&env, JVMTI_VERSION_1_0) : JNI_ERR;
    state->jvmti = got == JNI_OK ? static_cast<jvmtiEnv*>(env) : nullptr;
    printConsole("Time: " + consoleDate() + ". Begin Kelmora logging.\n");
    if (state->jvmti == nullptr) {
        std::fprintf(stderr,
                     "[ERROR] Kelmora: cannot obtain the JVMTI 1.0 environment (GetEnv returned "
                     "%d); the JVM runs untraced.\n",
                     static_cast<int>(got));
        return;
    }
    // Before any event can come: handlers then count themselves without a
    // full fence each (the cheap case; without it they pay one).
    enableLightHandlerFences();
    registerWithVm(state);
    setAgentLive(true);
}

void writeOutputAndRelease(AgentState* state) {
    if (state->printFetchCounts) {
        std::fprintf(stderr, "[Kelmora] receivers fetched from the VM: %s\n",
                     fetchCountsText().c_str());
    }
    writeLegends();
    state->filters.clear();
    state->activations.clear();
    closeTraceFile();
    state->traceDir.clear();
}

void unload() {
    AgentState* state = agentState;
    if (state != nullptr) {
        // Handlers that start from now on return at once; one in flight
        // finishes its event before the monitor is ours.
        setAgentLive(false);
        if (state->jvmti != nullptr) {
            AgentMonitorScope lock;
            writeOutputAndRelease(state);
        } else {
            // Never registered with the VM: no handler can be running.
            writeOutputAndRelease(state);
        }
        // A handler may still be about to enter the monitor; it will find
        // the agent no longer live, but the monitor, the environment and the
        // record must outlive it. If one never drains, they are kept until
        // the process ends.
        if (drainCallbacks()) {
            if (state->jvmti != nullptr) {
                if (state->monitor != nullptr) state->jvmti->DestroyRawMonitor(state->monitor);
                state->jvmti->DisposeEnvironment();
            }
            destroyAgentState(state);
        }
    }
    printConsole("Time: " + consoleDate() + " Kelmora-Logging exited cleanly.\n");
}

}  // namespace

void initAgentState(const std::string& directory) {
    AgentState* state = createAgentState();
    if (state == nullptr) return;
    resetFetchCounts();
    if (!directory.empty()) {
        state->errorLogPath = joinPath(directory, "errorLog.txt");
        removeFile(state->errorLogPath);
        state->traceDir = directory;
        std::string tracePath = joinPath(state->traceDir, "trace.txt");
        std::string reason;
        state->traceFile = TextFile::create(tracePath, TextFile::kTraceStep, reason);
        if (state->traceFile == nullptr) {
            std::fprintf(stderr,
                         "[ERROR] Kelmora: cannot create %s (%s); the trace goes to standard "
                         "output.\n",
                         tracePath.c_str(), reason.c_str());
        }
        openLegendFiles(directory);
    }
    state->activationDepth = 1;
}

std::string consoleDate() {
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::time_t now = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    bool ok = localtime_s(&local, &now) == 0;
#else
    bool ok = localtime_r(&now, &local) != nullptr;
#endif
    if (!ok || local.tm_wday < 0 || local.tm_wday > 6 || local.tm_mon < 0 || local.tm_mon > 11) {
        return "??? ??? 00 00:00:00 0000\n";
    }
    char text[64];
    std::snprintf(text, sizeof text, "%s %s %02d %02d:%02d:%02d %d\n", days[local.tm_wday],
                  months[local.tm_mon], local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  local.tm_year + 1900);
    return text;
}

void setUnloadDrainTimeoutMs(int milliseconds) { unloadDrainTimeoutMs = milliseconds; }

extern "C" {

JNIEXPORT jint JNICALL Agent_OnLoad(JavaVM* vm, char* options, void*) {
    try {
        load(vm, options);
    } catch (...) {
        std::fputs("[ERROR] Kelmora: out of memory at load; the JVM runs untraced.\n", stderr);
    }
    return 0;
}

JNIEXPORT void JNICALL Agent_OnUnload(JavaVM*) {
    try {
        unload();
    } catch (...) {
        std::fputs("[ERROR] Kelmora: out of memory at unload.\n", stderr);
    }
}

}  // extern "C"
