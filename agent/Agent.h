// The agent's entry points: load and unload.
#pragma once

#include <jni.h>

#include <string>

extern "C" {
JNIEXPORT jint JNICALL Agent_OnLoad(JavaVM* vm, char* options, void* reserved);
JNIEXPORT void JNICALL Agent_OnUnload(JavaVM* vm);
}

// Creates the agent state for a working directory (empty when it could not
// be read): output paths, the old error log deleted, trace.txt created.
void initAgentState(const std::string& workingDirectory);

// The date as the C runtime's asctime writes it, but with the day of the
// month in two digits: "Mon Mar 05 09:07:02 2012\n". Always English.
std::string consoleDate();

// How long unload waits for event handlers still running on other threads
// before it gives up releasing what they could still read.
void setUnloadDrainTimeoutMs(int milliseconds);
