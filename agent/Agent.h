// The agent's entry points: load and unload.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <string>

extern "C" {
JNIEXPORT jint JNICALL Agent_OnLoad(JavaVM* vm, char* options, void* reserved);
JNIEXPORT void JNICALL Agent_OnUnload(JavaVM* vm);
}

// Creates the agent state for a working directory (empty when it could not
// be read): output paths, the old error log deleted, trace.txt and the two
// legends created.
void initAgentState(const std::string& workingDirectory);

// Sets the callback table: the method events, with VMInit and
// NativeMethodBind when classes are to be rewritten, and ClassFileLoadHook
// where asked. The class-loading hook's slot stays empty until the VM is
// up: HotSpot leaves its archived start-up state (class data sharing)
// unused when that slot is set while it starts, and the JDK then runs code
// it would not run untraced.
jvmtiError setEventCallbacks(jvmtiEnv* jvmti, bool rewriting, bool classFileLoadHook);

// The date as the C runtime's asctime writes it, but with the day of the
// month in two digits: "Mon Mar 05 09:07:02 2012\n". Always English.
std::string consoleDate();

// How long unload waits for event handlers still running on other threads
// before it gives up releasing what they could still read.
void setUnloadDrainTimeoutMs(int milliseconds);
