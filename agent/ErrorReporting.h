// Reporting of JVMTI failures and the agent monitor that serialises events.
#pragma once

#include <jvmti.h>

// Reports a non-zero JVMTI error code as one line of the error log (or of
// standard error while no error log path is set). `message` may be null.
void checkJvmtiError(jvmtiError error, const char* message);

// How the caller came to hold the agent lock, handed back to
// exitAgentMonitor so that it releases exactly what was taken.
enum class MonitorHold {
    None,      // nothing is held: the caller must not touch shared state
    Raw,       // the JVMTI raw monitor
    Fallback,  // a lock of ours, used while no raw monitor exists
    Own,       // the agent's own lock, chosen at load
};

MonitorHold enterAgentMonitor();
void exitAgentMonitor(MonitorHold hold);

// Holds the agent lock for a scope; `held()` tells whether shared state may
// be touched.
class AgentMonitorScope {
public:
    AgentMonitorScope() : hold_(enterAgentMonitor()) {}
    ~AgentMonitorScope() { exitAgentMonitor(hold_); }
    AgentMonitorScope(const AgentMonitorScope&) = delete;
    AgentMonitorScope& operator=(const AgentMonitorScope&) = delete;
    bool held() const { return hold_ != MonitorHold::None; }

private:
    MonitorHold hold_;
};
