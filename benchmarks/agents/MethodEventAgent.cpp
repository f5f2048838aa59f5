#include "MethodEventAgent.h"

#include <cstdio>
#include <cstring>

namespace {

bool succeeded(jvmtiError error, const char* agentName, const char* step) {
    if (error == JVMTI_ERROR_NONE) return true;
    std::fprintf(stderr, "[ERROR] %s: %s failed with JVMTI error %d\n", agentName, step,
                 static_cast<int>(error));
    return false;
}

}  // namespace

jvmtiEnv* startMethodEvents(JavaVM* vm, jvmtiEventMethodEntry onEntry,
                            jvmtiEventMethodExit onExit, const char* agentName) {
    void* env = nullptr;
    if (vm->GetEnv(&env, JVMTI_VERSION_1_0) != JNI_OK || env == nullptr) {
        std::fprintf(stderr, "[ERROR] %s: no JVMTI 1.0 environment\n", agentName);
        return nullptr;
    }
    jvmtiEnv* jvmti = static_cast<jvmtiEnv*>(env);

    jvmtiCapabilities capabilities;
    std::memset(&capabilities, 0, sizeof capabilities);
    capabilities.can_tag_objects = 1;
    capabilities.can_get_source_file_name = 1;
    capabilities.can_access_local_variables = 1;
    capabilities.can_generate_method_entry_events = 1;
    capabilities.can_generate_method_exit_events = 1;
    if (!succeeded(jvmti->AddCapabilities(&capabilities), agentName, "AddCapabilities")) {
        return nullptr;
    }

    jvmtiEventCallbacks callbacks;
    std::memset(&callbacks, 0, sizeof callbacks);
    callbacks.MethodEntry = onEntry;
    callbacks.MethodExit = onExit;
    if (!succeeded(jvmti->SetEventCallbacks(&callbacks, sizeof callbacks), agentName,
                   "SetEventCallbacks")) {
        return nullptr;
    }
    if (!succeeded(jvmti->SetEventNotificationMode(JVMTI_ENABLE, JVMTI_EVENT_METHOD_ENTRY,
                                                   nullptr),
                   agentName, "enabling MethodEntry") ||
        !succeeded(jvmti->SetEventNotificationMode(JVMTI_ENABLE, JVMTI_EVENT_METHOD_EXIT,
                                                   nullptr),
                   agentName, "enabling MethodExit")) {
        return nullptr;
    }
    return jvmti;
}
