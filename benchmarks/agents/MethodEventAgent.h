// What the benchmark agents share: the JVMTI set-up of a method-event agent.
#pragma once

#include <jvmti.h>

// Takes the capabilities Kelmora takes (local-variable access changes how
// the JIT treats every method, so a yardstick without it would measure a
// different VM), installs the two callbacks and turns both events on.
// Returns the environment, or null after saying on standard error which
// step failed: the agent then fails its load and the JVM does not start, as
// a run without the agent would put a wrong figure in its column.
jvmtiEnv* startMethodEvents(JavaVM* vm, jvmtiEventMethodEntry onEntry,
                            jvmtiEventMethodExit onExit, const char* agentName);
