#include "agent/ErrorReporting.h"

#include <cstdio>
#include <mutex>
#include <string>

#include "agent/AgentState.h"
#include "platform/Paths.h"

namespace {

// Serialises the handlers when the raw monitor could not be created at load.
// The monitor is only ever set during load, so while it is null every
// handler takes this lock instead and none runs unlocked.
std::mutex fallbackLock;

std::string formatErrorLine(jvmtiError error, const char* name, const char* message) {
    return "[ERROR] JVMTI: " + std::to_string(static_cast<int>(error)) + " (" +
           (name != nullptr ? name : "Unknown") + "): " + (message != nullptr ? message : "") +
           "\n";
}

void writeErrorLine(const std::string& line, const std::string& path) {
    if (!path.empty()) {
        FILE* log = openFile(path, "a+");
        if (log != nullptr) {
            std::fputs(line.c_str(), log);
            std::fclose(log);
            return;
        }
    }
    // No log path yet, or the log cannot be opened: the line is not lost.
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

}  // namespace

void checkJvmtiError(jvmtiError error, const char* message) {
    if (error == JVMTI_ERROR_NONE) return;
    try {
        AgentState* state = agentState;
        jvmtiEnv* jvmti = state != nullptr ? state->jvmti : nullptr;
        char* name = nullptr;
        if (jvmti != nullptr) jvmti->GetErrorName(error, &name);
        std::string line = formatErrorLine(error, name, message);
        if (name != nullptr) jvmti->Deallocate(reinterpret_cast<unsigned char*>(name));
        writeErrorLine(line, state != nullptr ? state->errorLogPath : std::string());
    } catch (...) {
        // Out of memory while reporting: nothing more can be said.
    }
}

MonitorHold enterAgentMonitor() {
    AgentState* state = agentState;
    if (state == nullptr) return MonitorHold::None;
    if (state->ownLock) {
        state->lock.lock();
        return MonitorHold::Own;
    }
    jvmtiError error = state->jvmti != nullptr ? state->jvmti->RawMonitorEnter(state->monitor)
                                               : JVMTI_ERROR_INVALID_ENVIRONMENT;
    checkJvmtiError(error, "Cannot enter with raw monitor.");
    if (error == JVMTI_ERROR_NONE) return MonitorHold::Raw;
    if (state->monitor == nullptr) {
        fallbackLock.lock();
        return MonitorHold::Fallback;
    }
    // The monitor exists but could not be entered: another thread may hold
    // it, so the caller must not touch shared state.
    return MonitorHold::None;
}

void exitAgentMonitor(MonitorHold hold) {
    AgentState* state = agentState;
    switch (hold) {
        case MonitorHold::Raw:
            checkJvmtiError(state->jvmti->RawMonitorExit(state->monitor),
                            "Cannot exit with raw monitor.");
            break;
        case MonitorHold::Fallback:
            fallbackLock.unlock();
            break;
        case MonitorHold::Own:
            state->lock.unlock();
            break;
        case MonitorHold::None:
            break;
    }
}
